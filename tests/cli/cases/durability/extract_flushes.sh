# Extraction flushes every file before it gets its name, then every directory
# that holds an entry, the destination, and each directory above it up to the
# root of its file system. io_uring is refused here, so the flushes are the
# one-at-a-time ones strace can see.
. "$CASE_SUPPORT"
mkdir -p in/d/e
printf 'one' > in/d/a
printf 'two' > in/d/e/b
ln -s a in/d/l
"$KOV" create -o a.kov in/d >/dev/null
here=$(pwd -P)
# LeakSanitizer cannot run under ptrace; the sanitizer build runs this case too.
ASAN_OPTIONS=detect_leaks=0 strace -f -qq -y -e trace=fsync,io_uring_setup -e inject=io_uring_setup:error=ENOSYS -o trace \
  "$KOV" extract --no-progress a.kov -d new/out >/dev/null
flushed=$(sed -n -E 's/^[0-9]+ +//; s/^fsync\([0-9]+<(.*)>\) += 0$/\1/p' trace |
  sed -E "s|^$here/||; s|^$here\$|.|; s|/\.kov-partial-[0-9a-f]{32}|/TEMP|")
echo "files, in order:"
grep TEMP <<<"$flushed"
echo "directories:"
grep -v TEMP <<<"$flushed" | grep -v '^/' | sort
[ "$(grep -v TEMP <<<"$flushed" | grep '^/' | sort)" = "$(above "$here" | sort)" ] &&
  echo "and each one above . up to the root of its file system"
