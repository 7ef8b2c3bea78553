#include "main/lib/accountprovider.h"

#include "mail/net/nmail.h"
#include "settings/config.h"
#include "settings/oauthsignin.h"

namespace korvex {

void installAccountProvider(std::function<bool()> unattended) {
  nmail::setSmtpAccountProvider([unattended] {
    const settings::Account account = settings::accountInUse();
    nmail::SmtpAccount out{account.id, account.password, {}};
    if (account.signsInWithToken)
      out.accessToken = [unattended](bool renew) {
        const bool mayAsk = !(unattended && unattended());
        const settings::oauth::TokenResult r = settings::oauth::accessToken(renew, mayAsk);
        return nmail::AccessToken{r.token, r.error};
      };
    return out;
  });
}

} // namespace korvex
