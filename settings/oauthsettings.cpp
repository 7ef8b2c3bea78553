#include "settings/oauthsettings.h"
#include "platform/core/replacefile.h"

#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"
#include "platform/core/profile.h"

#include <QFile>
#include <QSettings>
#include <QUrl>

namespace settings::oauth {

namespace {

const QString Section = QStringLiteral("OAUTH");
constexpr int ValueBufferSize = 4096;

QString read(const QString &key) {
  return platform::getPrivateProfileString(Section, key, QString(), ValueBufferSize,
                                           settingsPath());
}

QString methodName(Method m) {
  switch (m) {
  case Method::Browser:
    return QStringLiteral("browser");
  case Method::Command:
    return QStringLiteral("command");
  case Method::Password:
    break;
  }
  return QStringLiteral("password");
}

bool isLoopback(const QUrl &url) {
  const QString host = url.host();
  return host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") ||
         host == QLatin1String("::1");
}

} // namespace

QString settingsPath() {
  return platform::dataFile(QStringLiteral("oauth.ini"));
}

QString refreshTokenPath() {
  return platform::dataFile(QStringLiteral("oauth-refresh-token"));
}

QString presetsPath() {
  return platform::programFile(QStringLiteral("oauth-presets.ini"));
}

AccountSettings load() {
  AccountSettings a;
  const QString method = read(QStringLiteral("Method")).toLower();
  if (method == QLatin1String("browser"))
    a.method = Method::Browser;
  else if (method == QLatin1String("command"))
    a.method = Method::Command;
  a.preset = read(QStringLiteral("Preset"));
  a.clientId = read(QStringLiteral("ClientId"));
  a.clientSecret = read(QStringLiteral("ClientSecret"));
  a.authorizationUrl = read(QStringLiteral("AuthorizationUrl"));
  a.tokenUrl = read(QStringLiteral("TokenUrl"));
  a.scope = read(QStringLiteral("Scope"));
  a.command = read(QStringLiteral("Command"));
  return a;
}

bool save(const AccountSettings &a) {
  if (!platform::dataFolderExists())
    return false;
  // The file is ANSI (CP932) like the rest of the folder: a character it
  // lacks would come back as "?", a command or id that no longer works.
  for (const QString &value : {a.preset, a.clientId, a.clientSecret, a.authorizationUrl, a.tokenUrl,
                               a.scope, a.command})
    if (!platform::fitsAnsi(value) || value.contains(QLatin1Char('\n')) ||
        value.contains(QLatin1Char('\r')))
      return false;
  const QString file = settingsPath();
  const auto put = [&](const char *key, const QString &value) {
    return platform::writePrivateProfileString(Section, QString::fromLatin1(key), value, file);
  };
  return put("Method", methodName(a.method)) && put("Preset", a.preset) &&
         put("ClientId", a.clientId) && put("ClientSecret", a.clientSecret) &&
         put("AuthorizationUrl", a.authorizationUrl) && put("TokenUrl", a.tokenUrl) &&
         put("Scope", a.scope) && put("Command", a.command);
}

bool signsInWithToken() {
  return load().method != Method::Password;
}

QList<Provider> presets() {
  QList<Provider> out;
  QSettings file(presetsPath(), QSettings::IniFormat);
  for (const QString &key : file.childGroups()) {
    if (key.compare(QLatin1String("custom"), Qt::CaseInsensitive) == 0)
      continue;
    file.beginGroup(key);
    Provider p;
    p.key = key;
    p.name = file.value(QStringLiteral("Name"), key).toString();
    p.authorizationUrl = file.value(QStringLiteral("AuthorizationUrl")).toString();
    p.tokenUrl = file.value(QStringLiteral("TokenUrl")).toString();
    // A value with spaces comes back whole only when quoted in the file;
    // QSettings splits an unquoted one at commas.
    p.scope = file.value(QStringLiteral("Scope")).toStringList().join(QLatin1Char(','));
    p.clientId = file.value(QStringLiteral("ClientId")).toString();
    p.clientSecret = file.value(QStringLiteral("ClientSecret")).toString();
    file.endGroup();
    out << p;
  }
  out << Provider{QStringLiteral("custom"), QStringLiteral("その他（自分で設定する）"), {}, {}, {}, {}, {}};
  return out;
}

Provider provider(const AccountSettings &a) {
  Provider p;
  for (const Provider &preset : presets())
    if (preset.key.compare(a.preset, Qt::CaseInsensitive) == 0)
      p = preset;
  if (p.key.isEmpty())
    p.key = QStringLiteral("custom");
  const auto over = [](QString &value, const QString &own) {
    if (!own.trimmed().isEmpty())
      value = own.trimmed();
  };
  over(p.authorizationUrl, a.authorizationUrl);
  over(p.tokenUrl, a.tokenUrl);
  over(p.scope, a.scope);
  over(p.clientId, a.clientId);
  over(p.clientSecret, a.clientSecret);
  return p;
}

QString providerProblem(const Provider &p) {
  if (p.clientId.isEmpty())
    return QStringLiteral("クライアントIDが設定されていません。");
  for (const QString &text : {p.authorizationUrl, p.tokenUrl}) {
    const QUrl url(text);
    if (text.isEmpty() || !url.isValid())
      return QStringLiteral("認可エンドポイントかトークンエンドポイントが設定されていません。");
    if (url.scheme() != QLatin1String("https") &&
        !(url.scheme() == QLatin1String("http") && isLoopback(url)))
      return QStringLiteral("エンドポイント %1 は https ではありません。"
                            "トークンは暗号化した接続でしか送りません。")
          .arg(text);
  }
  return {};
}

std::optional<StoredRefreshToken> readRefreshToken() {
  QFile f(refreshTokenPath());
  if (!f.open(QIODevice::ReadOnly))
    return std::nullopt;
  const QList<QByteArray> lines = f.read(64 * 1024).split('\n');
  if (lines.size() < 3 || lines.at(2).trimmed().isEmpty())
    return std::nullopt;
  return StoredRefreshToken{QString::fromUtf8(lines.at(0).trimmed()),
                            QString::fromUtf8(lines.at(1).trimmed()), lines.at(2).trimmed()};
}

bool writeRefreshToken(const StoredRefreshToken &stored) {
  if (!platform::dataFolderExists())
    return false;
  // Private before a byte of the token is in it.
  const QByteArray bytes = stored.tokenUrl.toUtf8() + '\n' + stored.clientId.toUtf8() + '\n' +
                           stored.token + '\n';
  return platform::replaceFile(refreshTokenPath(), bytes);
}

bool removeRefreshToken() {
  const QString path = refreshTokenPath();
  return !QFile::exists(path) || QFile::remove(path);
}

} // namespace settings::oauth
