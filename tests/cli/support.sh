# Sourced by the cases that run many commands; run_case.sh sets $KOV and
# $CHECK_LOGS (a directory outside the case's own).

# check ARGS...: runs kov with ARGS and prints "ARGS -> STATUS", its standard
# error (the first line on the same line, every line that is not empty after a
# space), then its standard output.
check() {
  "$KOV" "$@" >"$CHECK_LOGS/stdout" 2>"$CHECK_LOGS/stderr"
  echo "$* -> $?$(sed 's/^./ &/' "$CHECK_LOGS/stderr")"
  cat "$CHECK_LOGS/stdout"
}

# above DIR: the directories above DIR up to the root of its file system, one a
# line, nearest first.
above() {
  local dir=$1 device
  device=$(stat -c %d "$dir")
  while [ "$dir" != / ]; do
    dir=$(dirname "$dir")
    [ "$(stat -c %d "$dir")" = "$device" ] || break
    echo "$dir"
  done
}
