#!/usr/bin/env bash
# Drives one peer mail client (Sylpheed or Claws Mail) as a user would, for
# bench_receive --peers: a fresh profile pointing at the test Dovecot (POP3
# with STLS, the server's certificate already trusted, mails deleted on the
# server once fetched), the window on the X display in $DISPLAY, "receive
# all" typed into it.
#
#   peer.sh start CLIENT DIR SERVERS_ENV   make the profile under DIR, start the
#                                          client, receive once from the empty
#                                          server (Claws Mail asks for the
#                                          password then, kept for the session)
#   peer.sh receive DIR COUNT              type "receive all" and time it: prints
#                                          empty_ms=  (keypress until the
#                                          server's maildir is empty)
#                                          stored_ms= (until COUNT mails are in
#                                          the client's inbox) hwm_kb= stored=
#   peer.sh stop DIR                       end the client started in DIR
#
# Needs: sylpheed / claws-mail, xdotool, an X server in $DISPLAY, openssl.
set -euo pipefail

die() { echo "peer.sh: $*" >&2; exit 1; }
# These set NOW (ms) and N rather than print, so that a poll forks nothing.
now_ms() { local t=${EPOCHREALTIME/[.,]/}; NOW=$((t / 1000)); }
shopt -s nullglob

window_of() {     # pid title-regex -> the first window of that title, waiting up to 30 s
  local i w
  for i in $(seq 300); do
    w=$(xdotool search --name "$2" 2>/dev/null | head -1 || true)
    [ -n "$w" ] && { echo "$w"; return 0; }
    kill -0 "$1" 2>/dev/null || die "the client ended (see its log)"
    sleep 0.1
  done
  return 1
}
focus() { xdotool windowfocus --sync "$1"; }
# Shift+Ctrl+I: "Get from all accounts" in the Message menu of both.
press_receive_all() { xdotool key --clearmodifiers ctrl+shift+i; }
inbox_count() { local f=("$1"/[0-9]*); N=${#f[@]}; }
server_count() { local f=("$1"/new/* "$1"/cur/*); N=${#f[@]}; }

start() {
  local client=$1 dir=$2 envfile=$3
  [ -s "$envfile" ] || die "no $envfile"
  . "$envfile"
  local pass user=alice u
  for u in $USERS; do [ "${u%%:*}" = "$user" ] && pass=${u#*:}; done
  mkdir -p "$dir/rc" "$dir/home/Mail" && chmod 700 "$dir" "$dir/rc" "$dir/home"
  local f
  for f in inbox outbox draft queue trash; do mkdir -p "$dir/home/Mail/$f"; done
  # Both read the same account keys; STLS is 2 in both.
  {
    echo "[Account: 1]"
    echo "account_name=bench"; echo "is_default=1"; echo "name=Bench"
    echo "address=$user@$DOMAIN"; echo "protocol=0"
    echo "receive_server=$HOST"; echo "smtp_server=$HOST"; echo "user_id=$user"
    [ "$client" = sylpheed ] && echo "password=$pass"
    echo "use_apop_auth=0"; echo "remove_mail=1"; echo "message_leave_time=0"
    echo "get_all_mail=0"; echo "enable_size_limit=0"; echo "filter_on_receive=0"
    echo "receive_at_get_all=1"; echo "ssl_pop=2"
    echo "set_popport=1"; echo "pop_port=$POP3_PORT"; echo "inbox=#mh/Mailbox/inbox"
  } >"$dir/rc/accountrc"
  cat >"$dir/rc/folderlist.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<folderlist>
    <folder type="mh" name="Mailbox" path="$dir/home/Mail">
        <folderitem type="inbox" name="inbox" path="inbox" />
        <folderitem type="outbox" name="outbox" path="outbox" />
        <folderitem type="draft" name="draft" path="draft" />
        <folderitem type="queue" name="queue" path="queue" />
        <folderitem type="trash" name="trash" path="trash" />
    </folder>
</folderlist>
EOF
  local title args
  case "$client" in
    sylpheed)
      # Sylpheed trusts the certificates in trust.crt of its folder.
      cp "$CA_CERT" "$dir/rc/trust.crt"
      title='Sylpheed [0-9]'; args=(sylpheed --configdir "$dir/rc") ;;
    claws-mail)
      # Claws Mail accepts a certificate it saved before (DER, named by host and port).
      mkdir -p "$dir/rc/certs"
      openssl x509 -in "$CA_CERT" -outform DER -out "$dir/rc/certs/$HOST.$POP3_PORT.cert"
      cp "$CA_CERT" "$dir/rc/certs/$HOST.$POP3_PORT.cert.chain"
      title='Claws Mail [0-9]'; args=(claws-mail --alternate-config-dir "$dir/rc") ;;
    *) die "unknown client $client" ;;
  esac
  command -v "${args[0]}" >/dev/null || die "${args[0]} is not installed"
  echo "$client" >"$dir/client"
  echo "$MAILDIR_ROOT/$user/Maildir" >"$dir/maildir"
  # A client that ends before its window shows (it happened once in a
  # long run, right after the previous one had been ended) is started
  # once more; its log goes to stderr.
  local pid w attempt
  for attempt in 1 2; do
    (cd "$dir/home" && HOME=$dir/home XDG_CONFIG_HOME=$dir/home/.config XDG_CACHE_HOME=$dir/home/.cache \
       NO_AT_BRIDGE=1 exec setsid "${args[@]}" </dev/null >"$dir/log" 2>&1 & echo $! >"$dir/pid")
    pid=$(cat "$dir/pid")
    w=$(window_of "$pid" "$title") && break
    echo "peer.sh: $client ended before its window showed; its log:" >&2
    tail -5 "$dir/log" >&2 || true
    stop "$dir"
    [ $attempt = 2 ] && die "no window of $client"
    sleep 1
  done
  echo "$w" >"$dir/window"
  sleep 0.5
  # One receive from the empty server, as a user's first: Claws Mail asks
  # for the password, which is typed and kept for the session.
  server_count "$(cat "$dir/maildir")"; [ "$N" = 0 ] || die "the server is not empty before the first receive"
  focus "$w"
  press_receive_all
  if [ "$client" = claws-mail ]; then
    local p
    p=$(window_of "$pid" '^Input password$') || die "Claws Mail asked for no password"
    xdotool windowfocus --sync "$p"
    xdotool type --delay 5 "$pass"
    xdotool key Tab space Return   # "Remember password for this session", OK
  fi
  # Done when no progress or password window is left.
  local i
  for i in $(seq 100); do
    sleep 0.1
    [ -z "$(xdotool search --name 'Retrieving|Input password|Error|certificate' 2>/dev/null || true)" ] && break
  done
  [ -z "$(xdotool search --name 'Error|certificate|Input password' 2>/dev/null || true)" ] ||
    die "$client shows an error or a question after the first receive (see $dir)"
  sleep 0.5
}

receive() {
  local dir=$1 count=$2 pid w md inbox
  pid=$(cat "$dir/pid"); w=$(cat "$dir/window"); md=$(cat "$dir/maildir"); inbox=$dir/home/Mail/inbox
  kill -0 "$pid" 2>/dev/null || die "the client is not running"
  # The polls sleep without a process of their own (a read that times out on
  # a pipe nobody writes) and look at the server only until it is empty, so
  # that the measuring takes little from the client on a busy machine: one
  # look at 1,000 names costs about 1.5 ms, every 20 ms.
  rm -f "$dir/nap"; mkfifo "$dir/nap"; exec {nap}<>"$dir/nap"
  local t0 t empty_ms=-1 stored_ms=-1 deadline
  focus "$w"
  # The clock runs from the keypress, as Korvex's from the click.
  now_ms; t0=$NOW; deadline=$((t0 + 600000))
  press_receive_all
  while :; do
    read -r -t 0.02 -u "$nap" _ || true
    now_ms; t=$NOW
    if [ "$empty_ms" -lt 0 ]; then
      server_count "$md"; [ "$N" = 0 ] && empty_ms=$((t - t0))
    fi
    # The client's inbox, once the server is empty (a client may store
    # after it deleted on the server).
    [ "$empty_ms" -ge 0 ] && inbox_count "$inbox" && [ "$N" -ge "$count" ] && { stored_ms=$((t - t0)); break; }
    [ "$t" -gt "$deadline" ] && break
    [ -d "/proc/$pid" ] || break
  done
  exec {nap}>&-; rm -f "$dir/nap"
  local hwm
  hwm=$(awk '/^VmHWM:/{print $2}' "/proc/$pid/status" 2>/dev/null || echo -1)
  inbox_count "$inbox"
  echo "empty_ms=$empty_ms stored_ms=$stored_ms hwm_kb=${hwm:--1} stored=$N"
}

stop() {
  local dir=$1 pid i
  [ -s "$dir/pid" ] || return 0
  pid=$(cat "$dir/pid")
  # Only the process this script started, checked by its name.
  if kill -0 "$pid" 2>/dev/null && grep -qx "$(cat "$dir/client" | cut -c1-15)" "/proc/$pid/comm" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/pid"
}

[ -n "${DISPLAY:-}" ] || die "no DISPLAY (run.sh --peers starts an Xvfb)"
cmd=${1:-}; shift || true
case "$cmd" in
  start) [ $# = 3 ] || die "start CLIENT DIR SERVERS_ENV"; start "$@" ;;
  receive) [ $# = 2 ] || die "receive DIR COUNT"; receive "$@" ;;
  stop) [ $# = 1 ] || die "stop DIR"; stop "$@" ;;
  *) die "usage: peer.sh start|receive|stop ..." ;;
esac
