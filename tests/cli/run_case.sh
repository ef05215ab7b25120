#!/usr/bin/env bash
# run_case.sh KOV CASE.sh: runs one case in a scratch directory and compares its
# standard output, standard error and exit status with the files beside it. A
# case that writes .skip in its directory is skipped (status 77) for the
# reason it holds.
set -u
kov=$1
case_script=$2
base=${case_script%.sh}
support=$(cd "$(dirname "$0")" && pwd)/support.sh
scratch=$(mktemp -d)
logs=$(mktemp -d)
trap 'rm -rf "$scratch" "$logs"' EXIT

(cd "$scratch" && env -u LC_ALL -u LC_MESSAGES -u LANG KOV="$kov" CASE_DIR="$(dirname "$case_script")" \
  CASE_SUPPORT="$support" CHECK_LOGS="$logs" \
  bash "$case_script" >"$scratch/.stdout" 2>"$scratch/.stderr" </dev/null)
status=$?
# A case that cannot run here says why in .skip.
if [ -f "$scratch/.skip" ]; then
  echo "skipped: $(cat "$scratch/.skip")"
  exit 77
fi

failed=0
compare() {  # compare NAME ACTUAL EXPECTED_FILE
  local expected=/dev/null
  [ -f "$3" ] && expected=$3
  if ! cmp -s "$2" "$expected"; then
    echo "--- $1 differs (expected, actual):"
    diff -u "$expected" "$2" | head -n 60
    failed=1
  fi
}
compare stdout "$scratch/.stdout" "$base.stdout"
compare stderr "$scratch/.stderr" "$base.stderr"
expected_status=0
[ -f "$base.exit" ] && expected_status=$(cat "$base.exit")
if [ "$status" != "$expected_status" ]; then
  echo "--- exit status $status, expected $expected_status"
  failed=1
fi
exit $failed
