# A run after a failed one commits into directories that the failed run made
# and never flushed: before its result line those are flushed too, and every
# directory above the destination up to the root of its file system.
. "$CASE_SUPPORT"
mkdir -p in/d/x/y
printf 'a' > in/d/a
printf 'z' > in/d/x/y/z
printf 'last' > in/d/zz
"$KOV" create -o a.kov in/d >/dev/null
mkdir -p dest/d
printf 'in the way' > dest/d/zz
"$KOV" extract --no-progress a.kov -d dest
echo "first run: $?"
here=$(pwd -P)
ASAN_OPTIONS=detect_leaks=0 strace -f -qq -y -e trace=fsync,io_uring_setup -e inject=io_uring_setup:error=ENOSYS -o trace \
  "$KOV" extract --no-progress --overwrite a.kov -d dest
flushed=$(sed -n -E 's/^[0-9]+ +//; s/^fsync\([0-9]+<(.*)>\) += 0$/\1/p' trace |
  sed -E "s|^$here/||; s|^$here\$|.|" | grep -v kov-partial | sort)
grep -v '^/' <<<"$flushed"
[ "$(grep '^/' <<<"$flushed")" = "$(above "$here" | sort)" ] &&
  echo "and each one above . up to the root of its file system"
