#include "compose/fortune.h"

#include "platform/core/clock.h"

#include <optional>

namespace compose {
namespace {

std::optional<FortuneDraw> &programDraw() {
  static std::optional<FortuneDraw> draw;
  return draw;
}

} // namespace

QStringList greetingPhrases() {
  return {
      QStringLiteral("御社益々ご清祥の事とお慶び申し上げます。"),
      QStringLiteral("平素のご愛顧誠にありがとうございます。"),
      QStringLiteral("平素は格別のご愛顧を賜り深謝申し上げます。"),
      QStringLiteral("いつもお世話になっております。"),
      QStringLiteral("メールありがとうございました。確かに受け取りました。"),
      QStringLiteral("はじめまして、突然のメールで恐縮です。"),
      QStringLiteral("こんにちわ。はじめてメールいたします。"),
      QStringLiteral("こんにちわ。お変わりなく、お元気ですか？"),
  };
}

QString fortuneText(int index) {
  switch (index) {
  case 1:
    return QStringLiteral("大吉：万事に良し！　慎重さを忘れず、尚かつアクティブに行動すれば、これま"
                          "で停滞していた問題が次々と解決されて行きます。");
  case 2:
    return QStringLiteral(
        "大吉：思わぬ金運！！　浪費せず生きたお金の使い方を心がければ、これからも金運が上昇！");
  case 3:
    return QStringLiteral("大吉：人間関係に好転あり。誤解から生じていた軋轢（あつれき）も解消し、お"
                          "互いが良く見えるようになって行きます。");
  case 4:
    return QStringLiteral("中吉：正しく可もなく不可もなし。凶事のなきことを素直に喜ぶべし。そうすれ"
                          "ば尚運が開けます。");
  case 5:
    return QStringLiteral("中吉：ほのぼの、小さな幸福感を味わえる一日。その満足を他人にも分け与えれ"
                          "ば、明日は更に運気アップ！");
  case 6:
    return QStringLiteral("中吉：万事スムーズ。しかし油断をすればたちまちにして運気下降。恐れぬこと"
                          "も大事ではあるが、謙虚さを忘れずに判断・行動をすべし。");
  case 7:
    return QStringLiteral(
        "中吉：両親からの教えを胸に刻んで行動すれば、意外なほどの好調に思わずニンマリ！　");
  case 8:
    return QStringLiteral("中吉：ショッピングでのストレス発散が好転の契機となる。それでも浪費に注意"
                          "。本当に必要な物に限定すべし。");
  case 9:
    return QStringLiteral(
        "吉：あなたの人柄で救われる局面有り。友人を大切にすれば、思わぬ人と再会するでしょう。");
  case 10:
    return QStringLiteral("吉：紛失していたにもかかわらず気づいてなかった品物が、突然手元に戻ってき"
                          "ます。忘れていたけど、案外大切なもの・・・物とは限りません。");
  case 11:
    return QStringLiteral("凶：鬼門「北東」注意！　部屋の北東に一掴みの盛り塩をし、お世話になった人"
                          "たちに感謝の意を心に強く念じれば、吉に転じます。");
  case 12:
    return QStringLiteral("凶：言動慎むべし。最大の配慮がなければ、運気、万事下降するおそれ有り。");
  default:
    return {};
  }
}

QString fortuneHeading() {
  return QStringLiteral("★★★　この占いは "
                        "Orvaneがアトランダムにチョイスしたものです（だからこそ占い♪）　送信者にも"
                        "内容は判りませんので、あしからず・・・当たるも八卦、当たらぬも八卦。★★★");
}

QString fortuneFooter(int index) {
  return QStringLiteral("\r\n\r\n") + fortuneHeading() + QStringLiteral("\r\n\r\n") +
         fortuneText(index);
}

FortuneDraw &fortuneDraw() {
  auto &draw = programDraw();
  if (!draw) {
    // The clock alone repeats within one tick; the system's entropy keeps
    // two sends in one millisecond from drawing alike.
    const std::uint64_t clock = std::uint64_t(platform::utcNow().toMSecsSinceEpoch());
    draw.emplace(clock ^ (std::uint64_t(std::random_device{}()) << 32));
  }
  return *draw;
}

void seedFortuneDraw(std::uint64_t seed) {
  programDraw().emplace(seed);
}

} // namespace compose
