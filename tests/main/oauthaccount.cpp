#include "tests/main/oauthaccount.h"

#include "settings/oauthsettings.h"
#include "tests/support/oauthservers.h"

bool saveCustomOAuthAccount(const testsupport::OAuthServers &servers) {
  namespace oauth = settings::oauth;
  oauth::AccountSettings account;
  account.method = oauth::Method::Browser;
  account.preset = QStringLiteral("custom");
  account.authorizationUrl = servers.tokenUrl + QStringLiteral("/authorize");
  account.tokenUrl = servers.tokenUrl + QStringLiteral("/token");
  account.scope = QStringLiteral("mail");
  account.clientId = servers.clientId;
  return oauth::save(account);
}
