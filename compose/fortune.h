// Writing aids of the compose window: the greeting phrases and the fortune
// footer drawn at each send.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <random>

namespace compose {

// The eight greeting phrases of the "首記例" box, in their order.
QStringList greetingPhrases();

inline constexpr int FortuneCount = 12;
// The fortune of index 1..12; its rank is the text's first word.
QString fortuneText(int index);
// The line placed above every fortune.
QString fortuneHeading();
// What a send appends to the body: CR LF twice, the heading, CR LF twice and
// the fortune of `index`; no line break after the fortune.
QString fortuneFooter(int index);

// Draws fortune indexes, each of 1..12 equally likely. A fixed seed repeats
// the same draws (tests); the program's draw is seeded from the clock.
class FortuneDraw {
public:
  explicit FortuneDraw(std::uint64_t seed) : engine_(seed) {}
  int next() { return std::uniform_int_distribution<int>(1, FortuneCount)(engine_); }

private:
  std::mt19937_64 engine_;
};

// The program-wide draw, seeded from the clock and the system's entropy at
// first use.
FortuneDraw &fortuneDraw();
// Tests: restarts the program-wide draw from `seed`.
void seedFortuneDraw(std::uint64_t seed);

} // namespace compose
