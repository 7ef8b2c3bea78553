#include "main/lib/application.h"

#include "mail/net/nmail.h"
#include "main/lib/accountprovider.h"
#include "main/lib/mainform.h"
#include "platform/core/privatefiles.h"
#include "platform/core/singleinstance.h"
#include "platform/messagebox.h"
#include "settings/config.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

namespace korvex {

namespace {

// Every text of the program is Japanese; a default font without kana would
// show boxes wherever the system has no fallback configured.
void useJapaneseFont(QApplication &app) {
  const QStringList preferred = {QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP"),
                                 QStringLiteral("IPAexGothic"),      QStringLiteral("IPAGothic"),
                                 QStringLiteral("VL Gothic"),        QStringLiteral("TakaoGothic"),
                                 QStringLiteral("Noto Sans Mono CJK JP")};
  const QStringList families = QFontDatabase::families(QFontDatabase::Japanese);
  for (const QString &want : preferred) {
    if (families.contains(want, Qt::CaseInsensitive)) {
      QFont font = app.font();
      font.setFamily(want);
      app.setFont(font);
      return;
    }
  }
  if (!families.isEmpty()) {
    QFont font = app.font();
    font.setFamily(families.constFirst());
    app.setFont(font);
  }
}

} // namespace

int runApplication(int argc, char **argv) {
  // Mail, passwords and the address book are no business of other local
  // users: whatever the program creates is the user's alone. The central
  // writers set the mode themselves as well; this covers every other file.
  platform::keepNewFilesPrivate();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Korvex"));
  useJapaneseFont(app);
  // Qt's own buttons and dialogs in Japanese, like the rest of the program.
  platform::useJapaneseQtTexts();

  // Two copies on one program folder would fetch and store the same mails.
  if (!platform::acquireInstanceLock()) {
    platform::messageBox(nullptr,
                         QStringLiteral("Korvex はすでに起動しています。同じフォルダのプログラムを二つ同時に起動することはできません。"),
                         {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    return 1;
  }

  // SMTP AUTH uses the POP3 account, read afresh from the profile at each
  // send; an OAuth 2.0 account brings its token to both.
  installAccountProvider([] { return forms::mainForm().loaded() && forms::mainForm().get()->unattended(); });

  MainForm *form = forms::mainForm().get();
  form->show();
  return app.exec();
}

} // namespace korvex
