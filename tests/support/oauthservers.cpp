#include "tests/support/oauthservers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace testsupport {

namespace {

QString &lastError() {
  static QString text;
  return text;
}

std::pair<int, QByteArray> http(const QString &method, const QUrl &url, const QByteArray &form) {
  // One manager for the test's life: Qt's HTTP connections outlive a
  // manager that made them.
  static QNetworkAccessManager manager;
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::ContentTypeHeader,
                    QByteArrayLiteral("application/x-www-form-urlencoded"));
  request.setTransferTimeout(10000);
  QNetworkReply *reply = method == QLatin1String("GET") ? manager.get(request)
                                                         : manager.post(request, form);
  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  loop.exec();
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QByteArray body = reply->readAll();
  reply->deleteLater();
  return {status, body};
}

} // namespace

std::optional<OAuthServers> OAuthServers::load() {
  lastError().clear();
  const QString dir = qEnvironmentVariable("KORVEX_OAUTH_SERVERS_DIR");
  if (dir.isEmpty()) {
    lastError() = QStringLiteral("KORVEX_OAUTH_SERVERS_DIR is not set: register the test with "
                                 "korvex_test(... OAUTH) or run tests/servers/oauthservers.sh start DIR");
    return std::nullopt;
  }
  QFile file(dir + QStringLiteral("/env"));
  if (!file.open(QIODevice::ReadOnly)) {
    lastError() = QStringLiteral("cannot read %1").arg(file.fileName());
    return std::nullopt;
  }
  QHash<QString, QString> env;
  for (const QByteArray &raw : file.readAll().split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq > 0) {
      QString value = line.mid(eq + 1);
      if (value.size() >= 2 && value.startsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
      env.insert(line.left(eq), value);
    }
  }
  OAuthServers s;
  s.dir = dir;
  s.tokenUrl = env.value(QStringLiteral("TOKEN_URL"));
  s.clientId = env.value(QStringLiteral("CLIENT_ID"));
  s.pop3Port = env.value(QStringLiteral("POP3_PORT")).toInt();
  s.pop3sPort = env.value(QStringLiteral("POP3S_PORT")).toInt();
  s.submissionPort = env.value(QStringLiteral("SUBMISSION_PORT")).toInt();
  s.certSha256 = env.value(QStringLiteral("CERT_SHA256"));
  s.domain = env.value(QStringLiteral("DOMAIN"));
  s.maildirRoot = env.value(QStringLiteral("MAILDIR_ROOT"));
  s.script = env.value(QStringLiteral("SCRIPT"));
  if (s.tokenUrl.isEmpty() || !s.pop3Port || !s.submissionPort) {
    lastError() = QStringLiteral("incomplete %1").arg(file.fileName());
    return std::nullopt;
  }
  return s;
}

QString OAuthServers::loadError() {
  return lastError();
}

QString OAuthServers::pop3Server() const {
  return QStringLiteral("127.0.0.1:%1#sha256=%2").arg(pop3Port).arg(certSha256);
}
QString OAuthServers::pop3sServer() const {
  return QStringLiteral("pop3s://127.0.0.1:%1#sha256=%2").arg(pop3sPort).arg(certSha256);
}
QString OAuthServers::submissionServer() const {
  return QStringLiteral("127.0.0.1:%1#sha256=%2").arg(submissionPort).arg(certSha256);
}

std::pair<int, QByteArray> OAuthServers::post(const QString &path, const QByteArray &form) const {
  return http(QStringLiteral("POST"), QUrl(tokenUrl + path), form);
}

std::optional<IssuedTokens> OAuthServers::issue(const QString &user, int length) const {
  const auto [status, body] =
      post(QStringLiteral("/test/issue"), "user=" + user.toUtf8() + "&client_id=" + clientId.toUtf8() +
                                              "&length=" + QByteArray::number(length));
  if (status != 200)
    return std::nullopt;
  const QJsonObject o = QJsonDocument::fromJson(body).object();
  return IssuedTokens{o.value(QStringLiteral("access_token")).toString().toLatin1(),
                      o.value(QStringLiteral("refresh_token")).toString().toLatin1(),
                      o.value(QStringLiteral("expires_in")).toInt()};
}

bool OAuthServers::expire(const QByteArray &accessToken) const {
  const auto [status, body] = post(QStringLiteral("/test/expire"),
                                   "token=" + QUrl::toPercentEncoding(QString::fromLatin1(accessToken)));
  return status == 200 && body.contains("true");
}

bool OAuthServers::revoke(const QByteArray &token) const {
  return post(QStringLiteral("/revoke"),
              "token=" + QUrl::toPercentEncoding(QString::fromLatin1(token)))
             .first == 200;
}

bool OAuthServers::setAccessTokenLifetime(int seconds) const {
  return post(QStringLiteral("/test/config"), "access_ttl=" + QByteArray::number(seconds)).first ==
         200;
}

QJsonObject OAuthServers::state() const {
  const auto [status, body] = http(QStringLiteral("GET"), QUrl(tokenUrl + QStringLiteral("/test/state")), {});
  return status == 200 ? QJsonDocument::fromJson(body).object() : QJsonObject();
}

int OAuthServers::requests(const QString &what) const {
  return state().value(QStringLiteral("requests")).toObject().value(what).toInt(-1);
}

bool OAuthServers::seed(const QString &user, const QByteArray &message) const {
  QTemporaryDir tmp;
  QFile f(tmp.filePath(QStringLiteral("m")));
  if (!f.open(QIODevice::WriteOnly) || f.write(message) != message.size())
    return false;
  f.close();
  return QProcess::execute(QStringLiteral("bash"),
                           {script, QStringLiteral("seed"), dir, user, f.fileName()}) == 0;
}

bool OAuthServers::clear(const QString &user) const {
  return QProcess::execute(QStringLiteral("bash"), {script, QStringLiteral("clear"), dir, user}) == 0;
}

int OAuthServers::messageCount(const QString &user) const {
  const QString md = maildirRoot + QLatin1Char('/') + user + QStringLiteral("/Maildir/");
  return int(QDir(md + QStringLiteral("new")).entryList(QDir::Files).size() +
             QDir(md + QStringLiteral("cur")).entryList(QDir::Files).size());
}

bool OAuthServers::waitForMessages(const QString &user, int count, int timeoutMs) const {
  QDeadlineTimer deadline(timeoutMs);
  while (messageCount(user) < count) {
    if (deadline.hasExpired())
      return false;
    QThread::msleep(25);
  }
  return true;
}

} // namespace testsupport
