#!/usr/bin/env bash
# Runs the given scenarios of glsl-scenarios in one process under valgrind and
# fails when memory the shader library allocated is definitely lost. Mesa and
# GLX lose blocks of their own, while the window is made and inside
# glLinkProgram; those are not counted. Only leaks are looked for, so
# valgrind's tracking of undefined values, which costs half its time, is off.
#   checkBuildsLeakNothing.sh GLSL_SCENARIOS SCENARIO...
set -euo pipefail
scenarios=$1
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if ! valgrind --leak-check=full --show-leak-kinds=definite --undef-value-errors=no --log-file="$log" \
    "$scenarios" "$@" >/dev/null; then
  echo "the scenarios failed under valgrind"
  exit 1
fi
if ! grep -q 'LEAK SUMMARY\|All heap blocks were freed' "$log"; then
  echo "valgrind gave no leak summary"
  exit 1
fi
# A loss record runs from its "definitely lost" line to the next line that is
# only the process-id prefix. It is the library's when the code that asked for
# the block, the first frame after the allocator that is not inside the
# standard library, is the library's; blocks the driver allocates while the
# library calls into it are the driver's. The record's later frames name the
# scenario.
library_losses=$(awk '
  /are definitely lost/ { record = $0; inRecord = 1; decided = 0; ours = 0; next }
  inRecord && /^==[0-9]+== *$/ { if (ours) print record "\n"; inRecord = 0; next }
  inRecord {
    record = record "\n" $0
    if (!decided && / by 0x/ && !/ std::| __gnu_cxx::/) { decided = 1; ours = /vexo::/ }
  }
' "$log")
if [[ -n "$library_losses" ]]; then
  echo "the shader library lost memory:"
  echo "$library_losses"
  exit 1
fi
echo "nothing of the library lost in: $*"
