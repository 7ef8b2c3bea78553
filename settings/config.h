// Server settings (qelmar.ini in the program folder) and the account profile
// (iniIdPass.ini in the data folder). Program-wide values, one instance each.
#pragma once

#include <QString>

namespace settings {

extern QString SmtpServer;
extern QString Pop3Server;
extern QString MailAddress;
extern qint16 UseApop;
extern QString AccountId;
extern QString AccountPassword;

QString serverSettingsPath(); // qelmar.ini
QString accountProfilePath(); // ★MailData\iniIdPass.ini

void LoadServerSettings();
bool SaveServerSettings();

// Section EXEINI of the account profile; "" when missing. 256-byte buffer.
QString ReadAccountKey(const QString &key);
bool WriteAccountKey(const QString &key, const QString &value);

// Set when the account dialog was confirmed without "IDパスワードを保存する":
// the password lives in AccountId/AccountPassword only, for this run.
extern bool AccountInMemoryOnly;

// The account a check or a send uses: the stored one, or, when no password
// is stored and the user chose not to keep it on disk, the one confirmed in
// the account dialog during this run.
struct Account {
  QString id;
  QString password;
  // The account signs in with OAuth 2.0 (in the browser or by a token
  // command, see oauthsettings.h): no password is needed, and none is sent.
  bool signsInWithToken = false;
};
Account accountInUse();

} // namespace settings
