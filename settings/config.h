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

} // namespace settings
