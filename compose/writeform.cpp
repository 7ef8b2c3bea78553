#include "compose/writeform.h"

#include "compose/fortune.h"
#include "compose/sendmail.h"
#include "platform/clipboard.h"
#include "platform/messagebox.h"
#include "platform/textbox.h"
#include "platform/twips.h"
#include "settings/addressbook.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTextDocument>

#include <functional>

namespace {

// The window's outer size at load, and its width with the address-book
// panel; the client area is this less the frame.
constexpr double WindowWidth = 7100;
constexpr double WideWindowWidth = 9700;
constexpr double WindowHeight = 8200;
constexpr double FrameWidth = 120;
constexpr double FrameHeight = 420;

// Bright white and dark green of the 16-colour palette.
const QColor BulkOffColour(255, 255, 255);
const QColor BulkOnColour(0, 128, 0);

template <class W> W *named(W *widget, const char *name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton *button(const QString &caption, const char *name, QWidget *parent) {
  return named(new QPushButton(caption, parent), name);
}

// A list that reports a press once its own handling has moved the
// selection, the moment a "MouseDown" handler expects.
class PressList final : public QListWidget {
public:
  using QListWidget::QListWidget;
  std::function<void()> onPress;

protected:
  void mousePressEvent(QMouseEvent *event) override {
    QListWidget::mousePressEvent(event);
    if (onPress)
      onPress();
  }
};

// An option button that is part of a group cannot be cleared by itself.
void clearOption(QRadioButton *option) {
  const bool exclusive = option->autoExclusive();
  option->setAutoExclusive(false);
  option->setChecked(false);
  option->setAutoExclusive(exclusive);
}

} // namespace

WriteForm::WriteForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("WriteForm"));
  setWindowTitle(QStringLiteral("新規作成・送信"));

  ToLabel = named(new QLabel(QStringLiteral("宛先"), this), "ToLabel");
  ToText = named(new QLineEdit(this), "ToText");
  ToLabel->setBuddy(ToText);
  SubjectLabel = named(new QLabel(QStringLiteral("件名"), this), "SubjectLabel");
  SubjectText = named(new QLineEdit(this), "SubjectText");
  SubjectLabel->setBuddy(SubjectText);
  Combo1Label = named(new QLabel(QStringLiteral("首記例"), this), "Combo1Label");
  Combo1 = named(new QComboBox(this), "Combo1");
  Combo1->setEditable(true);
  Combo1->setInsertPolicy(QComboBox::NoInsert);
  Combo1Label->setBuddy(Combo1);

  AttachText = named(new QLineEdit(this), "AttachText");
  AttachText->setAccessibleName(QStringLiteral("添付ファイル"));
  AttachCommand = button(QStringLiteral("添付File"), "AttachCommand", this);
  Command9 = button(QStringLiteral("追加"), "Command9", this);
  Command10 = button(QStringLiteral("取り消し"), "Command10", this);
  BodyText = named(new QPlainTextEdit(this), "BodyText");
  BodyText->setAccessibleName(QStringLiteral("本文"));
  BodyText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // The attachment list opens over the top of the body.
  List2 = named(new QListWidget(this), "List2");
  List2->setAccessibleName(QStringLiteral("添付ファイル一覧"));
  Check1 = named(new QCheckBox(QStringLiteral("占い添付"), this), "Check1");
  Check1Note = named(
      new QLabel(QStringLiteral("★　親しい人に占いを添付する　★ （一括送信では使用不可）"), this),
      "Check1Note");
  Label7 = named(new QLabel(this), "Label7");
  Label7->setAccessibleName(QStringLiteral("送信状況"));
  Text14 = named(new QPlainTextEdit(this), "Text14");
  Text14->setReadOnly(true);
  Text14->setAccessibleName(QStringLiteral("ヘルプ"));

  Command1 = button(QStringLiteral("送信"), "Command1", this);
  Command3 = button(QStringLiteral("送信中止"), "Command3", this);
  Command8 = button(QStringLiteral("ホーム"), "Command8", this);
  Command11 = button(QStringLiteral("クリア"), "Command11", this);
  Command4 = button(QStringLiteral("アドレス帳"), "Command4", this);
  Command6 = button(QStringLiteral("元のサイズ"), "Command6", this);
  Command7 = button(QStringLiteral("宛先に貼付"), "Command7", this);
  Command5 = button(QStringLiteral("本文に貼付"), "Command5", this);

  Picture5 = named(new QWidget(this), "Picture5");
  Picture5Label = named(new QLabel(QStringLiteral("アドレス帳"), Picture5), "Picture5Label");
  auto *list1 = new PressList(Picture5);
  list1->onPress = [this] { List1_MouseDown(); };
  List1 = named<QListWidget>(list1, "List1");
  List1->setAutoFillBackground(true);
  Picture5Label->setBuddy(List1);
  Text1Label = named(new QLabel(QStringLiteral("件数"), Picture5), "Text1Label");
  Text1 = named(new QLineEdit(Picture5), "Text1");
  Text1->setReadOnly(true);
  Text1Label->setBuddy(Text1);
  Option2 = named(new QRadioButton(QStringLiteral("一括送信"), Picture5), "Option2");
  Option1 = named(new QRadioButton(QStringLiteral("取消"), Picture5), "Option1");

  using platform::setTwipsGeometry;
  setTwipsGeometry(ToLabel, 120, 150, 780, 255);
  setTwipsGeometry(ToText, 960, 120, 5800, 330);
  setTwipsGeometry(SubjectLabel, 120, 570, 780, 255);
  setTwipsGeometry(SubjectText, 960, 540, 5800, 330);
  setTwipsGeometry(Combo1Label, 120, 990, 780, 255);
  setTwipsGeometry(Combo1, 960, 960, 5800, 330);
  setTwipsGeometry(AttachText, 960, 1380, 2800, 330);
  setTwipsGeometry(AttachCommand, 3840, 1380, 1000, 330);
  setTwipsGeometry(Command9, 4900, 1380, 800, 330);
  setTwipsGeometry(Command10, 5760, 1380, 1000, 330);
  setTwipsGeometry(List2, 960, 1760, 5800, 700);
  setTwipsGeometry(BodyText, 120, 1800, 6740, 3900);
  setTwipsGeometry(Check1, 120, 5780, 1300, 300);
  setTwipsGeometry(Check1Note, 1440, 5780, 5420, 300);
  setTwipsGeometry(Label7, 120, 6120, 6740, 300);
  setTwipsGeometry(Command1, 120, 6460, 1575, 375);
  setTwipsGeometry(Command3, 1830, 6460, 1575, 375);
  setTwipsGeometry(Command8, 3540, 6460, 1575, 375);
  setTwipsGeometry(Command11, 5250, 6460, 1575, 375);
  setTwipsGeometry(Command4, 120, 6900, 1575, 375);
  setTwipsGeometry(Command6, 1830, 6900, 1575, 375);
  setTwipsGeometry(Command7, 3540, 6900, 1575, 375);
  setTwipsGeometry(Command5, 5250, 6900, 1575, 375);
  setTwipsGeometry(Text14, 120, 7340, 6740, 400);
  setTwipsGeometry(Picture5, 7080, 120, 2400, 7600);
  setTwipsGeometry(Picture5Label, 60, 0, 2280, 255);
  setTwipsGeometry(List1, 60, 300, 2280, 5800);
  setTwipsGeometry(Text1Label, 60, 6180, 600, 255);
  setTwipsGeometry(Text1, 720, 6150, 900, 330);
  setTwipsGeometry(Option2, 60, 6600, 1200, 300);
  setTwipsGeometry(Option1, 1260, 6600, 1000, 300);

  attachments_.emplace(this, AttachText, AttachCommand, Command9, Command10, List2);

  // Help texts follow the mouse over the buttons; the body hides the box.
  for (QPushButton *b : {Command1, Command3, Command8, AttachCommand, Command9, Command4, Command6,
                         Command7, Command5, Command11}) {
    b->setMouseTracking(true);
    b->installEventFilter(this);
  }
  BodyText->viewport()->setMouseTracking(true);
  BodyText->viewport()->installEventFilter(this);
  Combo1->installEventFilter(this);

  connect(Command1, &QPushButton::clicked, this, &WriteForm::Command1_Click);
  connect(Command3, &QPushButton::clicked, this, &WriteForm::Command3_Click);
  connect(Command4, &QPushButton::clicked, this, &WriteForm::Command4_Click);
  connect(Command5, &QPushButton::clicked, this, &WriteForm::Command5_Click);
  connect(Command6, &QPushButton::clicked, this, &WriteForm::Command6_Click);
  connect(Command7, &QPushButton::clicked, this, &WriteForm::Command7_Click);
  connect(Command8, &QPushButton::clicked, this, &WriteForm::Command8_Click);
  connect(Command11, &QPushButton::clicked, this, &WriteForm::Command11_Click);
  connect(AttachCommand, &QPushButton::clicked, this, &WriteForm::AttachCommand_Click);
  connect(Command9, &QPushButton::clicked, this, &WriteForm::Command9_Click);
  connect(Command10, &QPushButton::clicked, this, &WriteForm::Command10_Click);
  connect(Option1, &QRadioButton::clicked, this, &WriteForm::Option1_Click);
  connect(Option2, &QRadioButton::clicked, this, &WriteForm::Option2_Click);
  platform::showTextFromStart(this);
}

void WriteForm::Form_Load() {
  setWidthTwips(WindowWidth);
  clearOption(Option2);
  attachments_->resetButtons();
  Check1->setChecked(false);
  Text14->hide();
  RecordNumbers.clear();
  Combo1->clear();
  Combo1->addItems(compose::greetingPhrases());
  Combo1->setCurrentIndex(-1);
  Combo1->setEditText(QString());
  setListColour(false);
  // At load the list comes from the master file, which nothing writes: it
  // starts empty until "アドレス帳" reads the address book.
  fillAddressList(settings::addressMasterPath());
}

// ---- Sending ----------------------------------------------------------------

void WriteForm::Command1_Click() {
  // A click while the server takes the mail would send it twice.
  if (compose::sendRunning())
    return;
  if (compose::refuseWhileReceiving(this))
    return;
  attachments_->resetButtons();
  const QString sending = QStringLiteral("メールを送信中です。しばらくお待ち下さい。");
  Label7->setText(sending);

  compose::Draft draft;
  draft.to = ToText->text();
  draft.subject = SubjectText->text();
  draft.body = BodyText->toPlainText();
  draft.attachments = AttachText->text();
  draft.fortune = Check1->isChecked();
  const bool bulk = Option2->isChecked();
  // A bulk send that stopped short goes on with the rows that did not get
  // the mail: those that did never get it twice.
  QList<int> rows;
  for (int row = 0; row < RecordNumbers.size(); ++row)
    if (BulkUndelivered.isEmpty() || BulkUndelivered.contains(row))
      rows << row;
  QList<int> records;
  for (const int row : rows)
    records << RecordNumbers[row];
  const compose::SendOutcome outcome =
      compose::sendDraft(this, draft, bulk, records, [this, sending] {
        Label7->setText(sending);
        Label7->repaint();
      });

  // A pass stopped by a file the program could not read or write, or refused
  // by the transport, sent nothing and keeps no record: the typed mail stays
  // so it can be corrected and sent again.
  if (!outcome.notDelivered.isEmpty()) {
    if (!bulk) {
      Label7->setText(QStringLiteral(
          "送信できなかったメールがあります。入力した内容はそのまま残しています。"));
      return;
    }
    QList<int> undelivered;
    QStringList names;
    for (const int pass : outcome.notDelivered) {
      undelivered << rows[pass];
      names << List1->item(rows[pass])->text().trimmed();
    }
    BulkUndelivered = undelivered;
    // The status line has room for one short line: the count stays there,
    // and a box says whole who did not get the mail and what to do.
    const QString count = QStringLiteral("一括送信：%1件のうち%2件に送信しました。")
                              .arg(rows.size())
                              .arg(rows.size() - undelivered.size());
    Label7->setText(count);
    platform::messageBox(this,
                         count + QStringLiteral("\n送信できなかった宛先：%1。\n\n").arg(names.join(QStringLiteral("、"))) +
                             QStringLiteral("もう一度「送信」を押すと、送信できなかった宛先にだけ送信します。"),
                         {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    return;
  }
  Label7->setText(QStringLiteral("送信完了です。"));
  ToText->clear();
  SubjectText->clear();
  BodyText->clear();
  AttachText->clear();
  Check1->setChecked(false);
  clearOption(Option2);
  forms::writeForm().unload();
}

void WriteForm::Command3_Click() {
  forms::writeForm().unload();
}

void WriteForm::Command8_Click() {
  forms::writeForm().unload();
}

// ---- Attachments ------------------------------------------------------------

void WriteForm::AttachCommand_Click() {
  attachments_->AttachCommand_Click();
}

void WriteForm::Command9_Click() {
  List2->raise();
  attachments_->Command9_Click();
}

void WriteForm::Command10_Click() {
  attachments_->Command10_Click();
}

// ---- Address-book panel, clipboard and reset --------------------------------

void WriteForm::fillAddressList(const QString &path) {
  RecordNumbers.clear();
  BulkUndelivered.clear();
  List1->clear();
  if (const auto records = settings::readAddressFile(path)) {
    QStringList names;
    names.reserve(records->size());
    for (qsizetype i = 0; i < records->size(); ++i) {
      names.append(records->at(i).Name);
      RecordNumbers.append(int(i + 1));
    }
    List1->addItems(names);
  }
  Text1->setText(QString::number(List1->count()));
}

void WriteForm::setListColour(bool bulk) {
  QPalette p = List1->palette();
  p.setColor(QPalette::Base, bulk ? BulkOnColour : BulkOffColour);
  List1->setPalette(p);
}

void WriteForm::setWidthTwips(double width) {
  resize(platform::twipsToPixelsX(width - FrameWidth),
         platform::twipsToPixelsY(WindowHeight - FrameHeight));
}

void WriteForm::centreOnScreen() {
  QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->geometry();
  const QSize outer = frameGeometry().size();
  move(area.left() + (area.width() - outer.width()) / 2,
       area.top() + (area.height() - outer.height()) / 2);
}

void WriteForm::Command4_Click() {
  setWidthTwips(WideWindowWidth);
  centreOnScreen();
  fillAddressList(settings::addressBookPath());
}

void WriteForm::Command6_Click() {
  setWidthTwips(WindowWidth);
  setListColour(false);
  centreOnScreen();
}

void WriteForm::Option2_Click() {
  setListColour(true);
}

void WriteForm::Option1_Click() {
  BulkUndelivered.clear();
  ToText->clear();
  setListColour(false);
}

void WriteForm::List1_MouseDown() {
  const int row = List1->currentRow();
  if (row < 0 || !List1->currentItem()->isSelected()) {
    platform::messageBox(this, QStringLiteral("データが選択されていません"), QString(),
                         platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    List1->setFocus();
    return;
  }
  // A record that can't be read leaves the To box as it was.
  if (row < RecordNumbers.size()) {
    if (const auto record = settings::readAddressBookRecord(RecordNumbers[row]))
      ToText->setText(settings::addressOf(*record));
  }
}

void WriteForm::Command7_Click() {
  ToText->setText(platform::clipboardText());
}

void WriteForm::Command5_Click() {
  QTextCursor end = BodyText->textCursor();
  end.movePosition(QTextCursor::End);
  end.insertText(platform::clipboardText());
}

void WriteForm::Command11_Click() {
  ToText->clear();
  SubjectText->clear();
  BodyText->clear();
  clearOption(Option2);
  BulkUndelivered.clear();
  attachments_->Command10_Click();
  Check1->setChecked(false);
  setListColour(false);
}

// ---- Greeting and help ------------------------------------------------------

// A phrase chosen since the box was entered goes on top of the body, above
// what was typed, as one step Ctrl+Z can take back. Leaving the box without
// choosing changes nothing.
void WriteForm::Combo1_LostFocus() {
  const QString phrase = Combo1->currentText();
  if (phrase.isEmpty() || phrase == greetingOnEntry_)
    return;
  greetingOnEntry_ = phrase;
  QTextCursor top(BodyText->document());
  top.movePosition(QTextCursor::Start);
  top.insertText(BodyText->document()->isEmpty() ? phrase : phrase + QLatin1Char('\n'));
}

bool WriteForm::eventFilter(QObject *watched, QEvent *event) {
  if (watched == Combo1) {
    // Opening the drop-down list or switching to another program keeps the
    // box active; only leaving it for another control counts (the body
    // would otherwise be replaced behind the user's back).
    if (event->type() == QEvent::FocusOut || event->type() == QEvent::FocusIn) {
      const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
      if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason)
        return false;
      if (event->type() == QEvent::FocusIn)
        greetingOnEntry_ = Combo1->currentText();
      else
        Combo1_LostFocus();
    }
    return false;
  }
  if (watched == BodyText->viewport()) {
    if (event->type() == QEvent::MouseMove)
      Text14->hide();
    return false;
  }
  if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
    static const QList<std::pair<const char *, const char16_t *>> helps = {
        {"Command1",
         u"送信します。電話回線が接続されていない場合は、自動的に接続してメールを送信します。"},
        {"Command3", u"送信を中止します。"},
        {"Command8", u"メイン画面に戻ります。"},
        {"AttachCommand", u"各種ファイルを添付して送信できます。"},
        {"Command9", u"添付ファイルを複数送信する際に使用します。確認しやすいように、リストボックス"
                     u"が表示されます。"},
        {"Command4",
         u"このフォーム（新規作成）が拡張され、登録したメールアドレスの名称が一覧（リスト）に現れま"
         u"す。送信したい名称をクリックすると、メールアドレスが自動的に入力されます。"},
        {"Command6", u"アドレス帳を含むサイズから、元のサイズに戻します。"},
        {"Command7", u"コピーして来た内容を宛先に貼付ます。"},
        {"Command5", u"本ソフト、他のアプリからのテキスト文書を本文中に貼付けます。"},
        {"Command11", u"宛先、件名、本文他、設定等が初期状態に戻せます。"},
    };
    for (const auto &[name, text] : helps) {
      if (watched->objectName() == QLatin1String(name)) {
        const QString help = QString::fromUtf16(text);
        if (Text14->toPlainText() != help)
          Text14->setPlainText(help);
        Text14->show();
        break;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

namespace forms {
platform::FormSlot<WriteForm> &writeForm() {
  static platform::FormSlot<WriteForm> slot;
  return slot;
}
} // namespace forms
