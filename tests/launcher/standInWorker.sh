#!/usr/bin/env bash
# A stand-in for the batch worker (or, given a file as its argument, for a
# program run on one file), whose every file name says how it behaves:
#   ok      writes a line and answers 0      fail     writes a line and answers 1
#   crash   dies of SIGSEGV                  exit3    ends with status 3
#   twice   answers twice                    late     answers after a while
#   split   answers in pieces                other    answers for a file it was not given
#   garbage writes what is no answer         closes   closes its replies and ends
#   quiet   ends with 0 without answering    hang     stops the supervisor, then sleeps
#   stubborn  as hang, ignoring SIGTERM      descriptors  writes its open descriptors
#   chatty  writes more than a pipe holds before it answers
#   orphan  answers, leaving a process of its own running
answer() { printf '%s\0%s\0' "$1" "$2" >&3; }

act() { # INDEX NAME
  local index=$1 name=${2##*/}
  case $name in
    ok*) echo "did $name"; answer "$index" 0 ;;
    fail*) echo "could not do $name" >&2; answer "$index" 1 ;;
    crash*) echo "about to crash"; kill -SEGV $$ ;;
    exit3*) exit 3 ;;
    twice*) answer "$index" 0; answer "$index" 0 ;;
    late*) sleep 0.3; answer "$index" 0 ;;
    split*) printf '%s' "$index" >&3; sleep 0.1; printf '\0' >&3; sleep 0.1; printf '0\0' >&3 ;;
    other*) answer 999 0 ;;
    garbage*) printf 'no answer at all\0here\0' >&3 ;;
    closes*) exec 3>&-; exit 0 ;;
    quiet*) exit 0 ;;
    hang*) kill -TERM $PPID; exec sleep 600 ;;
    stubborn*) trap '' TERM; kill -TERM $PPID; exec sleep 600 ;;
    descriptors*) ls /proc/self/fd | tr '\n' ' '; answer "$index" 0 ;;
    orphan*) sleep 0.3 & answer "$index" 0 ;;
    chatty*) head -c 200000 /dev/zero | tr '\0' 'x'; echo; answer "$index" 0 ;;
  esac
}

if (($# == 1)); then
  # A program of its own for one file: its status is the answer.
  answer() { exit "$2"; }
  act 0 "$1"
  exit 0
fi
while IFS= read -r -d '' index && IFS= read -r -d '' name; do
  act "$index" "$name"
done
