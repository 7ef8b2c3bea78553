// The controls of the main window and where they sit.
#include "main/lib/mainform.h"

#include "main/lib/mainform_p.h"

#include <QAccessible>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeView>

#include "platform/twips.h"

using namespace mainform_detail;

namespace {

// Client area of the window, in twips.
constexpr double kClientWidth = 8685, kClientHeight = 6150;
// Where the working fields live: outside the client area, never shown.
constexpr double kOffscreenLeft = 9000;

template <class W> W *named(W *widget, const char *name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// Boxes whose text changes by the clock, not by the user (the seconds
// clock). A screen reader reads them when the user goes to them, but is not
// told of every change, as with a timer on a web page: each change would be
// three messages a second on the accessibility bus, read by nobody.
QList<QPointer<QObject>> &clockBoxes() {
  static QList<QPointer<QObject>> boxes;
  return boxes;
}

void updateAccessibilityExceptClocks(QAccessibleEvent *event) {
  switch (event->type()) {
  case QAccessible::TextUpdated:
  case QAccessible::TextInserted:
  case QAccessible::TextRemoved:
  case QAccessible::TextCaretMoved:
    if (clockBoxes().contains(event->object()))
      return;
    break;
  default:
    break;
  }
  // Everything else goes to the platform's bridge as it would without a
  // handler: the handler steps aside for the call.
  QAccessible::installUpdateHandler(nullptr);
  QAccessible::updateAccessibility(event);
  QAccessible::installUpdateHandler(updateAccessibilityExceptClocks);
}

} // namespace

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
  Command12->setAccessibleName(QStringLiteral("ヘルプページ"));

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
  Command1 = named(new QPushButton(startCaption(), Frame1), "Command1");
  setButtonColour(Command1, QColor(224, 224, 224));

  Frame2 = named(new QGroupBox(this), "Frame2");
  Frame2->setAccessibleName(QStringLiteral("状態"));
  Text2 = named(new QLineEdit(Frame2), "Text2");
  Text2->setReadOnly(true);
  // Its text changes every second. With a background of its own (its
  // corners in the group box's colour) a change repaints the box alone and
  // not the group box beneath it, frame and all, which was most of what the
  // waiting window cost.
  Text2->setAutoFillBackground(true);
  Text2->setBackgroundRole(QPalette::Window);
  clockBoxes().removeAll(nullptr);
  clockBoxes().append(Text2);
  QAccessible::installUpdateHandler(updateAccessibilityExceptClocks);
  Text2->setAccessibleName(QStringLiteral("現在の日付と時刻"));
  JapanClock = named(new QLabel(Frame2), "JapanClock");
  JapanClock->setAccessibleName(QStringLiteral("チェック時間と比べる日本時間"));
  JapanClock->hide();
  Text3 = named(new QLineEdit(Frame2), "Text3");
  Text3->setReadOnly(true);
  Text3->setAccessibleName(QStringLiteral("新着メールの有無"));
  Frame3 = named(new QGroupBox(QStringLiteral(" 回線"), Frame2), "Frame3");
  Option1 = named(new QRadioButton(QStringLiteral("常時接続"), Frame3), "Option1");
  Option2 = named(new QRadioButton(QStringLiteral("切断・接続繰り返し"), Frame3), "Option2");
  Command13 = named(new QPushButton(QStringLiteral("切断"), Frame3), "Command13");

  Label9 = named(new QLabel(QStringLiteral("過去の着信・送信履歴（一覧）"), this), "Label9");
  TreeView1 = named(new QTreeView(this), "TreeView1");
  TreeView1->setHeaderHidden(true);
  TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Label9->setBuddy(TreeView1);
  ImageList1 = new korvex::ImageList(this);
  ImageList1->setObjectName(QStringLiteral("ImageList1"));

  Text1 = named(new QPlainTextEdit(this), "Text1");
  Text1->setReadOnly(true);
  Text1->setAccessibleName(QStringLiteral("説明"));
  Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
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
  // The check pass ticks every 10 ms while the check is on. With the check
  // off (as the window starts) each tick would only return, a hundred
  // wake-ups a second for nothing: the timer rests then, and switching the
  // check on brings it back to 10 ms at once (a running timer restarts with
  // its new interval; a stopped one stays stopped).
  const auto paceCheckPass = [this] { Timer3->setInterval(Option3->isChecked() ? 10 : 60000); };
  connect(Option3, &QAbstractButton::toggled, this, paceCheckPass);
  paceCheckPass();
  connect(TreeView1, &QTreeView::collapsed, this, &MainForm::TreeView1_Collapse);
  connect(TreeView1, &QTreeView::expanded, this, &MainForm::TreeView1_Expand);

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
  setTwipsGeometry(JapanClock, 150, 60, 2820, 240);
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

