// The account of the sign-in tests: alice's own provider as a user fills in
// "その他", signing in with the browser against the authorization server of
// tests/servers/oauthservers.sh.
#pragma once

namespace testsupport {
class OAuthServers;
}

// Saves it as the account in use; false when it could not be written.
[[nodiscard]] bool saveCustomOAuthAccount(const testsupport::OAuthServers &servers);
