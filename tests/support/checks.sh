# Sourced by the shell tests: `check DESCRIPTION EXPECTED ACTUAL` counts a
# failure when the two differ, `fail DESCRIPTION` counts one outright, and
# `end_checks` ends the test with the verdict.
failures=0

check() { # description expected actual
  if [[ "$2" != "$3" ]]; then
    printf 'FAIL: %s:\n  expected [%s]\n  got      [%s]\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

fail() { # description
  echo "FAIL: $1"
  failures=$((failures + 1))
}

end_checks() {
  if ((failures > 0)); then
    echo "$failures checks failed"
    exit 1
  fi
  echo "all checks passed"
  exit 0
}
