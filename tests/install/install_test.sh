#!/usr/bin/env bash
# cmake --install into a per-user prefix (with a blank in its path, as a home
# folder may have): the program folder, the link on PATH, the desktop entry and
# the icon are laid out, the entry is valid and starts the installed program,
# which then finds its data folder; reinstalling keeps the user's data.
#
# usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
tmp=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$tmp/home of user/.local"
install_to() { cmake --install "$build" --prefix "$1" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }; }
install_to "$prefix"

program="$prefix/lib/korvex"
[ -x "$program/korvex" ] || fail "no executable in the program folder"
[ -d "$program/★MAilData" ] || fail "no ★MAilData"
[ -d "$program/添付フォルダ" ] || fail "no 添付フォルダ"
# Mail and the password live there: the two folders are the user's alone.
for d in "★MAilData" "添付フォルダ"; do
  [ "$(stat -c %a "$program/$d")" = 700 ] || fail "$d is $(stat -c %a "$program/$d"), not 700"
done
grep -q "^\[gmail\]" "$program/oauth-presets.ini" || fail "no OAuth 2.0 presets beside the program"
[ "$(readlink -f "$prefix/bin/korvex")" = "$(readlink -f "$program/korvex")" ] || fail "bin/korvex does not lead to the program"
grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/korvex.svg" || fail "no icon"
# The help page that "HP" opens, with every picture it shows.
help="$program/help/index.html"
grep -q '<h1>Korvex</h1>' "$help" || fail "no help page rendered from the README"
for img in $(grep -o '<img src="[^"]*"' "$help" | sed 's/<img src="//; s/"$//'); do
  [ -s "$program/help/$img" ] || fail "the help page shows a missing picture: $img"
done
# Nothing is written outside the prefix, so a user can install without root.
while IFS= read -r f; do
  case "$f" in "$prefix"/*) ;; *) fail "installed outside the prefix: $f" ;; esac
done <"$build/install_manifest.txt"

entry="$prefix/share/applications/korvex.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
grep -qx 'Icon=korvex' "$entry" || fail "the entry names another icon"
# The Exec line as a launcher reads it: one quoted argument, the escapes undone.
exec_line=$(sed -n 's/^Exec=//p' "$entry")
exe=$(python3 - "$exec_line" <<'PY'
import shlex, sys
line = sys.argv[1].replace("\\\\", "\\")   # the desktop file's string escape
args = shlex.split(line.replace("%%", "%"))
print(args[0] if len(args) == 1 else "")
PY
)
[ "$exe" = "$program/korvex" ] || fail "Exec starts '$exe', not the installed program"

# Started from the entry, the program finds its data folder: its first start
# writes the connection mode there.
(cd "$tmp" && QT_QPA_PLATFORM=offscreen exec "$exe" >"$tmp/run.log" 2>&1) &
pid=$!
for _ in $(seq 200); do
  [ -s "$program/★MAilData/option.ini" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$tmp/run.log" >&2; fail "the installed program ended at start"; }
  sleep 0.05
done
[ -s "$program/★MAilData/option.ini" ] || fail "the installed program wrote no option.ini"
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""

# Installing again (an update) keeps what the user has.
echo keep >"$program/★MAilData/qlmdata2.data"
install_to "$prefix"
[ "$(cat "$program/★MAilData/qlmdata2.data")" = keep ] || fail "reinstalling touched the data folder"

# A data folder brought over from Windows as ★MailData stays the only one.
other="$tmp/other"
mkdir -p "$other/lib/korvex/★MailData"
install_to "$other"
[ "$(ls "$other/lib/korvex" | grep -ci 'maildata')" = 1 ] || fail "a second data folder beside ★MailData"
echo "install test passed"
