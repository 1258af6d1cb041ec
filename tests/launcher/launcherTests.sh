#!/usr/bin/env bash
# The commands as users run them: the build tree's launchers on real images,
# on the test's display and, with DISPLAY unset, on their own private server;
# then the installed prefix, its man pages and documentation, GNU parallel
# over it, and the Debian package's control fields.
#   launcherTests.sh BUILD_DIR VERSION FAKETIME_LIBRARY
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
build=$1
version=$2
faketime_library=$3
bin=$build/launcher/bin
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

run() { # COMMAND... : status, standard output and error into status, out, err
  "$@" >out 2>err
  echo $? >status
}

pixels() { /usr/bin/convert "$1" -depth 8 rgb:- | md5sum; }

/usr/bin/convert -size 128x128 -seed 3 plasma:fractal -depth 8 PNG24:a.png
/usr/bin/convert -size 64x32 gradient:red-blue -depth 8 PNG24:b.png
echo "no image" >bad.png

# A batch with a bad file in the middle, without a display; then its outputs
# decoded in a batch give the pictures back.
run env -u DISPLAY "$bin/pixveil" a.png bad.png b.png
check "batch: status" 1 "$(cat status)"
check "batch: standard output" "" "$(cat out)"
check "batch: the failure names its file" "pixveil: bad.png: failed with status 1; its output:" \
  "$(grep -v '^  ' err | head -1)"
check "batch: summary" "pixveil: 2 files encoded, 1 failed" "$(tail -1 err)"
check "batch: no progress line off a terminal" 0 "$(grep -c $'\r' err)"
check "batch: outputs" "a_enc.bmp b_enc.bmp" "$(echo *_enc.bmp)"
run env -u DISPLAY "$bin/pixveil-decode" a_enc.bmp b_enc.bmp
check "decoding batch: summary" "pixveil-decode: 2 files decoded" "$(cat err)"
check "decoding batch: the picture comes back" "$(pixels a.png)" "$(pixels a_dec.png)"
run "$bin/pixveil-decode" --bmp a_enc.bmp b_enc.bmp
check "decoding batch as BMP" "0|$(pixels a.png)" "$(cat status)|$(pixels a_dec.bmp)"
run "$bin/pixveil-decode" -o x.png a_enc.bmp b_enc.bmp
check "decoding batch: -o refused" "2|pixveil-decode: -o names the output of a single file" "$(cat status)|$(head -1 err)"
run env -u DISPLAY "$bin/pixveil-decode" -o - a_enc.bmp
check "single file to standard output" "0|$(pixels a.png)" "$(cat status)|$(/usr/bin/convert png:out -depth 8 rgb:- | md5sum)"

# A batch's workers encode file after file in one process; each file's output
# (at a pinned clock) and a failure's text are still exactly a single run's.
pinned=(env LD_PRELOAD="$faketime_library" FAKETIME="2026-01-01 00:00:00" TZ=UTC DONT_FAKE_MONOTONIC=1
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0:detect_leaks=0")
rm -f ./*_enc.bmp
"${pinned[@]}" "$build/encoder/pixveil" b.png >/dev/null 2>&1
mv b_enc.bmp single_b.bmp
"$build/encoder/pixveil" bad.png >single 2>&1
run "${pinned[@]}" "$bin/pixveil" -j 1 a.png b.png bad.png
check "worker batch: status and summary" "1|pixveil: 2 files encoded, 1 failed" "$(cat status)|$(tail -1 err)"
check "worker batch: the second file of a worker" "$(md5sum <single_b.bmp)" "$(md5sum <b_enc.bmp)"
check "worker batch: a failure after others in its worker" "$(LC_ALL=C sed 's/[[:cntrl:]]/?/g; s/^/  /' single)" \
  "$(sed -n 's/^  /  /p' err)"
rm -f ./*_enc.bmp single_b.bmp single

# A name holding an escape sequence is shown with "?" for its control
# characters, in the failure line and in the program's output under it.
escaped=$'bad\e[2J.png'
cp bad.png "$escaped"
run "$bin/pixveil" a.png "$escaped"
check "escape sequence in a name: shown as ?" "0|pixveil: bad?[2J.png: failed with status 1; its output:" \
  "$(grep -c $'\e' err)|$(grep -v '^  ' err | head -1)"
rm -f "$escaped" ./*_enc.bmp

# Two files whose outputs would have one name are refused before any is
# encoded; the same file twice is not.
cp a.png a.jpg
run "$bin/pixveil" b.png a.png ./a.jpg
check "colliding outputs" "2|pixveil: a.png and ./a.jpg would both be written to ./a_enc.bmp|" \
  "$(cat status)|$(head -1 err)|$(echo *_enc.bmp | grep -v '\*')"
run "$bin/pixveil" a.png ./a.png
check "one file twice" "0" "$(cat status)"
rm -f a.jpg ./*_enc.bmp

# A malformed seed is refused at once, not taken for a second file.
for seed in 12abc 1e9 "" " 5" 0x10 +5; do
  run "$bin/pixveil-decode" a_enc.bmp "$seed"
  check "malformed seed '$seed'" "2|pixveil-decode: '$seed' is no file and no seed: a seed is a whole number from 0 to 4294967295" \
    "$(cat status)|$(head -1 err)"
done

# -O: a read-only folder of inputs is encoded into another folder, and its
# outputs decoded into a third; a missing folder is refused before any work.
mkdir inputs encoded decoded
cp a.png b.png inputs/
chmod 555 inputs
run "$bin/pixveil" -O encoded inputs/a.png inputs/b.png
check "output folder: encoded" "0|a_enc.bmp b_enc.bmp|a.png b.png" "$(cat status)|$(ls encoded | paste -sd' ')|$(ls inputs | paste -sd' ')"
run "$bin/pixveil-decode" --output-dir decoded encoded/a_enc.bmp encoded/b_enc.bmp
check "output folder: decoded" "0|$(pixels a.png)" "$(cat status)|$(pixels decoded/a_dec.png)"
run "$bin/pixveil" -O missing a.png b.png
check "output folder: missing" "2|pixveil: the output folder 'missing' does not exist: No such file or directory" \
  "$(cat status)|$(head -1 err)"
run "$bin/pixveil" -O encoded inputs/a.png a.png
check "output folder: two inputs meet in it" "2|pixveil: inputs/a.png and a.png would both be written to encoded/a_enc.bmp" \
  "$(cat status)|$(head -1 err)"
chmod 755 inputs
rm -rf inputs encoded decoded

# Names from standard input, and a progress line on a terminal.
rm -f ./*_enc.bmp
printf 'a.png\n\nb.png\n' | "$bin/pixveil" - 2>err
check "names from standard input" "pixveil: 2 files encoded|a_enc.bmp b_enc.bmp" "$(cat err)|$(echo *_enc.bmp)"
script -qec "'$bin/pixveil' a.png b.png" /dev/null >terminal
check "progress line on a terminal" 1 "$(grep -c $'\\[2/2\\] .*\r.*pixveil: 2 files encoded' terminal)"

# Each batch below runs in a session of its own, so that what is left of it
# is found by that session and ended by its process group alone: another run
# of Pixveil may share the machine. (setsid, started in the background, does
# not fork: the batch's process id is its session's and its process group's,
# which its processes keep.)
session_processes() { # SESSION: what still runs in it
  pgrep -s "$1" 2>/dev/null
}
wait_for_worker() { # SESSION: until a program of the batch runs, or it has ended
  until pgrep -s "$1" -f "libexec/pixveil/pixveil(-worker|-decode)?( |$)" >/dev/null || ! kill -0 "$1" 2>/dev/null; do
    sleep 0.01
  done
}
wait_for_session_end() { # SESSION: up to 10 s for its processes to go
  for _ in $(seq 1 100); do
    [[ -z $(session_processes "$1") ]] && return
    sleep 0.1
  done
}

# SIGTERM during a batch: the running program is stopped and leaves no
# temporary file, no further file is started, and the command ends by it.
setsid "$bin/pixveil" -j 1 a.png b.png a.png 2>err &
launcher=$!
wait_for_worker $launcher
kill -TERM $launcher
wait $launcher
check "stopped batch: status" 143 $?
check "stopped batch: summary" "not done (stopped by SIGTERM)" "$(tail -1 err | grep -o 'not done.*')"
wait_for_session_end $launcher
check "stopped batch: what is left" "" "$(ls pixveil.tmp.* 2>/dev/null; session_processes $launcher)"
kill -KILL -- -$launcher 2>/dev/null

# SIGKILL of a batch, on the display (the launcher is killed) and without one
# (the private server's wrapper is): within seconds no process of it remains
# and no temporary file is left beside the images.
for display in on off; do
  environment=(env)
  [[ $display == off ]] && environment=(env -u DISPLAY)
  setsid "${environment[@]}" "$bin/pixveil" -j 1 a.png b.png a.png b.png 2>err &
  top=$!
  wait_for_worker $top
  kill -KILL $top
  wait $top 2>/dev/null
  wait_for_session_end $top
  check "batch killed, display $display: what is left" "" "$(session_processes $top; ls pixveil.tmp.* 2>/dev/null)"
  # A survivor would hold the test's output open and keep ctest waiting.
  kill -KILL -- -$top 2>/dev/null
done

# A batch of good files between files that hold no image, and one whose
# standard output is closed: every file gets its status, and the summary
# always ends the run.
mkdir mixed
for n in $(seq 1 6); do
  cp b.png "mixed/good$n.png"
  cp bad.png "mixed/bad$n.png"
done
run "$bin/pixveil" -j 2 -- mixed/*.png
check "mixed batch" "1|pixveil: 6 files encoded, 6 failed|6" \
  "$(cat status)|$(tail -1 err)|$(ls mixed/good*_enc.bmp | wc -l)"
rm -f mixed/*_enc.bmp
"$bin/pixveil" -j 2 -- mixed/good*.png >&- 2>err
check "batch with standard output closed" "0|pixveil: 6 files encoded|6" \
  "$?|$(tail -1 err)|$(ls mixed/good*_enc.bmp | wc -l)"
rm -rf mixed

# One file, on a display: exactly the program's output and status, also for
# the decoder's file-and-seed form and for no file at all.
for command in "pixveil bad.png" "pixveil" "pixveil-decode missing_enc.bmp 1234"; do
  read -r name arguments <<<"$command"
  program=$build/launcher/libexec/pixveil/$name
  run "$program" $arguments
  expected=$(cat status out err)
  run "$bin/$name" $arguments
  check "one file: $command" "$expected" "$(cat status out err)"
done

# Help, version and wrong options; a file named --help stays reachable.
for name in pixveil pixveil-decode; do
  run "$bin/$name" --help
  check "$name --help" "0|usage: $name [OPTION]..." "$(cat status)|$(head -1 out | cut -d' ' -f1-3)"
  check "$name --help: --keep-texture-size for the decoder alone" "$([[ $name == pixveil-decode ]] && echo 1 || echo 0)" \
    "$(grep -c -- --keep-texture-size out)"
  run "$bin/$name" --version
  check "$name --version" "0|$name $version" "$(cat status)|$(cat out)"
  run "$bin/$name" -x a.png
  check "$name -x" "2|$name: unknown option '-x' (a file of that name is ./-x)" "$(cat status)|$(head -1 err)"
done
run "$bin/pixveil" --keep-texture-size a.png
check "pixveil --keep-texture-size" "2|pixveil: unknown option '--keep-texture-size' (a file of that name is ./--keep-texture-size)" \
  "$(cat status)|$(head -1 err)"

# The decoder's --keep-texture-size goes to the program before the file, for
# one file, a file and its seed, and each file of a batch, and every name
# after "--", also one read through "-", reaches it as a name: a stand-in
# decoder in a prefix of its own records what every run was given.
standin=$scratch/standin
mkdir -p "$standin/bin" "$standin/libexec/pixveil"
cp "$bin/pixveil-decode" "$standin/bin/"
cp "$build/launcher/libexec/pixveil/pixveil-launch" "$standin/libexec/pixveil/"
printf '#!/bin/sh\necho "$*" >>%q\n' "$standin/runs" >"$standin/libexec/pixveil/pixveil-decode"
chmod +x "$standin/libexec/pixveil/pixveil-decode"
"$standin/bin/pixveil-decode" --keep-texture-size a_enc.bmp
"$standin/bin/pixveil-decode" a_enc.bmp --keep-texture-size 1234
"$standin/bin/pixveil-decode" -j 1 a_enc.bmp --keep-texture-size b_enc.bmp 2>/dev/null
"$standin/bin/pixveil-decode" -- --bmp
echo "--keep-texture-size" | "$standin/bin/pixveil-decode" -j 1 - -- --bmp 2>/dev/null
check "options and names for every run" \
  "--keep-texture-size -- a_enc.bmp|--keep-texture-size -- a_enc.bmp 1234|--keep-texture-size -- a_enc.bmp|--keep-texture-size -- b_enc.bmp|-- --bmp|-- --keep-texture-size|-- --bmp" \
  "$(paste -sd'|' "$standin/runs")"

cp a.png ./--help
run "$bin/pixveil" ./--help
check "a file named --help" "0|--help_enc.bmp" "$(cat status)|$(ls -- --help_enc.bmp)"

# A replaced private output stays private; names up to the longest whose
# output fits the file system (255 bytes) are written.
chmod 600 a_enc.bmp
"$bin/pixveil" a.png >/dev/null
check "a replaced 600 output" 600 "$(stat -c %a a_enc.bmp)"
long240=$(printf 'n%.0s' {1..240})
long247=$(printf 'm%.0s' {1..247})
cp a.png "$long240.png"
cp a.png "$long247.png"
run "$bin/pixveil" "$long240.png" "$long247.png"
check "long names" "0|2" "$(cat status)|$(ls "${long240}_enc.bmp" "${long247}_enc.bmp" | wc -l)"

# Installed: no display needed, man pages render without warnings.
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null || check "cmake --install" 0 $?
rm -f ./*_enc.bmp ./*_dec.bmp ./*_dec.png
run env -u DISPLAY "$prefix/bin/pixveil" b.png
check "installed pixveil" "0|b_enc.bmp" "$(cat status)|$(ls b_enc.bmp)"
run env -u DISPLAY "$prefix/bin/pixveil-decode" b_enc.bmp
check "installed pixveil-decode" "0|b_dec.png" "$(cat status)|$(ls b_dec.png)"
for name in pixveil pixveil-decode; do
  page=$prefix/share/man/man1/$name.1
  check "man page of $name" "1|" "$(MANWIDTH=80 man --warnings -l "$page" 2>err | grep -c '^NAME$')|$(cat err)"
done

# The installed README's links to its pages lead to pages installed beside it.
docdir=$prefix/share/doc/pixveil
pages=$(grep -o '](docs/[^)#]*' "$docdir/README.md" | cut -c3- | sort -u)
check "the README links to pages in docs/" 1 "$([[ -n $pages ]] && echo 1)"
for page in $pages; do
  [[ -f $docdir/$page ]] || fail "installed beside the README: $page, which it links to"
done

# The GNU parallel example of docs/many-machines.md, with the local machine as
# the only one.
rm -f ./*_enc.bmp
printf '%s\n' a.png b.png | PATH=$prefix/bin:$PATH env -u DISPLAY parallel --sshlogin 1/: -N 100 pixveil -- \
  2>err
status=$?
check "GNU parallel" "0|a_enc.bmp b_enc.bmp" "$status|$(echo *_enc.bmp)"

# The package names the Debian package of every library the programs link
# (but the sanitizers' runtimes of an instrumented build).
cpack -G DEB -B "$scratch/package" --config "$build/CPackConfig.cmake" >/dev/null || check "cpack" 0 $?
package=$(echo "$scratch"/package/pixveil_*.deb)
check "package name and version" "pixveil|$version" \
  "$(dpkg-deb -f "$package" Package)|$(dpkg-deb -f "$package" Version)"
# The names in Depends, one a line: entries and alternatives, no versions.
depends=$(dpkg-deb -f "$package" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g')
owner_of() { # PATH: the package that installed it, where /lib and /usr/lib are one
  { dpkg -S "$1" || dpkg -S "/usr$1" || dpkg -S "${1#/usr}"; } 2>/dev/null | head -1 | cut -d: -f1
}
for program in "$prefix"/libexec/pixveil/*; do
  [[ $(head -c 4 "$program") == $'\x7fELF' ]] || continue
  for library in $(objdump -p "$program" | awk '$1 == "NEEDED" && $2 !~ /san\.so/ { print $2 }'); do
    owner=$(owner_of "$(ldd "$program" | awk -v name="$library" '$1 == name { print $3 }')")
    grep -qx "${owner:-none}" <<<"$depends" || check "a Depends entry for $library" "$owner" ""
  done
done
for name in xvfb xauth libgl1-mesa-dri; do
  grep -qx "$name" <<<"$depends" || check "Depends names $name" "$name" ""
done

end_checks
