#!/usr/bin/env bash
# xvfb-run-private passes the command's arguments, input, output and exit status
# through unchanged, and leaves no server, lock file or socket behind, also
# when the command fails or dies by a signal.
set -uo pipefail
wrapper=$1
connect_repeatedly=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

# The command under test records its display and the server's pid (the
# server is the command's sibling); once the wrapper has returned, the server,
# its socket and any lock file must be gone.
record_server='echo "${DISPLAY#:}" >"$1"; pgrep -P "$PPID" -x Xvfb >"$1.pid"'

check_server_gone() { # description
  local display_number server_pid
  display_number=$(cat "$scratch/display")
  server_pid=$(cat "$scratch/display.pid")
  if [[ -z "$display_number" || -z "$server_pid" ]]; then
    fail "$1: the command found no private server"
    return
  fi
  check "$1: lock file" "" "$(ls "/tmp/.X$display_number-lock" 2>/dev/null)"
  check "$1: socket" "" "$(ls "/tmp/.X11-unix/X$display_number" 2>/dev/null)"
  check "$1: server process" "gone" "$(kill -0 "$server_pid" 2>/dev/null && echo running || echo gone)"
}

env -u DISPLAY "$wrapper" bash -c "$record_server"'; xdpyinfo >/dev/null || exit 99; echo out; echo err >&2; exit 7' \
  _ "$scratch/display" >"$scratch/out" 2>"$scratch/err"
check "failing command: status" 7 "$?"
check "failing command: standard output" out "$(cat "$scratch/out")"
check "failing command: standard error" err "$(cat "$scratch/err")"
check_server_gone "failing command"

"$wrapper" bash -c "$record_server"'; kill -SEGV $$' _ "$scratch/display" 2>/dev/null
check "command killed by a signal: status" $((128 + 11)) "$?"
check_server_gone "command killed by a signal"

# Many short clients one after another, as a test suite runs them: each must
# get its connection, also when it arrives as the previous one leaves.
refused=$("$wrapper" "$connect_repeatedly" 300 2>/dev/null)
check "short clients one after another: refused connections" 0 "$refused"

# Only the command, with the cookie it was given, may connect: not a client
# without it, and not another user (who cannot read the authority file).
connections=$("$wrapper" bash -c '
  xdpyinfo >/dev/null 2>&1 && echo -n own
  XAUTHORITY=/dev/null xdpyinfo >/dev/null 2>&1 && echo -n ",without the cookie"
  if [[ $(id -u) == 0 ]]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups xdpyinfo >/dev/null 2>&1 && echo -n ",another user"
    setpriv --reuid=nobody --regid=nogroup --clear-groups cat "$XAUTHORITY" >/dev/null 2>&1 && echo -n ",its cookie read"
  fi')
check "who may connect" "own" "$connections"

output=$("$wrapper" printf '[%s]' 'two words' '' '*' '--help')
check "arguments" "[two words][][*][--help]" "$output"

check "standard input" "from a pipe" "$(echo 'from a pipe' | "$wrapper" cat)"

"$wrapper" 2>/dev/null
check "no command: status" 2 "$?"

end_checks
