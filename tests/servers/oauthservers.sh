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
set -euo pipefail

DOM=korvex.test
VUSER=korvexmail
USERS="alice bob"
CLIENT=korvex-test
HERE=$(cd "$(dirname "$0")" && pwd)

die() { echo "oauthservers.sh: $*" >&2; exit 1; }
alive() { local s; read -r _ _ s _ 2>/dev/null <"/proc/$1/stat" && [ "$s" != Z ]; }
pid_of() {        # pidfile comm cwd -> the pid when alive and really ours
  local pid; [ -s "$1" ] || return 1; pid=$(tr -dc 0-9 <"$1")
  [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = "$2" ] &&
    [ "$(readlink /proc/"$pid"/cwd 2>/dev/null)" = "$3" ] && alive "$pid" && echo "$pid"
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_ports() {    # up|down port... ; at most 10 s
  local want=$1 i p ok; shift
  for i in $(seq 400); do
    ok=1
    for p; do if port_open "$p"; then [ "$want" = up ] || ok=0; else [ "$want" = down ] || ok=0; fi; done
    [ $ok = 1 ] && return 0; sleep 0.025
  done
  return 1
}
free_ports() {
  python3 - "$1" <<'EOF'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
for s in socks: s.close()
EOF
}
put() { cat >"$1"; touch -d '3 seconds ago' "$1"; }   # Postfix waits ~2 s on a config "just" modified

paths() {
  D=$(mkdir -p "$1" && cd "$1" && pwd)
  LINK=$D/var
  V=$(readlink -f "$LINK" 2>/dev/null || echo /nonexistent)
  E=$V/etc
  DPID=$V/dovecot/run/master.pid
  PPID_F=$V/postfix/spool/pid/master.pid
  TPID=$V/token/server.pid
  FPID=$V/front/front.pid
}

write_configs() {
  local uid gid u secret
  uid=$(id -u $VUSER); gid=$(id -g $VUSER)
  mkdir -p "$E/dovecot" "$E/postfix" "$V"/{log,sock,tls,mail,token,front,dovecot,postfix/data,postfix/spool}
  chown postfix:postfix "$V/postfix/data"; chmod 700 "$V/postfix/data"
  for u in $USERS; do echo "$u@$DOM OK"; done | put "$E/postfix/vmailbox"
  for u in $USERS; do
    u="$V/mail/$u"; mkdir -p "$u/Maildir"/{cur,new,tmp}
    chown "$uid:$gid" "$u" "$u/Maildir" "$u/Maildir"/{cur,new,tmp}
  done
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$V/tls/key.pem" -out "$V/tls/cert.pem" 2>/dev/null || die "openssl could not make a certificate"
  chmod 600 "$V/tls/key.pem"; chmod 644 "$V/tls/cert.pem"
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
  put "$E/dovecot/dovecot.conf" <<EOF
# standalone: nothing from /etc/dovecot
base_dir = $V/dovecot/run
state_dir = $V/dovecot/state
instance_name = korvex-oauth-$(basename "$V")
log_path = $V/log/dovecot.log
protocols = pop3 lmtp
listen = 127.0.0.1
hostname = mail.$DOM
postmaster_address = postmaster@$DOM
ssl = yes
ssl_cert = <$V/tls/cert.pem
ssl_key = <$V/tls/key.pem
ssl_dh = </usr/share/dovecot/dh.pem
# Tokens count as plaintext credentials: offered and taken only over TLS.
disable_plaintext_auth = yes
haproxy_trusted_networks = 127.0.0.1
auth_mechanisms = xoauth2 oauthbearer
auth_username_format = %Ln
auth_failure_delay = 0
auth_verbose = yes
# No auth cache: a revoked token must stop working at once.
auth_cache_size = 0
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $E/dovecot/dovecot-oauth2.conf.ext
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$V/mail/%n allow_all_users=yes
}
first_valid_uid = $uid
last_valid_uid = $uid
mail_location = maildir:~/Maildir
protocol pop3 {
  mail_max_userip_connections = 50
}
service pop3-login {
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
}
service lmtp {
  unix_listener $V/sock/lmtp {
    user = postfix
    group = postfix
    mode = 0600
  }
}
# No growing delay after failed logins: the tests fail logins on purpose.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service auth {
  unix_listener $V/sock/auth {
    user = postfix
    group = postfix
    mode = 0600
  }
}
EOF
  put "$E/postfix/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $V/postfix/spool
data_directory = $V/postfix/data
mail_owner = postfix
setgid_group = postdrop
maillog_file = $V/log/postfix.log
maillog_file_prefixes = $V
myhostname = mail.$DOM
mydomain = $DOM
myorigin = $DOM
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.1/32
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
virtual_mailbox_domains = $DOM
virtual_mailbox_maps = texthash:$E/postfix/vmailbox
virtual_transport = lmtp:unix:$V/sock/lmtp
local_transport = error:5.1.1 local delivery disabled here
relay_transport = error:5.7.1 this test server never relays
default_transport = error:5.7.1 this test server never relays
smtpd_peername_lookup = no
# An AUTH line longer than this is cut: a long token must follow the 334 prompt.
line_length_limit = 2048
smtpd_banner = \$myhostname ESMTP korvex-oauth-test
biff = no
smtpd_tls_cert_file = $V/tls/cert.pem
smtpd_tls_key_file = $V/tls/key.pem
smtpd_tls_security_level = none
smtpd_sasl_type = dovecot
smtpd_sasl_path = $V/sock/auth
smtpd_sasl_auth_enable = no
smtpd_relay_restrictions = reject_unauth_destination
EOF
  put "$E/postfix/master.cf" <<EOF
127.0.0.1:$SUBMISSION_PORT inet n - n - - smtpd
  -o syslog_name=korvex/submission
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sasl_security_options=noanonymous
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
cleanup   unix  n - n -    0 cleanup
qmgr      unix  n - n 300  1 qmgr
tlsmgr    unix  - - n 1000? 1 tlsmgr
rewrite   unix  - - n -    - trivial-rewrite
bounce    unix  - - n -    0 bounce
defer     unix  - - n -    0 bounce
trace     unix  - - n -    0 bounce
verify    unix  - - n -    1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n -    - proxymap
showq     unix  n - n -    - showq
error     unix  - - n -    - error
retry     unix  - - n -    - error
discard   unix  - - n -    - discard
lmtp      unix  - - n -    - lmtp
anvil     unix  - - n -    1 anvil
scache    unix  - - n -    1 scache
postlog   unix-dgram n - n - 1 postlogd
EOF
}

kids_of() { { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v p="$1" '$4==p{print $1 ":" $2}'; }
stop_one() {
  local name=$1 pid kids k i; shift
  pid=$(pid_of "$@") || return 0
  kids=$(kids_of "$pid"); kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 400); do alive "$pid" || break; sleep 0.025; done
  alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
  for k in $kids; do
    alive "${k%%:*}" && [ "($(cat /proc/"${k%%:*}"/comm 2>/dev/null))" = "${k#*:}" ] && kill -KILL "${k%%:*}" 2>/dev/null || true
  done
  echo "$name: stopped (pid $pid)"
}
stop_all() {
  stop_one postfix "$PPID_F" master "$V/postfix/spool"
  stop_one dovecot "$DPID" dovecot "$V/dovecot/run"
  stop_one proxyfront "$FPID" python3 "$V/front"
  stop_one oauthserver "$TPID" python3 "$V/token"
}
stop() {
  [ -L "$LINK" ] || { echo "nothing started under $D"; return 0; }
  stop_all
  mkdir -p "$D/log"; cp -f "$V"/log/*.log "$D/log/" 2>/dev/null || true
  case "$V" in /tmp/korvex-oauth.*) rm -rf "$V" ;; esac
  rm -f "$LINK" "$D/env"
}

start() {
  [ "$(id -u)" = 0 ] || die "must run as root (Postfix and Dovecot switch users)"
  local p
  for p in dovecot postfix openssl python3; do command -v $p >/dev/null || die "$p is not installed (scripts/install-deps)"; done
  # mailservers.sh may be making the same user at this moment.
  id -u $VUSER >/dev/null 2>&1 ||
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin $VUSER ||
    id -u $VUSER >/dev/null 2>&1 || die "could not make the user $VUSER"
  stop >/dev/null
  local real attempt
  real=$(mktemp -d /tmp/korvex-oauth.XXXXXX); chmod 755 "$real"
  ln -s "$real" "$LINK"; paths "$D"
  for attempt in 1 2 3; do
    read -r TOKEN_PORT POP3_PORT POP3H_PORT POP3S_PORT SUBMISSION_PORT <<<"$(free_ports 5)"
    write_configs
    rm -f "$TPID" "$FPID"
    ( cd "$V/token" && setsid -f python3 "$HERE/oauthserver.py" --port "$TOKEN_PORT" \
        --log "$V/log/oauthserver.log" --pidfile "$TPID" --clients "$CLIENT" --users "$USERS" \
        --domain $DOM --introspect-client "@$E/introspect-client" </dev/null >>"$V/log/oauthserver.err" 2>&1 )
    ( cd "$V/front" && setsid -f python3 "$HERE/proxyfront.py" --port "$POP3_PORT" --backend "$POP3H_PORT" \
        --pidfile "$FPID" </dev/null >>"$V/log/proxyfront.err" 2>&1 )
    if dovecot -c "$E/dovecot/dovecot.conf" 2>>"$V/log/dovecot-start.log" &&
       postfix -c "$E/postfix" start >>"$V/log/postfix-start.log" 2>&1 &&
       wait_ports up "$TOKEN_PORT" "$POP3_PORT" "$POP3H_PORT" "$POP3S_PORT" "$SUBMISSION_PORT"; then
      break
    fi
    # Another program may have taken a port between our look and the bind.
    stop_all >/dev/null
    [ $attempt = 3 ] && { mkdir -p "$D/log"; cp -f "$V"/log/*.log "$D/log/" 2>/dev/null || true
                          die "servers did not come up, see $D/log/"; }
  done
  local sha
  sha=$(openssl x509 -in "$V/tls/cert.pem" -outform DER | sha256sum | cut -d' ' -f1)
  cat >"$D/env.new" <<EOF
HOST=127.0.0.1
TOKEN_URL=http://127.0.0.1:$TOKEN_PORT
CLIENT_ID=$CLIENT
POP3_PORT=$POP3_PORT
POP3S_PORT=$POP3S_PORT
SUBMISSION_PORT=$SUBMISSION_PORT
CA_CERT=$V/tls/cert.pem
CERT_SHA256=$sha
USERS="$USERS"
DOMAIN=$DOM
MAILDIR_ROOT=$V/mail
SCRIPT=$(readlink -f "$0")
EOF
  mv "$D/env.new" "$D/env"
  echo "oauth servers up: token $TOKEN_PORT pop3 $POP3_PORT pop3s $POP3S_PORT submission $SUBMISSION_PORT (state $real)"
}

maildir() {
  [ -s "$D/env" ] || die "no $D/env (run start first)"; . "$D/env"
  local md="$MAILDIR_ROOT/$1/Maildir"
  [ -n "$1" ] && [ -d "$md/new" ] || die "no maildir for user '$1'"
  echo "$md"
}
seed() {
  local md f name i=0 stamp; md=$(maildir "${1:-}"); shift
  stamp="$(date +%s).$$_$RANDOM"
  for f; do i=$((i + 1)); name=$(printf '%s.%06d.korvex' "$stamp" $i); cp "$f" "$md/tmp/$name"; done
  chown -R $VUSER:$VUSER "$md/tmp"
  for name in $(cd "$md/tmp" && ls | grep "^$stamp\." | sort); do mv "$md/tmp/$name" "$md/new/$name"; done
}
clear_user() {
  local md; md=$(maildir "${1:-}")
  find "$md/new" "$md/cur" "$md/tmp" -type f -delete
  rm -f "$md"/dovecot.index* "$md"/dovecot-uidlist
}

cmd=${1:-}; [ $# -ge 2 ] || { echo "usage: $0 start|stop|seed|clear DIR [USER [FILE]]" >&2; exit 2; }
paths "$2"; shift 2
case "$cmd" in
  start) start ;;
  stop) stop ;;
  seed) seed "$@" ;;
  clear) clear_user "$@" ;;
  *) echo "usage: $0 start|stop|seed|clear DIR [USER [FILE]]" >&2; exit 2 ;;
esac
