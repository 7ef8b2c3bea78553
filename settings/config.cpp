#include "settings/config.h"
#include "platform/core/replacefile.h"

#include "settings/oauthsettings.h"

#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/core/profile.h"
#include "settings/serverfile.h"

#include <QFile>
#include "platform/core/privatefiles.h"


namespace settings {

QString SmtpServer;
QString Pop3Server;
QString MailAddress;
qint16 UseApop = 0;
QString AccountId;
QString AccountPassword;
bool AccountInMemoryOnly = false;

namespace {
constexpr char16_t ProfileSection[] = u"EXEINI";
// The Windows program read the profile with a 256-byte buffer.
constexpr int ProfileBufferSize = 256;
} // namespace

QString serverSettingsPath() {
  return platform::programFile(QStringLiteral("qelmar.ini"));
}

QString accountProfilePath() {
  return platform::dataFile(QStringLiteral("iniIdPass.ini"));
}

void LoadServerSettings() {
  QFile file(serverSettingsPath());
  if (!file.exists() || !file.open(QIODevice::ReadOnly))
    return;
  ServerSettings values{SmtpServer, Pop3Server, MailAddress, UseApop};
  applyServerFile(file.readAll(), values);
  SmtpServer = values.smtp;
  Pop3Server = values.pop3;
  MailAddress = values.mail;
  UseApop = values.apop;
}

bool SaveServerSettings() {
  const std::optional<QByteArray> bytes =
      serverFileBytes({SmtpServer, Pop3Server, MailAddress, UseApop});
  if (!bytes)
    return false;
  // Written beside the old file and renamed over it, so a failed write never
  // leaves a half-written qelmar.ini behind.
  return platform::replaceFile(serverSettingsPath(), *bytes);
}

QString ReadAccountKey(const QString &key) {
  return platform::getPrivateProfileString(QString::fromUtf16(ProfileSection), key, QString(),
                                           ProfileBufferSize, accountProfilePath());
}

Account accountInUse() {
  const bool token = oauth::signsInWithToken();
  Account stored{ReadAccountKey(QStringLiteral("NAME")), ReadAccountKey(QStringLiteral("NAME2")),
                 token};
  if (stored.password.isEmpty() && AccountInMemoryOnly && !AccountPassword.isEmpty())
    return Account{AccountId, AccountPassword, token};
  return stored;
}

bool WriteAccountKey(const QString &key, const QString &value) {
  // The program never creates its data folder; without it there is nowhere
  // to keep the account.
  if (!platform::dataFolderExists())
    return false;
  // A character CP932 lacks would be stored as "?": a password that no
  // longer matches. Better to store nothing and say so.
  if (!platform::fitsAnsi(value))
    return false;
  // The file holds the password in plain text; the profile writer keeps it
  // (and every other profile) to its owner, an older readable one included.
  return platform::writePrivateProfileString(QString::fromUtf16(ProfileSection), key, value,
                                             accountProfilePath());
}

} // namespace settings
