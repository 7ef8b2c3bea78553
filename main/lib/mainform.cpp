#include "main/lib/mainform.h"

#include "compose/backform.h"
#include "compose/sendmail.h"
#include "compose/writeform.h"
#include "mail/certpins.h"
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/net/nmail.h"
#include "mail/tyakuform.h"
#include "main/lib/checktime.h"
#include "main/lib/helptexts.h"
#include "main/lib/mainform_p.h"
#include "main/lib/schedule.h"
#include "platform/browser.h"
#include "platform/core/ansi.h"
#include "platform/core/clock.h"
#include "platform/core/dialup.h"
#include "platform/core/privatefiles.h"
#include "platform/core/paths.h"
#include "platform/core/sound.h"
#include "platform/core/wait.h"
#include "platform/messagebox.h"
#include "platform/textbox.h"
#include "settings/config.h"
#include "settings/friendform.h"
#include "settings/optionform.h"
#include "settings/setform.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QTreeView>

using namespace mainform_detail;

namespace {

// After each check pass, and how long one step of that wait may take.
constexpr std::uint32_t kPassWaitMs = 4000;

void say(QWidget *parent, const QString &text, platform::MsgIcon icon = platform::MsgIcon::None) {
  platform::messageBox(parent, text, {}, platform::MsgButtons::Ok, icon);
}

} // namespace

MainForm::MainForm() : QWidget(nullptr) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(caption());
  // Fixed border, a close box but no minimize or maximize box: "Small" is
  // how the user minimizes the window.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  receiveMail = [](mail::ReceiveHost &host) { mail::ReceiveMail(host); };
  endProgram = [] { QCoreApplication::quit(); };
  // The viewer's "返事を出す" opens the reply window of the compose side.
  mail::setReplyWindow(&compose::openReply);
  buildControls();
  layOutControls();
  platform::showTextFromStart(this);
}

MainForm::~MainForm() = default;

// ---- Start-up and shut-down ------------------------------------------------

void MainForm::Form_Load() {
  // Files an earlier version, a copy by hand or an install left readable by
  // others become the user's alone before anything is read from them.
  platform::tightenProgramFiles();
  // The program never creates its data folder; without it nothing can be
  // kept, so say so once and run on.
  if (!platform::dataFolderExists())
    say(this,
        QStringLiteral("データフォルダ「%1」が見つかりません。チェック時間・履歴・設定は読み書きできません。"
                       "プログラムと同じフォルダに「★MAilData」フォルダを作成して下さい。")
            .arg(QDir::toNativeSeparators(platform::dataFolder())),
        platform::MsgIcon::Exclamation);
  // Two spellings of the data folder that both hold data can't both be
  // used: name them, and the one in use, so the user can merge them.
  const QStringList twins = platform::dataFolderTwinsWithData();
  if (!twins.isEmpty()) {
    QStringList named;
    for (const QString &twin : twins)
      named << QStringLiteral("「%1」").arg(QDir::toNativeSeparators(twin));
    say(this,
        QStringLiteral("データフォルダが%1の%2つあります。使用するのは「%3」です。ほかのフォルダの"
                       "データは表示されません。必要なファイルを一つのフォルダにまとめて下さい。")
            .arg(named.join(QStringLiteral("と")))
            .arg(twins.size())
            .arg(QDir::toNativeSeparators(platform::dataFolder())),
        platform::MsgIcon::Exclamation);
  }

  // Connection mode; selecting runs the click handler, which writes the
  // value back.
  if (korvex::connectionValueSelectsHangUp(korvex::readConnectionValue())) {
    Option2->setChecked(true);
    Option2_Click();
  } else {
    Option1->setChecked(true);
    Option1_Click();
  }

  // The history overview is filled once per run.
  korvex::fillHistoryTree(TreeView1, *ImageList1, Text11, Text12);
  // Reading the histories has finished any delete that a crash cut short.
  for (mail::History which : {mail::History::Received, mail::History::Sent}) {
    const mail::RecoveryNotice notice = mail::takeRecoveryNotice(which);
    if (notice == mail::RecoveryNotice::Recovered && !mail::receiveRunning())
      mail::dropOrphanedOriginals(which);
    if (notice != mail::RecoveryNotice::None)
      say(this, mail::recoveryNoticeText(which, notice),
          notice == mail::RecoveryNotice::Recovered ? platform::MsgIcon::Information
                                                    : platform::MsgIcon::Exclamation);
  }

  // Help box hidden and empty, check-time list loaded.
  Text1->hide();
  Command10_Click();
  Text1->clear();

  // A sent mail's date is this window's clock text at the moment it goes out.
  compose::setSentDateSource(
      [clock = QPointer<QLineEdit>(Text2)] { return clock ? clock->text() : QString(); });

  // Touching the compose window loads it hidden, running its own load now.
  forms::writeForm().get()->Check1->setChecked(false);

  // Server settings, then the transport.
  settings::LoadServerSettings();
  nmail::NMailInitializeWinSock();
  nmail::NMailSetOption(1, 8192);
  // Certificates the user chose to trust, for receiving and sending.
  mail::useStoredCertificatePins();

  if (QScreen *screen = QGuiApplication::primaryScreen()) {
    QRect r = rect();
    r.moveCenter(screen->availableGeometry().center());
    move(r.topLeft());
  }

  Timer4_Timer();
  Timer2_Timer();
  Timer2->start();
  Timer3->start();
  Timer4->start();

  // No POP3 server yet: the server dialog opens beside this window.
  if (settings::Pop3Server.isEmpty()) {
    forms::optionForm().show();
    placeOptionFormBeside();
  }
}

void MainForm::placeOptionFormBeside() {
  OptionForm *dialog = forms::optionForm().get();
  QScreen *screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->availableGeometry();
  const QRect mine = frameGeometry();
  const QSize size = dialog->frameGeometry().size();
  int x = mine.right() + 8;
  if (x + size.width() > area.right())
    x = mine.left() - size.width() - 8;
  x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
  const int y = std::clamp(mine.top(), area.top(), std::max(area.top(), area.bottom() - size.height()));
  dialog->move(x, y);
}

void MainForm::Form_QueryUnload() {}

void MainForm::Form_Unload() {
  if (unloaded_)
    return;
  unloaded_ = true;
  Timer2->stop();
  Timer3->stop();
  Timer4->stop();
  nmail::NMailEndWinSock();
  platform::playSoundFile(QString(), false, false, false, true);
  // Every other window goes with the program, without asking anything.
  for (QWidget *w : QApplication::topLevelWidgets())
    if (w != this && w->isWindow())
      w->hide();
  if (endProgram)
    endProgram();
}

void MainForm::closeEvent(QCloseEvent *event) {
  // A receive in progress holds this window as its host and may be in the
  // middle of storing a mail; the program ends as soon as it returns.
  if (receiving_) {
    closePending_ = true;
    mail::abandonReceive();
    event->ignore();
    return;
  }
  Form_QueryUnload();
  Form_Unload();
  event->accept();
}

void MainForm::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange)
    Form_Resize();
}

void MainForm::Form_Resize() {
  setWindowTitle((windowState() & Qt::WindowMinimized) ? minimizedCaption() : caption());
}

// ---- The button panel --------------------------------------------------------

void MainForm::Command3_Click() { forms::writeForm().show(); }
void MainForm::Command5_Click() { forms::friendForm().show(); }
void MainForm::Command8_Click() { forms::setForm().show(); }
void MainForm::Command6_Click() { mail::openHistoryViewer(mail::History::Received); }
void MainForm::Command7_Click() { mail::openHistoryViewer(mail::History::Sent); }
void MainForm::Command11_Click() { setWindowState(windowState() | Qt::WindowMinimized); }
void MainForm::Command12_Click() {
  // Without a browser the desktop only logs its failure: the user learns
  // where the page is, to open it some other way.
  const QString page = platform::helpPageUrl().toLocalFile();
  if (!platform::openHelpPage() && QFileInfo(page).isFile())
    platform::messageBox(this,
                         QStringLiteral("ヘルプのページをブラウザーで開けませんでした。"
                                        "ページは次の場所にあります。\n%1")
                             .arg(QDir::toNativeSeparators(page)),
                         {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
}

void MainForm::Command4_Click() {
  if (unloaded_)
    return;
  // During a receive the button reads "中止": the run stops after the mail
  // in hand, keeping what it stored.
  if (receiving_ || mail::receiveRunning()) {
    mail::stopReceive();
    stopAsked_ = true;
    Command4->setEnabled(false);
    return;
  }
  Text1->setPlainText(QStringLiteral("メールを受信します。"));
  receiving_ = true;
  stopAsked_ = false;
  Command4->setText(QStringLiteral("中止"));
  QPointer<MainForm> self(this);
  mail::setReceiveInProgress(true);
  receiveMail(*this);
  mail::setReceiveInProgress(false);
  if (!self)
    return;
  receiving_ = false;
  Command4->setText(QStringLiteral("受信"));
  Command4->setEnabled(true);
  if (closePending_)
    close();
}

// ---- Receive host --------------------------------------------------------------

void MainForm::setHelpText(const QString &text) {
  Text1->setPlainText(text);
  // The receive writes into the help box unseen; once the user pressed
  // "中止", what it writes answers them (how far it got) and is shown.
  if (stopAsked_)
    Text1->show();
}
void MainForm::setStatusText(const QString &text) {
  // In a matching minute a pass runs every four seconds; once one of them
  // found mail, the later ones (which find none) leave the news standing.
  if (scheduledReceive_) {
    if (text == QStringLiteral("新着メール有り。"))
      newMailMinute_ = Text10->text();
    else if (text == QStringLiteral("新着メール無し。") && newMailMinute_ == Text10->text() &&
             Text3->text() == QStringLiteral("新着メール有り。"))
      return;
  }
  Text3->setText(text);
}

void MainForm::restoreWindow() {
  if (windowState() & Qt::WindowMinimized)
    setWindowState(windowState() & ~Qt::WindowMinimized);
}

bool MainForm::hangUpMode() const { return Option2->isChecked(); }
void MainForm::hangUp() { Command13_Click(); }

// ---- Connection mode -------------------------------------------------------------

void MainForm::Option1_Click() { korvex::writeConnectionValue(!Option1->isChecked()); }
void MainForm::Option2_Click() { korvex::writeConnectionValue(Option2->isChecked()); }
void MainForm::Command13_Click() { platform::hangUpAllDialUp(); }

// ---- Check-time list -------------------------------------------------------------

bool MainForm::PutCheckTime(qint64 n) {
  const korvex::CheckTimeError error = korvex::putCheckTimeRecord(n, Text5->text());
  if (error == korvex::CheckTimeError::None)
    return true;
  say(this, korvex::checkTimeErrorText(error), platform::MsgIcon::Exclamation);
  return false;
}

void MainForm::Command2_Click() {
  if (Text7->text().size() == 1) {
    say(this, QStringLiteral("必ず２桁で入力して下さい。１→０１"));
    Text7->clear();
    return;
  }
  if (Text6->text().isEmpty()) {
    say(this, QStringLiteral("時間が入力されていません。"));
    return;
  }
  if (Text7->text().isEmpty()) {
    say(this, QStringLiteral("分が入力されていません。"));
    return;
  }
  Text5->setText(Text6->text() + QLatin1Char(':') + Text7->text());
  // A time the clock never shows would be listed and never fire.
  if (!korvex::isCheckTimeThatCanCome(platform::trimBlanks(Text5->text()))) {
    say(this, QStringLiteral("この時刻にはチェックできません。時は０～２４、分は００～５９を半角数"
                             "字で入力して下さい。"));
    Text5->clear();
    return;
  }
  const qint64 count = korvex::checkTimeCount();
  if (count >= korvex::CheckTimeLayout::MaxRecords) {
    // Record numbers are 16-bit: one more would be lost. The typed time
    // stays in the boxes.
    say(this, korvex::checkTimeErrorText(korvex::CheckTimeError::Full), platform::MsgIcon::Exclamation);
    Text5->clear();
    return;
  }
  if (!PutCheckTime(count + 1)) {
    Text5->clear();
    return;
  }
  Command10_Click();
  Text5->clear();
  Text6->clear();
  Text7->clear();
}

void MainForm::Command9_Click() {
  if (List1->selectedItems().isEmpty()) {
    platform::messageBox(this, QStringLiteral("データが選択されていません"), {}, platform::MsgButtons::Ok,
                         platform::MsgIcon::Exclamation);
    List1->setFocus();
    return;
  }
  const qint64 n = List1->row(List1->selectedItems().constFirst()) + 1;
  const platform::MsgAnswer answer =
      platform::messageBox(this, QStringLiteral("選択されたデータを削除します。よろしいですか"),
                           QStringLiteral("確認"), platform::MsgButtons::YesNo, platform::MsgIcon::Question);
  korvex::CheckTimeError error = korvex::CheckTimeError::None;
  if (answer == platform::MsgAnswer::Yes)
    error = korvex::markCheckTimeDeleted(n);
  // The file is rewritten whatever the answer, as it always has been.
  const korvex::CheckTimeError compactError = korvex::compactCheckTimes();
  if (error == korvex::CheckTimeError::None)
    error = compactError;
  Command10_Click();
  if (error != korvex::CheckTimeError::None)
    say(this, korvex::checkTimeErrorText(error), platform::MsgIcon::Exclamation);
}

void MainForm::Command10_Click() {
  List1->clear();
  if (const std::optional<QStringList> times = korvex::readCheckTimes())
    List1->addItems(*times);
}

// ---- Timers and the check cycle ---------------------------------------------------

void MainForm::Timer4_Timer() {
  const QDateTime utc = platform::utcNow();
  // The minute changes once in sixty ticks: only then are the boxes touched,
  // which would otherwise repaint them and tell a screen reader of a change
  // every second.
  const QString minute = korvex::japanTimeText(utc);
  if (Text10->text() != minute)
    Text10->setText(minute);
  // The clock shows the machine's time; where that is not Japan's, the time
  // the list is compared with goes beside it.
  const bool japan = korvex::isJapanOffset(utc, platform::localNow());
  // The list's clock runs 1..24; beside the machine's clock the hour after
  // midnight reads as people read it, 0:05 and not 24:05. Set only when it
  // changes: each change is a repaint and a screen reader's event.
  if (!japan) {
    QString shown = Text10->text();
    if (shown.startsWith(QStringLiteral("24:")))
      shown.replace(0, 2, QStringLiteral("0"));
    const QString beside = QStringLiteral("日本時間 ") + shown;
    if (JapanClock->text() != beside)
      JapanClock->setText(beside);
  }
  JapanClock->setVisible(!japan);
}

void MainForm::Timer2_Timer() {
  const QDateTime now = platform::localNow();
  const QLocale locale;
  // The time always with seconds and without a leading zero on the hour, as
  // the Windows program showed it; the compose window stores this text as
  // the date of a sent mail.
  Text2->setText(locale.toString(now.date(), QLocale::ShortFormat) + QStringLiteral("  ") +
                 now.time().toString(QStringLiteral("H:mm:ss")));
}

void MainForm::Timer3_Timer() {
  // The 10 ms timer keeps ticking inside the wait and inside message boxes
  // of a receive; none of those ticks may start a pass of its own.
  if (!Option3->isChecked() || passRunning_ || receiving_ || unloaded_)
    return;
  passRunning_ = true;
  QPointer<MainForm> self(this);
  // The 10 ms timer rests while the pass receives and waits, since each of
  // its ticks would wake the program only to return; it runs again once
  // the pass is over.
  const bool ticking = Timer3->isActive();
  Timer3->stop();
  const QString now = Text10->text();
  QStringList entries;
  entries.reserve(List1->count());
  for (int i = 0; i < List1->count(); ++i)
    entries.append(List1->item(i)->text());
  for (const QString &entry : entries) {
    if (now == korvex::scheduleTextOf(platform::trimBlanks(entry))) {
      scheduledReceive_ = true;
      Command4_Click();
      if (!self)
        break;
      scheduledReceive_ = false;
      if (unloaded_)
        break;
    }
  }
  // Closing the window during the wait ends it at once: with the check on,
  // the program spends nearly all its time here, and a copy that lingered on
  // would hold the instance lock against the user starting it again.
  platform::waitMilliseconds(int(kPassWaitMs), [&] { return !self || unloaded_; });
  if (self) {
    passRunning_ = false;
    if (ticking && !unloaded_) {
      Timer3->start();
      // The next pass starts as soon as this one has returned, in the same
      // wake-up that ended the wait, rather than 10 ms later in one of its
      // own: with the check on the window would otherwise wake once more
      // every four seconds only for that. As with a tick, a timer stopped
      // meanwhile starts nothing; the pass stops the timer again.
      QMetaObject::invokeMethod(
          this,
          [this] {
            if (Timer3->isActive())
              Timer3_Timer();
          },
          Qt::QueuedConnection);
    }
  }
}

void MainForm::Command1_Click() {
  if (CheckClickCount % 2 == 0) {
    CheckClickCount = 0;
    Command1->setText(stopCaption());
    setButtonColour(Command1, QColor(255, 0, 0));
    Option3->setChecked(true);
    CheckClickCount += 1;
  } else {
    CheckClickCount = 1;
    Command1->setText(startCaption());
    setButtonColour(Command1, QColor(192, 192, 192));
    Option3->setChecked(false);
    CheckClickCount += 1;
  }
}

// ---- History tree and help box ---------------------------------------------------

void MainForm::TreeView1_Click() {
  platform::messageBox(this,
                       QStringLiteral("ここでは単に一覧を表示しています。") + QStringLiteral("\r\n") +
                           QStringLiteral("メールの内容をご覧になりたい場合は、左の、「着信履歴」、「送信履歴」をクリックしてご覧下さい。"),
                       {}, platform::MsgButtons::Ok, platform::MsgIcon::None);
}

void MainForm::TreeView1_Collapse(const QModelIndex &node) {
  korvex::setNodeImage(TreeView1->model(), node, korvex::ImageList::NodeCollapsed);
}

void MainForm::TreeView1_Expand(const QModelIndex &node) {
  korvex::setNodeImage(TreeView1->model(), node, korvex::ImageList::NodeExpanded);
}

void MainForm::showHelpFor(const QString &controlName) {
  // While a receive runs the receive button reads "中止" and says so.
  const std::optional<QString> text =
      controlName == QStringLiteral("Command4") && (receiving_ || mail::receiveRunning())
          ? std::optional<QString>(korvex::StopReceiveHelpText)
          : korvex::mainHelpText(controlName);
  if (!text)
    return;
  if (text->isEmpty()) {
    Text1->hide();
    return;
  }
  if (Text1->toPlainText() != *text)
    Text1->setPlainText(*text);
  Text1->show();
}

bool MainForm::eventFilter(QObject *watched, QEvent *event) {
  if (watched == TreeView1->viewport() && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
    // Let the tree finish the click (selection, expanding) before the box.
    QTimer::singleShot(0, this, &MainForm::TreeView1_Click);
  }
  if (event->type() != QEvent::Enter && event->type() != QEvent::MouseMove)
    return QWidget::eventFilter(watched, event);
  const auto source = helpSources_.constFind(watched);
  if (source == helpSources_.constEnd())
    return QWidget::eventFilter(watched, event);
  const QString &name = *source;
  const std::optional<QString> text = korvex::mainHelpText(name);
  if (text && text->isEmpty()) {
    // A panel hides the box only where the mouse is over the panel itself;
    // moves over a control on it reach it too and must not count.
    auto *panel = static_cast<QWidget *>(watched);
    const QPointF pos = event->type() == QEvent::Enter ? static_cast<QEnterEvent *>(event)->position()
                                                       : static_cast<QMouseEvent *>(event)->position();
    if (panel->childAt(pos.toPoint()))
      return QWidget::eventFilter(watched, event);
  }
  showHelpFor(name);
  return QWidget::eventFilter(watched, event);
}

namespace forms {
platform::FormSlot<MainForm> &mainForm() {
  static platform::FormSlot<MainForm> slot;
  return slot;
}
} // namespace forms
