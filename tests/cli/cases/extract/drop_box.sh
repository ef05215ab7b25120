# A directory that others may search and write but not read (a drop box, mode
# 0733, someone else's) takes extracted entries, as it does tar's: inside the
# destination or as the destination itself. One that may not be written still
# refuses them.
if [ "$(id -u)" != 0 ]; then
  echo "acting as a second user (nobody) needs root" >.skip
  exit 0
fi
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
chmod 0755 .
cp "$KOV" ./kov
mkdir -p in/box/sub
printf 'one' >in/box/a
printf 'two' >in/box/sub/b
ln -s a in/box/l
./kov create --no-progress -o a.kov in/box >/dev/null
chmod 0644 a.kov
mkdir mine
chown 65534 mine
mkdir -m 0733 mine/box
as_nobody ./kov extract --no-progress a.kov -d mine; echo "into a tree holding a drop box: $?"
mkdir -m 0733 drop
# LeakSanitizer cannot run under ptrace; the sanitizer build runs this case too.
ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=sync,syncfs -o trace \
  setpriv --reuid=65534 --regid=65534 --clear-groups ./kov extract --no-progress a.kov -d drop
echo "into a drop box: $?"
# The destination cannot be read, so its file system is flushed whole, through
# a directory the run made there: syncfs reports its errors, sync would not.
echo "whole flushes: $(sed -E 's/^[0-9]+ +//; s/\(.*//' trace | sort | uniq -c | xargs)"
mkdir -m 0755 closed
as_nobody ./kov extract --no-progress a.kov -d closed 2>&1; echo "into a directory nobody may not write: $?"
chmod 0755 mine/box drop
find mine drop closed -printf '%p %u\n' | sort
