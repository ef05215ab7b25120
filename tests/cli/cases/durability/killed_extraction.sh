# kill -9 in the middle of an extraction leaves no final name that is not
# complete: a file is named only once it is whole and on disk.
mkdir in
printf 'first' > in/a
head -c 300000000 /dev/urandom > in/b
printf 'last' > in/c
"$KOV" create -o a.kov in >/dev/null
"$KOV" extract --no-progress a.kov -d out >/dev/null &
pid=$!
# Wait until the large file is being written under its temporary name (the
# small ones have temporary names too, for a moment: only b's grows past 1 MiB).
until [ -n "$(find out/in -maxdepth 1 -name '.kov-partial-*' -size +1M 2>/dev/null)" ]; do
  kill -0 "$pid" 2>/dev/null || break
done
kill -9 "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
shopt -s nullglob
for f in out/in/*; do
  cmp -s "$f" "in/${f##*/}" || echo "incomplete under its final name: $f"
done
compgen -G 'out/in/.kov-partial-*' >/dev/null && echo "a temporary name is left, as after any kill"
[ -e out/in/b ] && echo "b was complete before the kill"
exit 0
