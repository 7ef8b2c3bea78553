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
# What it shares with oauthservers.sh (the state folder, starting and
# stopping by pid, the configuration both use) is in common.sh.
set -euo pipefail

ME=mailservers.sh
STATE_PREFIX=korvex-mail
# scripts/install-deps puts popa3d in /usr/local/sbin (its package conflicts with Dovecot's).
POPA3D=$(command -v popa3d || PATH=/usr/local/sbin:/usr/sbin command -v popa3d || echo /usr/local/sbin/popa3d)
CHECK_COMMANDS="socat $POPA3D"
USERS=${KORVEX_MAIL_USERS:-"alice:alicepw bob:bobpw taro:taropw"}
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

own_paths() { SPID=$V/popa3d/socat.pid; }
pick_ports() {
  read -r POP3_PORT POP3S_PORT SMTP_PORT SUBMISSION_PORT SMTPS_PORT POPA3D_PORT <<<"$(free_ports 6)"
}
ports() { echo "$POP3_PORT $POP3S_PORT $SMTP_PORT $SUBMISSION_PORT ${SMTPS_PORT:-} ${POPA3D_PORT:-}"; }

write_configs() {
  local u
  # shellcheck disable=SC2046 # the user names, one word each
  make_state $(for u in $USERS; do echo "${u%%:*}"; done)
  for u in $USERS; do echo "${u%%:*}:{PLAIN}${u#*:}"; done | put "$E/dovecot/users"
  chmod 640 "$E/dovecot/users"; chgrp dovecot "$E/dovecot/users"
  dovecot_conf korvex "disable_plaintext_auth = no
auth_mechanisms = plain login apop
passdb {
  driver = passwd-file
  args = scheme=PLAIN $E/dovecot/users
}
$(dovecot_userdb)
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
}"
  postfix_conf korvex-test "message_size_limit = 52428800" "127.0.0.1:$SMTP_PORT inet n - n - - smtpd
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
pickup    unix  n - n 60   1 pickup"
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

launch() {
  start_dovecot_postfix &&
    wait_ports up "$POP3_PORT" "$POP3S_PORT" "$SMTP_PORT" "$SUBMISSION_PORT" "$SMTPS_PORT" &&
    popa3d_start
}
stop_all() {
  popa3d_stop
  stop_dovecot_postfix
}

write_env() {
  cat <<EOF
POP3_PORT=$POP3_PORT
POP3S_PORT=$POP3S_PORT
SMTP_PORT=$SMTP_PORT
SUBMISSION_PORT=$SUBMISSION_PORT
SMTPS_PORT=$SMTPS_PORT
POPA3D_PORT=$POPA3D_PORT
POPA3D_USER=$POPA3D_USER
POPA3D_PASSWORD=$POPA3D_PASSWORD
POPA3D_MBOX=/var/mail/$POPA3D_USER
EOF
}
started() {
  echo "mail servers up: pop3 $POP3_PORT pop3s $POP3S_PORT smtp $SMTP_PORT submission $SUBMISSION_PORT smtps $SMTPS_PORT popa3d $POPA3D_PORT"
}

status() {
  local p rc=0
  p=$(pid_of "$DPID" dovecot "$V/dovecot/run") && echo "dovecot: running pid $p" || { echo "dovecot: stopped"; rc=3; }
  p=$(pid_of "$PPID_F" master "$V/postfix/spool") && echo "postfix: running pid $p" || { echo "postfix: stopped"; rc=3; }
  p=$(pid_of "$SPID" socat "$V/popa3d") && echo "popa3d (socat): running pid $p" || { echo "popa3d: stopped"; rc=3; }
  return $rc
}

main "$@"
