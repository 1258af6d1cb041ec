#!/usr/bin/env bash
# Runs the real encoder on every file of the malformed-image corpus (each copied
# into a scratch folder, since the output goes beside the input). Each run must
# end with status 0 and a complete output, or with status 1 and the image
# failure path: the two lines with a reason and no output file; a file cut in
# half, or named as refused, must fail. A signal or a run beyond the decoder's time limit
# fails the test.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
encoder=$1
corpus=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for source in "$corpus"/*; do
  name=$(basename "$source")
  case "$name" in README.md|INDEX.tsv) continue ;; esac
  cp "$source" "$scratch/$name"
  input="$scratch/$name"
  output="$scratch/${name%.*}_enc.bmp"
  # Files of a few hundred bytes get limits of about a second; 30 s is far
  # beyond them and only catches a hang.
  timeout -s KILL 30 "$encoder" "$input" >"$scratch/stdout" 2>"$scratch/stderr"
  status=$?
  reason=$(grep -A1 -x "Something is wrong with your image..." "$scratch/stdout" | sed -n "2s/^Texture loading failed: '\(.*\)'$/\1/p")
  case $status in
    0) [[ -s "$output" ]] || fail "$name: status 0 without an output file"
       [[ "$name" == *-cut-in-half.* ]] && fail "$name: encoded although cut in half"
       [[ "$name" == *-refused.* ]] && fail "$name: encoded although it must be refused" ;;
    1) [[ -n "$reason" ]] || fail "$name: status 1 without the image failure lines"
       [[ -e "$output" ]] && fail "$name: an output file after a failure" ;;
    *) fail "$name: status $status"; cat "$scratch/stderr" ;;
  esac
  echo "$name: status $status${reason:+, reason '$reason'}"
  rm -f "$output"
done
end_checks
