// The account the transport logs in with, read afresh at every login and
// send: the user ID and password of the account profile, and, for an
// account that signs in with OAuth 2.0, its token source.
#pragma once

#include <functional>

namespace korvex {

// `unattended` says whether the login in progress belongs to the scheduled
// check: then no question is asked and no browser opens; a sign-in that is
// needed makes the check fail, and the next click of "受信" offers it.
void installAccountProvider(std::function<bool()> unattended);

} // namespace korvex
