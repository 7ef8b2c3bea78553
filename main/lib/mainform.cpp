#include "main/lib/mainform.h"

#include "compose/writeform.h"
#include "mail/nmail/nmail.h"
#include "mail/tyakuform.h"
#include "main/lib/checktime.h"
#include "main/lib/helptexts.h"
#include "main/lib/schedule.h"
#include "platform/browser.h"
#include "platform/core/ansi.h"
#include "platform/core/clock.h"
#include "platform/core/dialup.h"
#include "platform/core/paths.h"
#include "platform/core/sound.h"
#include "platform/core/wait.h"
#include "platform/messagebox.h"
#include "platform/twips.h"
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
#include <QTreeWidget>

namespace {

const QString kCaption = QStringLiteral("Korvex　Ver 2.15");
const QString kMinimizedCaption = QStringLiteral("メールチェック中・・・");
const QString kStartCaption = QStringLiteral("チェック開始");
const QString kStopCaption = QStringLiteral("チェック停止");

// Client area of the window, in twips.
constexpr double kClientWidth = 8685, kClientHeight = 6150;
// Where the working fields live: outside the client area, never shown.
constexpr double kOffscreenLeft = 9000;

template <class W> W *named(W *widget, const char *name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

void setButtonColour(QPushButton *button, const QColor &colour) {
  QPalette p = button->palette();
  p.setColor(QPalette::Button, colour);
  button->setPalette(p);
  button->setAutoFillBackground(true);
}

void say(QWidget *parent, const QString &text, platform::MsgIcon icon = platform::MsgIcon::None) {
  platform::messageBox(parent, text, {}, platform::MsgButtons::Ok, icon);
}

} // namespace

MainForm::MainForm() : QWidget(nullptr) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(kCaption);
  // Fixed border, a close box but no minimize or maximize box: "Small" is
  // how the user minimizes the window.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  receiveMail = [](mail::ReceiveHost &host) { mail::ReceiveMail(host); };
  endProgram = [] { QCoreApplication::quit(); };
  buildControls();
  layOutControls();
}

MainForm::~MainForm() = default;

void MainForm::buildControls() {
  Picture1 = named(new QWidget(this), "Picture1");
  Label14 = named(new QLabel(QStringLiteral("Korvex"), Picture1), "Label14");
  QFont logo = Label14->font();
  logo.setPointSizeF(logo.pointSizeF() * 1.8);
  logo.setBold(true);
  Label14->setFont(logo);
  Label14->setAlignment(Qt::AlignCenter);
  Command4 = named(new QPushButton(QStringLiteral("受信"), Picture1), "Command4");
  Command3 = named(new QPushButton(QStringLiteral("新規作成"), Picture1), "Command3");
  Command6 = named(new QPushButton(QStringLiteral("着信履歴"), Picture1), "Command6");
  Command7 = named(new QPushButton(QStringLiteral("送信履歴"), Picture1), "Command7");
  Command5 = named(new QPushButton(QStringLiteral("アドレス帳"), Picture1), "Command5");
  Command8 = named(new QPushButton(QStringLiteral("設定"), Picture1), "Command8");
  Command11 = named(new QPushButton(QStringLiteral("Small"), Picture1), "Command11");
  Command12 = named(new QPushButton(QStringLiteral("HP"), Picture1), "Command12");
  Command11->setAccessibleName(QStringLiteral("最小化"));
  Command12->setAccessibleName(QStringLiteral("作者のホームページ"));

  Frame1 = named(new QGroupBox(this), "Frame1");
  Frame1->setAccessibleName(QStringLiteral("チェック時間"));
  Text6 = named(new QLineEdit(Frame1), "Text6");
  Label1[0] = named(new QLabel(QStringLiteral("時"), Frame1), "Label1(0)");
  Label1[0]->setBuddy(Text6);
  Text7 = named(new QLineEdit(Frame1), "Text7");
  Label1[1] = named(new QLabel(QStringLiteral("分"), Frame1), "Label1(1)");
  Label1[1]->setBuddy(Text7);
  Command2 = named(new QPushButton(QStringLiteral("登録"), Frame1), "Command2");
  List1 = named(new QListWidget(Frame1), "List1");
  List1->setAccessibleName(QStringLiteral("登録済みのチェック時間"));
  // Entries keep the blanks that pad them in the file; eliding or a
  // horizontal scroll bar would only show those blanks.
  List1->setTextElideMode(Qt::ElideNone);
  List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  List1->setSelectionMode(QAbstractItemView::SingleSelection);
  Command9 = named(new QPushButton(QStringLiteral("削除"), Frame1), "Command9");
  Command1 = named(new QPushButton(kStartCaption, Frame1), "Command1");
  setButtonColour(Command1, QColor(224, 224, 224));

  Frame2 = named(new QGroupBox(this), "Frame2");
  Frame2->setAccessibleName(QStringLiteral("状態"));
  Text2 = named(new QLineEdit(Frame2), "Text2");
  Text2->setReadOnly(true);
  Text2->setAccessibleName(QStringLiteral("現在の日付と時刻"));
  Text3 = named(new QLineEdit(Frame2), "Text3");
  Text3->setReadOnly(true);
  Text3->setAccessibleName(QStringLiteral("新着メールの有無"));
  Frame3 = named(new QGroupBox(QStringLiteral(" 回線"), Frame2), "Frame3");
  Option1 = named(new QRadioButton(QStringLiteral("常時接続"), Frame3), "Option1");
  Option2 = named(new QRadioButton(QStringLiteral("切断・接続繰り返し"), Frame3), "Option2");
  Command13 = named(new QPushButton(QStringLiteral("切断"), Frame3), "Command13");

  Label9 = named(new QLabel(QStringLiteral("過去の着信・送信履歴（一覧）"), this), "Label9");
  TreeView1 = named(new QTreeWidget(this), "TreeView1");
  TreeView1->setHeaderHidden(true);
  TreeView1->setColumnCount(1);
  Label9->setBuddy(TreeView1);
  ImageList1 = new korvex::ImageList(this);
  ImageList1->setObjectName(QStringLiteral("ImageList1"));

  Text1 = named(new QPlainTextEdit(this), "Text1");
  Text1->setReadOnly(true);
  Text1->setAccessibleName(QStringLiteral("説明"));
  QPalette help = Text1->palette();
  help.setColor(QPalette::Base, QColor(255, 255, 225));
  help.setColor(QPalette::Text, QColor(0, 0, 0));
  Text1->setPalette(help);

  Command10 = named(new QPushButton(QStringLiteral("Command10"), this), "Command10");
  Text5 = named(new QLineEdit(this), "Text5");
  Text10 = named(new QLineEdit(this), "Text10");
  Text11 = named(new QLineEdit(this), "Text11");
  Text12 = named(new QLineEdit(this), "Text12");
  Option3 = named(new QRadioButton(this), "Option3");
  // A lone auto-exclusive radio button could never be switched off again.
  Option3->setAutoExclusive(false);
  for (QWidget *w : {static_cast<QWidget *>(Command10), static_cast<QWidget *>(Text5),
                     static_cast<QWidget *>(Text10), static_cast<QWidget *>(Text11),
                     static_cast<QWidget *>(Text12), static_cast<QWidget *>(Option3)})
    w->hide();

  Timer2 = named(new QTimer(this), "Timer2");
  Timer2->setInterval(1000);
  Timer3 = named(new QTimer(this), "Timer3");
  Timer3->setInterval(10);
  Timer4 = named(new QTimer(this), "Timer4");
  Timer4->setInterval(1000);

  connect(Command1, &QPushButton::clicked, this, &MainForm::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &MainForm::Command2_Click);
  connect(Command3, &QPushButton::clicked, this, &MainForm::Command3_Click);
  connect(Command4, &QPushButton::clicked, this, &MainForm::Command4_Click);
  connect(Command5, &QPushButton::clicked, this, &MainForm::Command5_Click);
  connect(Command6, &QPushButton::clicked, this, &MainForm::Command6_Click);
  connect(Command7, &QPushButton::clicked, this, &MainForm::Command7_Click);
  connect(Command8, &QPushButton::clicked, this, &MainForm::Command8_Click);
  connect(Command9, &QPushButton::clicked, this, &MainForm::Command9_Click);
  connect(Command10, &QPushButton::clicked, this, &MainForm::Command10_Click);
  connect(Command11, &QPushButton::clicked, this, &MainForm::Command11_Click);
  connect(Command12, &QPushButton::clicked, this, &MainForm::Command12_Click);
  connect(Command13, &QPushButton::clicked, this, &MainForm::Command13_Click);
  connect(Option1, &QRadioButton::clicked, this, &MainForm::Option1_Click);
  connect(Option2, &QRadioButton::clicked, this, &MainForm::Option2_Click);
  connect(Timer2, &QTimer::timeout, this, &MainForm::Timer2_Timer);
  connect(Timer3, &QTimer::timeout, this, &MainForm::Timer3_Timer);
  connect(Timer4, &QTimer::timeout, this, &MainForm::Timer4_Timer);
  connect(TreeView1, &QTreeWidget::itemCollapsed, this, &MainForm::TreeView1_Collapse);
  connect(TreeView1, &QTreeWidget::itemExpanded, this, &MainForm::TreeView1_Expand);
  TreeView1->viewport()->installEventFilter(this);

  // The help box follows the mouse over these controls; the background and
  // the plain panels hide it.
  const std::pair<QWidget *, const char *> helped[] = {
      {Command1, "Command1"},   {Command2, "Command2"},   {Command9, "Command9"},
      {Command3, "Command3"},   {Command4, "Command4"},   {Command5, "Command5"},
      {Command6, "Command6"},   {Command7, "Command7"},   {Command8, "Command8"},
      {Command11, "Command11"}, {Command12, "Command12"}, {Frame3, "Frame3"},
      {List1, "List1"},         {Text3, "Text3"},         {TreeView1, "TreeView1"},
      {this, "MainForm"},       {Frame1, "Frame1"},       {Frame2, "Frame2"},
      {Picture1, "Picture1"},
  };
  for (const auto &[control, name] : helped)
    watchForHelp(control, QString::fromLatin1(name));
  watchForHelp(List1->viewport(), QStringLiteral("List1"));
  watchForHelp(TreeView1->viewport(), QStringLiteral("TreeView1"));
}

void MainForm::layOutControls() {
  using platform::setTwipsGeometry;
  setFixedSize(platform::twipsToPixelsX(kClientWidth), platform::twipsToPixelsY(kClientHeight));

  setTwipsGeometry(Picture1, 0, 0, 1935, kClientHeight);
  setTwipsGeometry(Label14, 120, 120, 1695, 540);
  const std::pair<QPushButton *, int> panel[] = {{Command4, 0}, {Command3, 1}, {Command6, 2},
                                                 {Command7, 3}, {Command5, 4}, {Command8, 5},
                                                 {Command11, 6}, {Command12, 7}};
  for (const auto &[button, row] : panel)
    setTwipsGeometry(button, 120, 840 + row * 600, 1695, 450);

  setTwipsGeometry(Frame1, 2040, 60, 3300, 3000);
  setTwipsGeometry(Text6, 150, 300, 540, 330);
  setTwipsGeometry(Label1[0], 720, 330, 270, 270);
  setTwipsGeometry(Text7, 1020, 300, 540, 330);
  setTwipsGeometry(Label1[1], 1590, 330, 270, 270);
  setTwipsGeometry(Command2, 2190, 270, 960, 390);
  setTwipsGeometry(List1, 150, 750, 1950, 1620);
  setTwipsGeometry(Command9, 2190, 750, 960, 390);
  setTwipsGeometry(Command1, 150, 2460, 3000, 420);

  setTwipsGeometry(Frame2, 5460, 60, 3120, 3000);
  setTwipsGeometry(Text2, 150, 300, 2820, 330);
  setTwipsGeometry(Text3, 150, 720, 2820, 330);
  setTwipsGeometry(Frame3, 150, 1140, 2820, 1740);
  setTwipsGeometry(Option1, 150, 330, 2520, 300);
  setTwipsGeometry(Option2, 150, 690, 2520, 300);
  setTwipsGeometry(Command13, 150, 1170, 1200, 390);

  setTwipsGeometry(Label9, 2040, 3150, 3300, 270);
  setTwipsGeometry(TreeView1, 2040, 3450, 3300, 2610);
  setTwipsGeometry(Text1, 5460, 3150, 3120, 2910);

  setTwipsGeometry(Command10, kOffscreenLeft, 0, 1200, 390);
  setTwipsGeometry(Text5, kOffscreenLeft, 450, 1200, 330);
  setTwipsGeometry(Text10, kOffscreenLeft, 840, 1200, 330);
  setTwipsGeometry(Text11, kOffscreenLeft, 1230, 1200, 330);
  setTwipsGeometry(Text12, kOffscreenLeft, 1620, 1200, 330);
  setTwipsGeometry(Option3, kOffscreenLeft, 2010, 1200, 300);
}

void MainForm::watchForHelp(QWidget *control, const QString &name) {
  control->setMouseTracking(true);
  control->installEventFilter(this);
  helpSources_.insert(control, name);
}

// ---- Start-up and shut-down ------------------------------------------------

void MainForm::Form_Load() {
  // The program never creates its data folder; without it nothing can be
  // kept, so say so once and run on.
  if (!platform::dataFolderExists())
    say(this,
        QStringLiteral("データフォルダ「%1」が見つかりません。チェック時間・履歴・設定は読み書きできません。"
                       "プログラムと同じフォルダに「★MAilData」フォルダを作成して下さい。")
            .arg(QDir::toNativeSeparators(platform::dataFolder())),
        platform::MsgIcon::Exclamation);

  // 1. Connection mode; selecting runs the click handler, which writes the
  // value back.
  if (korvex::connectionValueSelectsHangUp(korvex::readConnectionValue())) {
    Option2->setChecked(true);
    Option2_Click();
  } else {
    Option1->setChecked(true);
    Option1_Click();
  }

  // 2. History overview.
  korvex::fillHistoryTree(TreeView1, *ImageList1, Text11, Text12);

  // 3.-5. Help box hidden and empty, check-time list loaded.
  Text1->hide();
  Command10_Click();
  Text1->clear();

  // 6. Touching the compose window loads it hidden, running its own load.
  forms::writeForm().get()->Check1->setChecked(false);

  // 7., 8. Server settings and the transport.
  settings::LoadServerSettings();
  nmail::NMailInitializeWinSock();
  nmail::NMailSetOption(1, 8192);

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

  // 9. No POP3 server yet: the server dialog opens beside this window.
  if (settings::Pop3Server.isEmpty()) {
    OptionForm *dialog = forms::optionForm().show();
    Q_UNUSED(dialog);
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
  setWindowTitle((windowState() & Qt::WindowMinimized) ? kMinimizedCaption : kCaption);
}

// ---- The button panel --------------------------------------------------------

void MainForm::Command3_Click() { forms::writeForm().show(); }
void MainForm::Command5_Click() { forms::friendForm().show(); }
void MainForm::Command8_Click() { forms::setForm().show(); }
void MainForm::Command6_Click() { mail::openHistoryViewer(mail::History::Received); }
void MainForm::Command7_Click() { mail::openHistoryViewer(mail::History::Sent); }
void MainForm::Command11_Click() { setWindowState(windowState() | Qt::WindowMinimized); }
void MainForm::Command12_Click() { platform::openInBrowser(platform::homePageUrl()); }

void MainForm::Command4_Click() {
  // One receive at a time: a message box inside a receive lets clicks and
  // timer ticks through, and two sessions would fetch the same mails.
  if (unloaded_ || receiving_ || mail::receiveRunning())
    return;
  Text1->setPlainText(QStringLiteral("メールを受信します。"));
  receiving_ = true;
  QPointer<MainForm> self(this);
  receiveMail(*this);
  if (self)
    receiving_ = false;
}

// ---- Receive host --------------------------------------------------------------

void MainForm::setHelpText(const QString &text) { Text1->setPlainText(text); }
void MainForm::setStatusText(const QString &text) { Text3->setText(text); }

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

void MainForm::Timer4_Timer() { Text10->setText(korvex::japanTimeText(platform::utcNow())); }

void MainForm::Timer2_Timer() {
  const QDateTime now = platform::localNow();
  const QLocale locale;
  Text2->setText(locale.toString(now.date(), QLocale::ShortFormat) + QStringLiteral("  ") +
                 locale.toString(now.time(), QLocale::ShortFormat));
}

void MainForm::Timer3_Timer() {
  // The 10 ms timer keeps ticking inside the wait and inside message boxes
  // of a receive; none of those ticks may start a pass of its own.
  if (!Option3->isChecked() || passRunning_ || receiving_ || unloaded_)
    return;
  passRunning_ = true;
  QPointer<MainForm> self(this);
  const QString now = Text10->text();
  QStringList entries;
  entries.reserve(List1->count());
  for (int i = 0; i < List1->count(); ++i)
    entries.append(List1->item(i)->text());
  for (const QString &entry : entries) {
    if (now == platform::trimBlanks(entry)) {
      Command4_Click();
      if (!self || unloaded_)
        break;
    }
  }
  if (self && !unloaded_)
    platform::waitMilliseconds(4000);
  if (self)
    passRunning_ = false;
}

void MainForm::Command1_Click() {
  if (CheckClickCount % 2 == 0) {
    CheckClickCount = 0;
    Command1->setText(kStopCaption);
    setButtonColour(Command1, QColor(255, 0, 0));
    Option3->setChecked(true);
    CheckClickCount += 1;
  } else {
    CheckClickCount = 1;
    Command1->setText(kStartCaption);
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

void MainForm::TreeView1_Collapse(QTreeWidgetItem *node) {
  korvex::setNodeImage(node, *ImageList1, korvex::ImageList::NodeCollapsed);
}

void MainForm::TreeView1_Expand(QTreeWidgetItem *node) {
  korvex::setNodeImage(node, *ImageList1, korvex::ImageList::NodeExpanded);
}

void MainForm::showHelpFor(const QString &controlName) {
  const std::optional<QString> text = korvex::mainHelpText(controlName);
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
