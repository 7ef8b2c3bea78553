#!/usr/bin/env bash
# Real mail servers that take OAuth 2.0 access tokens only, on 127.0.0.1 on
# free ports, for the sign-in tests.
#
#   oauthserver.py : a small authorization server (authorize with PKCE S256,
#                    token for codes and refresh tokens, introspection,
#                    revocation, and test switches: expire a token, set the
#                    lifetime of new ones, count requests)
#   Dovecot        : POP3 with STLS reached through proxyfront.py (a relay that
#                    hands Dovecot a PROXY header: on loopback Dovecot would
#                    count the client as secure and offer SASL before STLS),
#                    and POP3S; SASL OAUTHBEARER and XOAUTH2 checked by the
#                    oauth2 passdb against the introspection endpoint. alice
#                    has no password at all; no auth cache, so a revoked token
#                    stops working at once.
#   Postfix        : submission (STARTTLS required, AUTH through Dovecot SASL
#                    on the same passdb), delivering through Dovecot LMTP.
#
# usage (as root):
#   oauthservers.sh start DIR      start everything, write DIR/env
#   oauthservers.sh stop DIR       stop what DIR's start started (by pid)
#   oauthservers.sh seed DIR USER FILE...   drop raw messages into USER's maildir
#   oauthservers.sh clear DIR USER
#
# DIR/env holds KEY=VALUE lines: HOST, TOKEN_URL (the authorization server's
# base URL), CLIENT_ID, POP3_PORT (STLS, remote-like), POP3S_PORT,
# SUBMISSION_PORT, CA_CERT, CERT_SHA256, USERS, DOMAIN, MAILDIR_ROOT, SCRIPT.
#
# What it shares with mailservers.sh (the state folder, starting and
# stopping by pid, the configuration both use) is in common.sh.
set -euo pipefail

ME=oauthservers.sh
STATE_PREFIX=korvex-oauth
CHECK_COMMANDS=
USERS="alice bob"
CLIENT=korvex-test
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"

own_paths() {
  TPID=$V/token/server.pid
  FPID=$V/front/front.pid
}
pick_ports() {
  read -r TOKEN_PORT POP3_PORT POP3H_PORT POP3S_PORT SUBMISSION_PORT <<<"$(free_ports 5)"
}
ports() { echo "$POP3_PORT $POP3S_PORT $SUBMISSION_PORT"; }

write_configs() {
  local secret
  # shellcheck disable=SC2086 # the user names, one word each
  make_state $USERS
  mkdir -p "$V"/{token,front}
  # Dovecot's own credentials for the introspection endpoint.
  secret=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
  ( umask 077; echo "dovecot-korvex:$secret" >"$E/introspect-client" )
  put "$E/dovecot/dovecot-oauth2.conf.ext" <<EOF
introspection_mode = post
introspection_url = http://127.0.0.1:$TOKEN_PORT/introspect
client_id = dovecot-korvex
client_secret = $secret
username_attribute = username
username_format = %Ln
active_attribute = active
active_value = true
timeout_msecs = 5000
EOF
  chmod 640 "$E/dovecot/dovecot-oauth2.conf.ext"; chgrp dovecot "$E/dovecot/dovecot-oauth2.conf.ext"
  dovecot_conf korvex-oauth "# Tokens count as plaintext credentials: offered and taken only over TLS.
disable_plaintext_auth = yes
haproxy_trusted_networks = 127.0.0.1
auth_mechanisms = xoauth2 oauthbearer
# No auth cache: a revoked token must stop working at once.
auth_cache_size = 0
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $E/dovecot/dovecot-oauth2.conf.ext
}
$(dovecot_userdb allow_all_users=yes)
service pop3-login {
  # Dovecot's built-in listener on port 110 stays shut: two runs at once
  # would both want it.
  inet_listener pop3 {
    port = 0
  }
  inet_listener pop3-haproxy {
    address = 127.0.0.1
    port = $POP3H_PORT
    haproxy = yes
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $POP3S_PORT
    ssl = yes
  }
}"
  postfix_conf korvex-oauth-test "# An AUTH line longer than this is cut: a long token must follow the 334 prompt.
line_length_limit = 2048" "127.0.0.1:$SUBMISSION_PORT inet n - n - - smtpd
  -o syslog_name=korvex/submission
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sasl_security_options=noanonymous
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject"
}

launch() {
  rm -f "$TPID" "$FPID"
  ( cd "$V/token" && setsid -f python3 "$HERE/oauthserver.py" --port "$TOKEN_PORT" \
      --log "$V/log/oauthserver.log" --pidfile "$TPID" --clients "$CLIENT" --users "$USERS" \
      --domain $DOM --introspect-client "@$E/introspect-client" </dev/null >>"$V/log/oauthserver.err" 2>&1 )
  ( cd "$V/front" && setsid -f python3 "$HERE/proxyfront.py" --port "$POP3_PORT" --backend "$POP3H_PORT" \
      --pidfile "$FPID" </dev/null >>"$V/log/proxyfront.err" 2>&1 )
  start_dovecot_postfix &&
    wait_ports up "$TOKEN_PORT" "$POP3_PORT" "$POP3H_PORT" "$POP3S_PORT" "$SUBMISSION_PORT"
}
stop_all() {
  stop_dovecot_postfix
  stop_one proxyfront "$FPID" python3 "$V/front"
  stop_one oauthserver "$TPID" python3 "$V/token"
}

write_env() {
  cat <<EOF
TOKEN_URL=http://127.0.0.1:$TOKEN_PORT
CLIENT_ID=$CLIENT
POP3_PORT=$POP3_PORT
POP3S_PORT=$POP3S_PORT
SUBMISSION_PORT=$SUBMISSION_PORT
EOF
}
started() {
  echo "oauth servers up: token $TOKEN_PORT pop3 $POP3_PORT pop3s $POP3S_PORT submission $SUBMISSION_PORT"
}

main "$@"
