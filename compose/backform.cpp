#include "compose/backform.h"

#include "compose/sendmail.h"
#include "mail/certpins.h"
#include "mail/store/history.h"
#include "mail/net/nmail.h"
#include "mail/mime/replythread.h"
#include "mail/store/originals.h"
#include "platform/clipboard.h"
#include "platform/core/ansi.h"
#include "platform/messagebox.h"
#include "platform/switchwindow.h"
#include "platform/textbox.h"
#include "platform/twips.h"
#include "settings/config.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>

namespace {
template <class W> W *named(W *widget, const char *name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// What "本文に貼付" puts between the pasted text and the answered body.
const QString PasteSeparator = QStringLiteral("\r\n\r\n\r\n\r");

// Rows of the window in twips.
constexpr double ToTop = 600, SubjectTop = 1020, AttachTop = 1440, BodyTop = 1900;
constexpr double FieldLeft = 1080, AttachButtonWidth = 700, BodyLeft = 60;
} // namespace

BackForm::BackForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("BackForm"));
  setWindowTitle(QStringLiteral("返事を書く"));

  Command1 = named(new QPushButton(QStringLiteral("ホーム"), this), "Command1");
  Command2 = named(new QPushButton(QStringLiteral("送信"), this), "Command2");
  Command3 = named(new QPushButton(QStringLiteral("送信中止"), this), "Command3");
  Command4 = named(new QPushButton(QStringLiteral("本文に貼付"), this), "Command4");
  ToLabel = named(new QLabel(QStringLiteral("宛先"), this), "ToLabel");
  ToText = named(new QLineEdit(this), "ToText");
  ToLabel->setBuddy(ToText);
  SubjectLabel = named(new QLabel(QStringLiteral("題名"), this), "SubjectLabel");
  SubjectText = named(new QLineEdit(this), "SubjectText");
  SubjectLabel->setBuddy(SubjectText);
  AttachLabel = named(new QLabel(QStringLiteral("添付File"), this), "AttachLabel");
  AttachText = named(new QLineEdit(this), "AttachText");
  AttachLabel->setBuddy(AttachText);
  AttachCommand = named(new QPushButton(QStringLiteral("添付"), this), "AttachCommand");
  Command9 = named(new QPushButton(QStringLiteral("追加"), this), "Command9");
  Command10 = named(new QPushButton(QStringLiteral("取り消し"), this), "Command10");
  BodyText = named(new QTextEdit(this), "BodyText");
  BodyText->setAccessibleName(QStringLiteral("本文"));
  BodyText->setAcceptRichText(false);
  // The attachment list opens over the top of the body.
  List2 = named(new QListWidget(this), "List2");
  List2->setAccessibleName(QStringLiteral("添付ファイル一覧"));

  using platform::setTwipsGeometry;
  setTwipsGeometry(Command1, 120, 120, 1215, 375);
  setTwipsGeometry(Command2, 1560, 120, 1215, 375);
  setTwipsGeometry(Command3, 3000, 120, 1215, 375);
  setTwipsGeometry(Command4, 4440, 120, 1215, 375);
  setTwipsGeometry(ToLabel, 120, ToTop + 30, 900, 255);
  setTwipsGeometry(ToText, FieldLeft, ToTop, 5000, 330);
  setTwipsGeometry(SubjectLabel, 120, SubjectTop + 30, 900, 255);
  setTwipsGeometry(SubjectText, FieldLeft, SubjectTop, 5000, 330);
  setTwipsGeometry(AttachLabel, 120, AttachTop + 30, 900, 255);
  setTwipsGeometry(AttachText, FieldLeft, AttachTop, 2800, 330);
  setTwipsGeometry(AttachCommand, 4040, AttachTop, AttachButtonWidth, 330);
  setTwipsGeometry(Command9, 4860, AttachTop, AttachButtonWidth, 330);
  setTwipsGeometry(Command10, 5740, AttachTop, 900, 330);
  setTwipsGeometry(List2, FieldLeft, 1800, 5000, 700);
  setTwipsGeometry(BodyText, BodyLeft, BodyTop, 7000, 5000);
  resize(platform::twipsToPixelsX(7200), platform::twipsToPixelsY(7200));
  platform::showTextFromStart(this);

  attachments_.emplace(this, AttachText, AttachCommand, Command9, Command10, List2);
  connect(Command1, &QPushButton::clicked, this, &BackForm::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &BackForm::Command2_Click);
  connect(Command3, &QPushButton::clicked, this, &BackForm::Command3_Click);
  connect(Command4, &QPushButton::clicked, this, &BackForm::Command4_Click);
  connect(AttachCommand, &QPushButton::clicked, this, &BackForm::AttachCommand_Click);
  connect(Command9, &QPushButton::clicked, this, &BackForm::Command9_Click);
  connect(Command10, &QPushButton::clicked, this, &BackForm::Command10_Click);
}

// "追加" stays usable from the start here, unlike in the compose window.
void BackForm::Form_Load() {
  platform::setTwipsGeometry(AttachText, FieldLeft, AttachTop, 2800, 330);
  List2->hide();
}

void BackForm::Form_Resize() {
  using platform::setTwipsGeometry;
  const double w = platform::pixelsToTwipsX(width());
  const double h = platform::pixelsToTwipsY(height());
  setTwipsGeometry(BodyText, BodyLeft, BodyTop, 0.99 * w, 0.74 * h);
  setTwipsGeometry(ToText, FieldLeft, ToTop, 0.7 * w, 330);
  setTwipsGeometry(SubjectText, FieldLeft, SubjectTop, 0.7 * w, 330);
  const double attachWidth = 0.4 * w;
  setTwipsGeometry(AttachText, FieldLeft, AttachTop, attachWidth, 330);
  setTwipsGeometry(AttachCommand, attachWidth + 1240, AttachTop, AttachButtonWidth, 330);
  setTwipsGeometry(Command9, attachWidth + 2060, AttachTop, AttachButtonWidth, 330);
  setTwipsGeometry(Command10, attachWidth + 2940, AttachTop, 900, 330);
}

void BackForm::resizeEvent(QResizeEvent *event) {
  QWidget::resizeEvent(event);
  Form_Resize();
}

void BackForm::Command1_Click() {
  forms::backForm().unload();
}

// Nothing is recorded in the sent history. The window closes once the
// transport has taken the mail; a refused mail stays in it, as typed, to be
// corrected and sent again.
void BackForm::Command2_Click() {
  // A click while the server takes the mail would send it twice.
  if (compose::sendRunning())
    return;
  if (compose::refuseWhileReceiving(this))
    return;
  const compose::SendGuard sending;
  const nmail::AnsweringMail answering(AnsweredHeader);
  const int result = mail::sendAskingAboutTrust(this, [this] {
    return nmail::NMailSmtpSendMail(settings::SmtpServer, ToText->text(), QString(), QString(),
                                    settings::MailAddress, SubjectText->text(),
                                    BodyText->toPlainText(), QString(), AttachText->text(), 0);
  });
  if (result >= 0 && !mail::keepSentOriginal(nmail::lastSentMail(), nullptr))
    platform::messageBox(this, mail::SentCopyFailureText, QString(), platform::MsgButtons::Ok,
                         platform::MsgIcon::Exclamation);
  if (result < 0) {
    platform::messageBox(this, nmail::lastErrorText(), QStringLiteral("送信エラー"));
    return;
  }
  forms::backForm().unload();
}

void BackForm::Command3_Click() {
  platform::SwitchWindow(platform::mainWindow(), this);
}

// The answered body is the received mail the viewer showed last (the
// received record buffer), not what the body box holds now.
void BackForm::Command4_Click() {
  BodyText->setPlainText(platform::clipboardText() + PasteSeparator +
                         platform::trimBlanks(mail::ReceivedRecord.Body));
  const QString combined = BodyText->toPlainText();
  platform::clearClipboard();
  platform::setClipboardText(combined);
  // A clipboard that can't be read back must not wipe the body.
  const QString back = platform::clipboardText();
  BodyText->setPlainText(platform::trimBlanks(back.isEmpty() ? combined : back));
}

void BackForm::AttachCommand_Click() {
  attachments_->AttachCommand_Click();
}
void BackForm::Command9_Click() {
  attachments_->Command9_Click();
  List2->raise();
}
void BackForm::Command10_Click() {
  attachments_->Command10_Click();
}

namespace forms {
platform::FormSlot<BackForm> &backForm() {
  static platform::FormSlot<BackForm> slot;
  return slot;
}
} // namespace forms

namespace compose {
void openReply(QWidget *viewer, const QString &subject, const QString &to, const QString &body,
               const QString &original) {
  BackForm *f = forms::backForm().get();
  f->AnsweredHeader.clear();
  QFile file(original);
  if (!original.isEmpty() && file.open(QIODevice::ReadOnly)) {
    // A header block is a few kilobytes; what lies past this is body.
    constexpr qint64 MostHeader = 256 * 1024;
    const QByteArray head = file.read(MostHeader);
    const qsizetype end = head.indexOf("\n\r\n") >= 0 ? head.indexOf("\n\r\n") : head.indexOf("\n\n");
    f->AnsweredHeader = end >= 0 ? head.left(end + 1) : head;
  }
  f->SubjectText->setText(subject);
  f->ToText->setText(to);
  f->BodyText->setPlainText(body);
  platform::SwitchWindow(f, viewer);
}
} // namespace compose
