# A line too long to be an answer asks again, and is read without holding it:
# ten million bytes before the line feed cost no more memory than a short line.
mkdir d
printf 'hello\n' > d/f
"$KOV" create -o a.kov d >/dev/null
rm -r d
here=$(pwd -P)
answer() {  # answer WRITER: the shortcut answered by what WRITER prints; its peak memory in KiB in ./peak
  "$1" | /usr/bin/time -f %M -o peak "$KOV" a.kov >stdout 2>stderr
  echo "status $? $(cat stdout)" | sed "s|$here|CWD|g"
  sed "s|$here|CWD|g" stderr; echo
  cat d/f && rm -r d
}
short_line() { printf 'maybe\ny\n'; }
long_line() { head -c 10000000 /dev/zero | tr '\0' a; printf '\ny\n'; }
answer short_line
short=$(cat peak)
answer long_line
long=$(cat peak)
[ $((long - short)) -lt 4096 ] && echo "memory bounded" || echo "peak grew from $short KiB to $long KiB"
