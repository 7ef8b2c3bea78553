#!/usr/bin/env bash
# Real mail servers on 127.0.0.1 for the tests and benchmarks, on free ports.
#
#   Dovecot : POP3 (USER/PASS, APOP, STLS) and POP3S, self-signed certificate
#   Postfix : SMTP (no auth, no TLS), submission (STARTTLS + AUTH PLAIN/LOGIN
#             through Dovecot SASL) and SMTPS (TLS from the first byte + AUTH),
#             delivering to Dovecot LMTP, so every mail sent to
#             <user>@korvex.test can be fetched back over POP3.
#   popa3d  : a minimal POP3 server (run per connection under socat) for one
#             system user of its own whose mailbox is the mbox /var/mail/<user>;
#             its unique ids come from the mails' headers, so two mails with
#             the same Message-ID and Date share one.
#
# usage (as root):
#   mailservers.sh start DIR         start everything, write DIR/env
#   mailservers.sh stop DIR          stop what DIR's start started (by pid)
#   mailservers.sh status DIR
#   mailservers.sh seed DIR USER FILE...  drop raw messages into USER's maildir
#   mailservers.sh clear DIR USER       empty USER's maildir
#
# DIR/env holds KEY=VALUE lines (HOST, POP3_PORT, POP3S_PORT, SMTP_PORT,
# SUBMISSION_PORT, SMTPS_PORT, CA_CERT, CERT_SHA256, USERS, DOMAIN, MAILDIR_ROOT, SCRIPT,
# POPA3D_PORT, POPA3D_USER, POPA3D_PASSWORD, POPA3D_MBOX).
#
# The servers' own state (spool, sockets, maildirs) lives in a short private
# folder under /tmp that DIR/var points to: Postfix and Dovecot drop
# privileges and must be able to walk to their folders, which a build tree
# under a private home folder would not allow, and unix socket paths have a
# length limit. `stop` removes it after copying the logs to DIR/log.
set -euo pipefail

DOM=korvex.test
# scripts/install-deps puts popa3d in /usr/local/sbin (its package conflicts with Dovecot's).
POPA3D=$(command -v popa3d || PATH=/usr/local/sbin:/usr/sbin command -v popa3d || echo /usr/local/sbin/popa3d)
VUSER=korvexmail                 # system user owning every maildir
USERS_DEFAULT="alice:alicepw bob:bobpw taro:taropw"

die() { echo "mailservers.sh: $*" >&2; exit 1; }

alive() { local s; read -r _ _ s _ 2>/dev/null <"/proc/$1/stat" && [ "$s" != Z ]; }
pid_of() {        # pidfile comm cwd -> the pid when alive and really ours (name and working dir match)
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
free_ports() {    # N distinct ports the kernel reports free right now
  python3 - "$1" <<'EOF'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
for s in socks: s.close()
EOF
}

paths() {         # DIR -> globals
  D=$(mkdir -p "$1" && cd "$1" && pwd)
  LINK=$D/var                    # symlink to the private state folder
  state "$(readlink -f "$LINK" 2>/dev/null || true)"
}
state() {         # the real state folder -> globals (configs name real paths only)
  V=${1:-/nonexistent}
  E=$V/etc
  DPID=$V/dovecot/run/master.pid
  SPID=$V/popa3d/socat.pid
  PPID_F=$V/postfix/spool/pid/master.pid
}
load_env() { [ -s "$D/env" ] || die "no $D/env (run start first)"; . "$D/env"; }

put() {           # stdin -> $1, backdated: Postfix waits ~2 s on a config file modified "just now"
  cat >"$1"; touch -d '3 seconds ago' "$1"
}

write_configs() {
  local uid gid u
  uid=$(id -u $VUSER); gid=$(id -g $VUSER)
  mkdir -p "$E/dovecot" "$E/postfix" "$V"/{log,sock,tls,mail,dovecot,postfix/data,postfix/spool}
  chown postfix:postfix "$V/postfix/data"; chmod 700 "$V/postfix/data"
  for u in $USERS; do echo "${u%%:*}:{PLAIN}${u#*:}"; done | put "$E/dovecot/users"
  for u in $USERS; do echo "${u%%:*}@$DOM OK"; done | put "$E/postfix/vmailbox"
  chmod 640 "$E/dovecot/users"; chgrp dovecot "$E/dovecot/users"
  for u in $USERS; do
    u="$V/mail/${u%%:*}"; mkdir -p "$u/Maildir"/{cur,new,tmp}
    chown "$uid:$gid" "$u" "$u/Maildir" "$u/Maildir"/{cur,new,tmp}
  done
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$V/tls/key.pem" -out "$V/tls/cert.pem" 2>/dev/null || die "openssl could not make a certificate"
  chmod 600 "$V/tls/key.pem"; chmod 644 "$V/tls/cert.pem"
  put "$E/dovecot/dovecot.conf" <<EOF
# standalone: nothing from /etc/dovecot
base_dir = $V/dovecot/run
state_dir = $V/dovecot/state
instance_name = korvex-$(basename "$V")
log_path = $V/log/dovecot.log
protocols = pop3 lmtp
listen = 127.0.0.1
hostname = mail.$DOM
postmaster_address = postmaster@$DOM
ssl = yes
ssl_cert = <$V/tls/cert.pem
ssl_key = <$V/tls/key.pem
ssl_dh = </usr/share/dovecot/dh.pem
auth_failure_delay = 0
disable_plaintext_auth = no
auth_mechanisms = plain login apop
auth_username_format = %Ln
auth_verbose = yes
passdb {
  driver = passwd-file
  args = scheme=PLAIN $E/dovecot/users
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$V/mail/%n
}
first_valid_uid = $uid
last_valid_uid = $uid
mail_location = maildir:~/Maildir
protocol pop3 {
  mail_max_userip_connections = 50
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $POP3_PORT
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
# standalone instance: postfix -c $E/postfix
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
smtpd_banner = \$myhostname ESMTP korvex-test
biff = no
message_size_limit = 52428800
smtpd_tls_cert_file = $V/tls/cert.pem
smtpd_tls_key_file = $V/tls/key.pem
smtpd_tls_security_level = none
smtpd_sasl_type = dovecot
smtpd_sasl_path = $V/sock/auth
smtpd_sasl_auth_enable = no
smtpd_relay_restrictions = reject_unauth_destination
EOF
  put "$E/postfix/master.cf" <<EOF
# service type private unpriv chroot wakeup maxproc command
127.0.0.1:$SMTP_PORT inet n - n - - smtpd
  -o syslog_name=korvex/smtp
127.0.0.1:$SMTPS_PORT inet n - n - - smtpd
  -o syslog_name=korvex/smtps
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$SUBMISSION_PORT inet n - n - - smtpd
  -o syslog_name=korvex/submission
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
pickup    unix  n - n 60   1 pickup
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

# A process may end between the glob and the read: that is no failure.
kids_of() { { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v p="$1" '$4==p{print $1 ":" $2}'; }
stop_one() {      # name pidfile comm cwd: TERM the master, then KILL any child that outlives it
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

# popa3d logs in system users: each start makes one of its own (a name no
# other run uses, so that runs side by side never share a mailbox), and stop
# removes it with its mailbox.
popa3d_start() {
  local user pass
  user=kxpop$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n'); pass=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" ||
    die "could not make the popa3d user"
  echo "$user" >"$V/popa3d.user"
  echo "$user:$pass" | chpasswd
  install -m 0660 -o "$user" -g mail /dev/null "/var/mail/$user"
  mkdir -p "$V/popa3d"
  (cd "$V/popa3d" && exec setsid socat TCP-LISTEN:"$POPA3D_PORT",bind=127.0.0.1,fork,reuseaddr \
     EXEC:"$POPA3D" </dev/null >>"$V/log/socat.log" 2>&1 & echo $! >"$SPID")
  POPA3D_USER=$user POPA3D_PASSWORD=$pass
  wait_ports up "$POPA3D_PORT"
}
popa3d_stop() {
  local user
  stop_one popa3d "$SPID" socat "$V/popa3d"
  user=$(cat "$V/popa3d.user" 2>/dev/null) || return 0
  case "$user" in kxpop*) userdel "$user" 2>/dev/null || true; rm -f "/var/mail/$user" ;; esac
  rm -f "$V/popa3d.user"
}

stop() {
  [ -L "$LINK" ] || { echo "nothing started under $D"; return 0; }
  popa3d_stop
  stop_one postfix "$PPID_F" master "$V/postfix/spool"
  stop_one dovecot "$DPID" dovecot "$V/dovecot/run"
  if [ -s "$D/env" ]; then
    . "$D/env"
    wait_ports down "$POP3_PORT" "$POP3S_PORT" "$SMTP_PORT" "$SUBMISSION_PORT" ${SMTPS_PORT:-} ${POPA3D_PORT:-} ||
      echo "mailservers.sh: a port of $D still answers" >&2
  fi
  mkdir -p "$D/log"; cp -f "$V"/log/*.log "$D/log/" 2>/dev/null || true
  case "$V" in /tmp/korvex-mail.*) rm -rf "$V" ;; esac
  rm -f "$LINK" "$D/env"
}

start() {
  [ "$(id -u)" = 0 ] || die "must run as root (Postfix and Dovecot switch users)"
  local p
  for p in dovecot postfix openssl python3 socat "$POPA3D"; do command -v $p >/dev/null || die "$p is not installed (scripts/install-deps)"; done
  id -u $VUSER >/dev/null 2>&1 ||
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin $VUSER
  stop >/dev/null            # whatever an earlier run of this DIR left behind
  local real attempt
  real=$(mktemp -d /tmp/korvex-mail.XXXXXX); chmod 755 "$real"
  ln -s "$real" "$LINK"; state "$real"
  USERS=${KORVEX_MAIL_USERS:-$USERS_DEFAULT}
  for attempt in 1 2 3; do
    read -r POP3_PORT POP3S_PORT SMTP_PORT SUBMISSION_PORT SMTPS_PORT POPA3D_PORT <<<"$(free_ports 6)"
    write_configs
    if dovecot -c "$E/dovecot/dovecot.conf" 2>>"$V/log/dovecot-start.log" &&
       postfix -c "$E/postfix" start >>"$V/log/postfix-start.log" 2>&1 &&
       wait_ports up "$POP3_PORT" "$POP3S_PORT" "$SMTP_PORT" "$SUBMISSION_PORT" "$SMTPS_PORT" &&
       popa3d_start; then
      break
    fi
    # Another program may have taken a port between our look and the bind.
    popa3d_stop >/dev/null
    stop_one postfix "$PPID_F" master "$V/postfix/spool" >/dev/null
    stop_one dovecot "$DPID" dovecot "$V/dovecot/run" >/dev/null
    [ $attempt = 3 ] && { mkdir -p "$D/log"; cp -f "$V"/log/*.log "$D/log/" 2>/dev/null || true
                          die "servers did not come up, see $D/log/"; }
  done
  local sha
  sha=$(openssl x509 -in "$V/tls/cert.pem" -outform DER | sha256sum | cut -d' ' -f1)
  cat >"$D/env.new" <<EOF
HOST=127.0.0.1
POP3_PORT=$POP3_PORT
POP3S_PORT=$POP3S_PORT
SMTP_PORT=$SMTP_PORT
SUBMISSION_PORT=$SUBMISSION_PORT
SMTPS_PORT=$SMTPS_PORT
CA_CERT=$V/tls/cert.pem
CERT_SHA256=$sha
USERS="$USERS"
DOMAIN=$DOM
MAILDIR_ROOT=$V/mail
SCRIPT=$(readlink -f "$0")
POPA3D_PORT=$POPA3D_PORT
POPA3D_USER=$POPA3D_USER
POPA3D_PASSWORD=$POPA3D_PASSWORD
POPA3D_MBOX=/var/mail/$POPA3D_USER
EOF
  mv "$D/env.new" "$D/env"
  echo "mail servers up: pop3 $POP3_PORT pop3s $POP3S_PORT smtp $SMTP_PORT submission $SUBMISSION_PORT smtps $SMTPS_PORT popa3d $POPA3D_PORT (state $real)"
}

status() {
  local p rc=0
  p=$(pid_of "$DPID" dovecot "$V/dovecot/run") && echo "dovecot: running pid $p" || { echo "dovecot: stopped"; rc=3; }
  p=$(pid_of "$PPID_F" master "$V/postfix/spool") && echo "postfix: running pid $p" || { echo "postfix: stopped"; rc=3; }
  p=$(pid_of "$SPID" socat "$V/popa3d") && echo "popa3d (socat): running pid $p" || { echo "popa3d: stopped"; rc=3; }
  return $rc
}

maildir() {       # user -> path, checked
  load_env
  local md="$MAILDIR_ROOT/$1/Maildir"
  [ -n "$1" ] && [ -d "$md/new" ] || die "no maildir for user '$1'"
  echo "$md"
}

seed() {          # user file...: rename(2) into new/, so Dovecot never sees half a message
  local md f name i=0; md=$(maildir "${1:-}"); shift
  [ $# -ge 1 ] || die "seed DIR USER FILE..."
  for f; do [ -r "$f" ] || die "cannot read $f"; done
  local stamp; stamp="$(date +%s).$$_$RANDOM$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')"
  for f; do
    i=$((i + 1)); name=$(printf '%s.%06d.korvex' "$stamp" $i)
    cp "$f" "$md/tmp/$name"
  done
  chown -R $VUSER:$VUSER "$md/tmp"
  # Moved in the order given, so the server lists them in that order.
  for name in $(cd "$md/tmp" && ls | grep "^$stamp\." | sort); do mv "$md/tmp/$name" "$md/new/$name"; done
}

queue_drained() { # nothing waits in Postfix's queue to be delivered (deferred mail aside); at most 15 s
  local q=$V/postfix/spool i
  for i in $(seq 600); do
    [ -z "$(find "$q/maildrop" "$q/incoming" "$q/active" -type f -print -quit 2>/dev/null)" ] && return 0
    sleep 0.025
  done
  return 0
}
clear_user() {
  local md; md=$(maildir "${1:-}")
  # A mail an earlier test sent (or a bounce Postfix makes of it) may still be
  # on its way: emptied before it lands, the maildir would not stay empty.
  queue_drained
  find "$md/new" "$md/cur" "$md/tmp" -type f -delete
  # Dovecot's index of the folder goes too: a folder emptied and written
  # again within one second can look unchanged to it, and the next session
  # would still list the mails deleted here.
  rm -f "$md"/dovecot.index* "$md"/dovecot-uidlist
}

cmd=${1:-}; [ $# -ge 2 ] || { echo "usage: $0 start|stop|status|seed|clear DIR [USER [FILE]]" >&2; exit 2; }
paths "$2"; shift 2
case "$cmd" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  seed) seed "$@" ;;
  clear) clear_user "$@" ;;
  *) echo "usage: $0 start|stop|status|seed|clear DIR [USER [FILE]]" >&2; exit 2 ;;
esac
