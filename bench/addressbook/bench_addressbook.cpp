// What the user waits for on a full address book: opening the address-book
// window, the compose window's "アドレス帳" panel, and a register and a
// delete in the window (each reloads the list), beside reading the file once
// from a warm cache.
//
//   bench_addressbook [records]      (default 32767, the most the file holds)
//
// Prints the times and their ratios to the read; never fails on time.
#include "bench/support/benchsupport.h"
#include "compose/writeform.h"
#include "platform/core/paths.h"
#include "platform/messagebox.h"
#include "settings/addressbook.h"
#include "settings/friendform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace settings;

namespace {

// Answers the delete question with Yes.
class YesBoxes final : public platform::MessageBoxBackend {
public:
  platform::MsgAnswer show(QWidget *, const platform::MessageBoxRequest &) override {
    return platform::MsgAnswer::Yes;
  }
};

double timeMs(const std::function<void()> &work) {
  QElapsedTimer t;
  t.start();
  work();
  return t.nsecsElapsed() / 1e6;
}

void settle() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int records = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, AddressLayout::MaxRecords - 1)
                               : AddressLayout::MaxRecords - 1; // room for the register

  QTemporaryDir dir;
  if (!dir.isValid() || !bench::makeProgramFolder(dir.path(), false)) {
    std::fprintf(stderr, "cannot make a temporary program folder\n");
    return 1;
  }
  YesBoxes yes;
  platform::setMessageBoxBackend(&yes);

  QByteArray all;
  for (int i = 1; i <= records; ++i)
    all += encodeAddressRecord({paddedName(QStringLiteral("山田 太郎%1").arg(i)), 1,
                                QStringLiteral("taro%1@example.jp").arg(i)});
  {
    QFile f(addressBookPath());
    if (!f.open(QIODevice::WriteOnly) || f.write(all) != all.size()) {
      std::fprintf(stderr, "cannot write the address book\n");
      return 1;
    }
  }

  const auto readOnce = [] {
    QFile f(addressBookPath());
    if (f.open(QIODevice::ReadOnly))
      f.readAll();
  };
  readOnce();
  double read = 1e300, friendOpen = 1e300, panel = 1e300, reg = 1e300, del = 1e300;
  constexpr int Rounds = 3;
  for (int r = 0; r < Rounds; ++r) {
    read = std::min(read, timeMs(readOnce));
    friendOpen = std::min(friendOpen, timeMs([] { forms::friendForm().get(); }));
    FriendForm *f = forms::friendForm().get();
    f->Text2->setText(QStringLiteral("新規"));
    f->Text4->setText(QStringLiteral("new@example.jp"));
    reg = std::min(reg, timeMs([f] { f->Command4_Click(); }));
    f->List1->setCurrentRow(f->List1->count() - 1);
    del = std::min(del, timeMs([f] { f->Command5_Click(); }));
    if (f->List1->count() != records)
      std::fprintf(stderr, "address book lists %d entries, expected %d\n", f->List1->count(),
                   records);
    forms::friendForm().unload();
    settle();
    WriteForm *w = forms::writeForm().get();
    panel = std::min(panel, timeMs([w] { w->Command4_Click(); }));
    forms::writeForm().unload();
    settle();
  }
  std::printf("records:                         %d\n", records);
  std::printf("read file once (warm):           %.1f ms\n", read);
  std::printf("open address-book window:        %.1f ms (%.0f x read)\n", friendOpen,
              friendOpen / read);
  std::printf("register (append + reload):      %.1f ms (%.0f x read)\n", reg, reg / read);
  std::printf("delete (rewrite + reload):       %.1f ms (%.0f x read)\n", del, del / read);
  std::printf("compose panel \"アドレス帳\":      %.1f ms (%.0f x read)\n", panel, panel / read);
  std::printf("(best of %d rounds each)\n", Rounds);
  platform::setMessageBoxBackend(nullptr);
  return 0;
}
