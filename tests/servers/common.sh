# shellcheck shell=bash
# What mailservers.sh and oauthservers.sh share, sourced by both: free ports,
# processes started and stopped by pid, the private state folder under /tmp,
# the certificate, the maildirs, the parts of the Dovecot and Postfix
# configuration both use, and the commands start, stop, seed and clear.
#
# A script that sources this sets ME (its name, for messages), STATE_PREFIX
# (the state folder's name under /tmp, before the random part) and
# CHECK_COMMANDS, and defines:
#   own_paths       the pid files of its own processes, below $V
#   pick_ports      the free ports, as globals
#   write_configs   its configuration under $E
#   launch          start its servers and wait for their ports
#   stop_all        stop what launch started
#   ports           the ports that must be closed after a stop
#   write_env       the KEY=VALUE lines of its own, after those of env_common
#   started         the line printed once everything is up
#
# The servers' own state (spool, sockets, maildirs) lives in a short private
# folder under /tmp that DIR/var points to: Postfix and Dovecot drop
# privileges and must be able to walk to their folders, which a build tree
# under a private home folder would not allow, and unix socket paths have a
# length limit. `stop` removes it after copying the logs to DIR/log.

DOM=korvex.test
VUSER=korvexmail                 # system user owning every maildir

die() { echo "$ME: $*" >&2; exit 1; }

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
  PPID_F=$V/postfix/spool/pid/master.pid
  own_paths
}
load_env() { [ -s "$D/env" ] || die "no $D/env (run start first)"; . "$D/env"; }

put() {           # stdin -> $1, backdated: Postfix waits ~2 s on a config file modified "just now"
  cat >"$1"; touch -d '3 seconds ago' "$1"
}

# The folders of the state, a maildir owned by $VUSER for each user, and a
# self-signed certificate for 127.0.0.1.
make_state() {    # user...
  local uid gid u
  uid=$(id -u $VUSER); gid=$(id -g $VUSER)
  mkdir -p "$E/dovecot" "$E/postfix" "$V"/{log,sock,tls,mail,dovecot,postfix/data,postfix/spool}
  chown postfix:postfix "$V/postfix/data"; chmod 700 "$V/postfix/data"
  for u; do echo "$u@$DOM OK"; done | put "$E/postfix/vmailbox"
  for u; do
    u="$V/mail/$u"; mkdir -p "$u/Maildir"/{cur,new,tmp}
    chown "$uid:$gid" "$u" "$u/Maildir" "$u/Maildir"/{cur,new,tmp}
  done
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$V/tls/key.pem" -out "$V/tls/cert.pem" 2>/dev/null || die "openssl could not make a certificate"
  chmod 600 "$V/tls/key.pem"; chmod 644 "$V/tls/cert.pem"
}

# dovecot.conf: its own settings (auth, passdb, listeners) in the middle.
dovecot_conf() {  # instance-name settings
  local uid gid
  uid=$(id -u $VUSER); gid=$(id -g $VUSER)
  put "$E/dovecot/dovecot.conf" <<EOF
# standalone: nothing from /etc/dovecot
base_dir = $V/dovecot/run
state_dir = $V/dovecot/state
instance_name = $1-$(basename "$V")
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
auth_username_format = %Ln
auth_verbose = yes
first_valid_uid = $uid
last_valid_uid = $uid
mail_location = maildir:~/Maildir
protocol pop3 {
  mail_max_userip_connections = 50
}
$2
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
}
dovecot_userdb() { # extra args: every user's mail is $VUSER's, below $V/mail
  echo "userdb {
  driver = static
  args = uid=$(id -u $VUSER) gid=$(id -g $VUSER) home=$V/mail/%n${1:+ $1}
}"
}

# main.cf and master.cf: each script's own lines after the shared ones, and
# its smtpd services before the shared table.
postfix_conf() {  # banner settings services
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
smtpd_banner = \$myhostname ESMTP $1
biff = no
smtpd_tls_cert_file = $V/tls/cert.pem
smtpd_tls_key_file = $V/tls/key.pem
smtpd_tls_security_level = none
smtpd_sasl_type = dovecot
smtpd_sasl_path = $V/sock/auth
smtpd_sasl_auth_enable = no
smtpd_relay_restrictions = reject_unauth_destination
$2
EOF
  put "$E/postfix/master.cf" <<EOF
# service type private unpriv chroot wakeup maxproc command
$3
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
start_dovecot_postfix() {
  dovecot -c "$E/dovecot/dovecot.conf" 2>>"$V/log/dovecot-start.log" &&
    postfix -c "$E/postfix" start >>"$V/log/postfix-start.log" 2>&1
}
stop_dovecot_postfix() {
  stop_one postfix "$PPID_F" master "$V/postfix/spool"
  stop_one dovecot "$DPID" dovecot "$V/dovecot/run"
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

save_logs() { mkdir -p "$D/log"; cp -f "$V"/log/*.log "$D/log/" 2>/dev/null || true; }

stop() {
  [ -L "$LINK" ] || { echo "nothing started under $D"; return 0; }
  stop_all
  if [ -s "$D/env" ]; then
    . "$D/env"
    # shellcheck disable=SC2046 # the ports, one word each
    wait_ports down $(ports) || echo "$ME: a port of $D still answers" >&2
  fi
  save_logs
  case "$V" in /tmp/"$STATE_PREFIX".*) rm -rf "$V" ;; esac
  rm -f "$LINK" "$D/env"
}

start() {
  [ "$(id -u)" = 0 ] || die "must run as root (Postfix and Dovecot switch users)"
  local p
  for p in dovecot postfix openssl python3 $CHECK_COMMANDS; do
    command -v "$p" >/dev/null || die "$p is not installed (scripts/install-deps)"
  done
  # The other script may be making the same user at this moment.
  id -u $VUSER >/dev/null 2>&1 ||
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin $VUSER ||
    id -u $VUSER >/dev/null 2>&1 || die "could not make the user $VUSER"
  stop >/dev/null            # whatever an earlier run of this DIR left behind
  local real attempt
  real=$(mktemp -d "/tmp/$STATE_PREFIX.XXXXXX"); chmod 755 "$real"
  ln -s "$real" "$LINK"; state "$real"
  for attempt in 1 2 3; do
    pick_ports
    write_configs
    launch && break
    # Another program may have taken a port between our look and the bind.
    stop_all >/dev/null
    [ $attempt = 3 ] && { save_logs; die "servers did not come up, see $D/log/"; }
  done
  { env_common; write_env; } >"$D/env.new"
  mv "$D/env.new" "$D/env"
  echo "$(started) (state $real)"
}
env_common() {
  echo "HOST=127.0.0.1"
  echo "CA_CERT=$V/tls/cert.pem"
  echo "CERT_SHA256=$(openssl x509 -in "$V/tls/cert.pem" -outform DER | sha256sum | cut -d' ' -f1)"
  echo "USERS=\"$USERS\""
  echo "DOMAIN=$DOM"
  echo "MAILDIR_ROOT=$V/mail"
  echo "SCRIPT=$(readlink -f "$0")"
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

# The command line: COMMAND DIR [USER [FILE...]]; status where the script has one.
main() {
  local cmd=${1:-} usage="usage: $0 start|stop|seed|clear DIR [USER [FILE]]"
  declare -F status >/dev/null && usage="usage: $0 start|stop|status|seed|clear DIR [USER [FILE]]"
  [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
  paths "$2"; shift 2
  case "$cmd" in
    start) start ;;
    stop) stop ;;
    status) declare -F status >/dev/null || { echo "$usage" >&2; exit 2; }; status ;;
    seed) seed "$@" ;;
    clear) clear_user "$@" ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
}
