#include "tests/support/servers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>

namespace testsupport {

namespace {

QString &lastLoadError() {
  static QString text;
  return text;
}

// KEY=VALUE lines as the script writes them; values may be double-quoted.
QHash<QString, QString> readEnvFile(const QString &path, QString *error) {
  QHash<QString, QString> values;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    return values;
  }
  for (const QByteArray &rawLine : file.readAll().split('\n')) {
    const QString line = QString::fromUtf8(rawLine).trimmed();
    const int eq = line.indexOf(QLatin1Char('='));
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || eq <= 0)
      continue;
    QString value = line.mid(eq + 1);
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
      value = value.mid(1, value.size() - 2);
    values.insert(line.left(eq), value);
  }
  return values;
}

} // namespace

std::optional<MailServers> MailServers::load() {
  QString &error = lastLoadError();
  error.clear();
  const QString dir = qEnvironmentVariable("KORVEX_SERVERS_DIR");
  if (dir.isEmpty()) {
    error =
        QStringLiteral("KORVEX_SERVERS_DIR is not set: register the test with "
                       "korvex_test(... SERVERS) or run tests/servers/mailservers.sh start DIR");
    return std::nullopt;
  }
  const auto env = readEnvFile(dir + QStringLiteral("/env"), &error);
  if (!error.isEmpty())
    return std::nullopt;

  MailServers s;
  s.dir = dir;
  s.host = env.value(QStringLiteral("HOST"), QStringLiteral("127.0.0.1"));
  bool ok = true;
  auto port = [&](const char *key) {
    bool good = false;
    const int p = env.value(QLatin1String(key)).toInt(&good);
    if (!good || p <= 0 || p > 65535) {
      ok = false;
      error += QStringLiteral("%1 missing or bad in env; ").arg(QLatin1String(key));
    }
    return p;
  };
  s.pop3Port = port("POP3_PORT");
  s.pop3sPort = port("POP3S_PORT");
  s.smtpPort = port("SMTP_PORT");
  s.submissionPort = port("SUBMISSION_PORT");
  s.smtpsPort = port("SMTPS_PORT");
  s.caCert = env.value(QStringLiteral("CA_CERT"));
  s.certSha256 = env.value(QStringLiteral("CERT_SHA256")).toLower();
  s.domain = env.value(QStringLiteral("DOMAIN"));
  s.maildirRoot = env.value(QStringLiteral("MAILDIR_ROOT"));
  s.script = env.value(QStringLiteral("SCRIPT"));
  for (const QString &pair :
       env.value(QStringLiteral("USERS")).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    const int colon = pair.indexOf(QLatin1Char(':'));
    if (colon <= 0)
      continue;
    const QString name = pair.left(colon);
    s.users.append({name, pair.mid(colon + 1), name + QLatin1Char('@') + s.domain});
  }
  s.popa3dPort = env.value(QStringLiteral("POPA3D_PORT")).toInt();
  s.popa3dUser = {env.value(QStringLiteral("POPA3D_USER")),
                  env.value(QStringLiteral("POPA3D_PASSWORD")), QString()};
  s.popa3dMbox = env.value(QStringLiteral("POPA3D_MBOX"));
  if (s.users.isEmpty() || s.maildirRoot.isEmpty() || s.script.isEmpty() ||
      s.certSha256.size() != 64) {
    ok = false;
    error += QStringLiteral("USERS, MAILDIR_ROOT, SCRIPT or CERT_SHA256 missing in env");
  }
  if (!ok)
    return std::nullopt;
  return s;
}

QString MailServers::loadError() {
  return lastLoadError();
}

QString MailServers::pop3Server() const {
  return host + QLatin1Char(':') + QString::number(pop3Port);
}
QString MailServers::pop3sServer() const {
  return QStringLiteral("pop3s://") + host + QLatin1Char(':') + QString::number(pop3sPort);
}
QString MailServers::smtpServer() const {
  return host + QLatin1Char(':') + QString::number(smtpPort);
}
QString MailServers::submissionServer() const {
  return host + QLatin1Char(':') + QString::number(submissionPort);
}

QString MailServers::smtpsServer() const {
  return QStringLiteral("smtps://") + host + QLatin1Char(':') + QString::number(smtpsPort);
}

QString MailServers::popa3dServer() const {
  return host + QLatin1Char(':') + QString::number(popa3dPort);
}

bool MailServers::setPopa3dMailbox(const QList<QByteArray> &messages) const {
  QByteArray mbox;
  for (const QByteArray &m : messages) {
    mbox += "From korvex@example.jp Mon Dec  7 09:05:00 2026\n";
    QByteArray text = m;
    text.replace("\r\n", "\n");
    for (const QByteArray &line : text.split('\n')) {
      // mboxrd: a body line that looks like a separator gets one more '>'.
      QByteArray l = line;
      qsizetype i = 0;
      while (i < l.size() && l[i] == '>')
        ++i;
      if (l.mid(i).startsWith("From "))
        l.prepend('>');
      mbox += l + '\n';
    }
    if (!mbox.endsWith("\n\n"))
      mbox += '\n';
  }
  // Rewritten in place: the file keeps the owner and mode popa3d needs.
  QFile file(popa3dMbox);
  return !popa3dMbox.isEmpty() && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(mbox) == mbox.size();
}

int MailServers::popa3dMessageCount() const {
  QFile file(popa3dMbox);
  if (!file.open(QIODevice::ReadOnly))
    return -1;
  int n = 0;
  const QByteArray all = file.readAll();
  for (const QByteArray &line : all.split('\n'))
    n += line.startsWith("From ") ? 1 : 0;
  return n;
}

MailUser MailServers::user(const QString &name) const {
  for (const MailUser &u : users)
    if (u.name == name)
      return u;
  return {};
}

bool MailServers::runScript(const QStringList &args) const {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(QStringLiteral("bash"), QStringList{script} + args);
  if (!p.waitForFinished(30000)) {
    p.kill();
    p.waitForFinished(5000);
    qWarning("mailservers.sh %s did not finish", qPrintable(args.join(QLatin1Char(' '))));
    return false;
  }
  if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    qWarning("mailservers.sh %s: %s", qPrintable(args.join(QLatin1Char(' '))),
             p.readAll().constData());
    return false;
  }
  return true;
}

bool MailServers::seed(const QString &userName, const QByteArray &message) const {
  return seed(userName, QList<QByteArray>{message});
}

bool MailServers::seed(const QString &userName, const QList<QByteArray> &messages) const {
  QTemporaryDir tmp;
  if (!tmp.isValid())
    return false;
  QStringList args{QStringLiteral("seed"), dir, userName};
  for (qsizetype i = 0; i < messages.size(); ++i) {
    QFile file(tmp.filePath(QString::number(i)));
    if (!file.open(QIODevice::WriteOnly) || file.write(messages[i]) != messages[i].size())
      return false;
    args << file.fileName();
  }
  return runScript(args);
}

bool MailServers::clear(const QString &userName) const {
  return runScript({QStringLiteral("clear"), dir, userName});
}

QString MailServers::maildir(const QString &userName) const {
  return maildirRoot + QLatin1Char('/') + userName + QStringLiteral("/Maildir");
}

QList<QByteArray> MailServers::messages(const QString &userName) const {
  QFileInfoList files;
  for (const char *sub : {"/new", "/cur"})
    files += QDir(maildir(userName) + QLatin1String(sub)).entryInfoList(QDir::Files);
  // Maildir names start with the delivery time in seconds, then a unique part.
  std::sort(files.begin(), files.end(), [](const QFileInfo &a, const QFileInfo &b) {
    return a.lastModified() != b.lastModified() ? a.lastModified() < b.lastModified()
                                                : a.fileName() < b.fileName();
  });
  QList<QByteArray> out;
  for (const QFileInfo &info : files) {
    QFile f(info.filePath());
    if (f.open(QIODevice::ReadOnly))
      out.append(f.readAll());
  }
  return out;
}

int MailServers::messageCount(const QString &userName) const {
  int n = 0;
  for (const char *sub : {"/new", "/cur"})
    n += QDir(maildir(userName) + QLatin1String(sub)).entryList(QDir::Files).size();
  return n;
}

bool MailServers::waitForMessages(const QString &userName, int count, int timeoutMs) const {
  QDeadlineTimer deadline(timeoutMs);
  while (messageCount(userName) < count) {
    if (deadline.hasExpired())
      return false;
    QThread::msleep(50); // a file system poll; nothing here can signal delivery
  }
  return true;
}

} // namespace testsupport
