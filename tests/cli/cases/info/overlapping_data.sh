# Three files of the same content, then the index patched so that b and c point
# at the data of a (the archive ID does not cover offsets and sizes): every
# entry would decode and check, so the sizes reported and the work done would
# grow with each extra entry. Every command refuses the index instead.
u() {  # u WIDTH OFFSET: the unsigned little-endian integer of patched.kov at OFFSET
  od -An -tu"$1" -j "$2" -N "$1" patched.kov | tr -d ' '
}
put() {  # put OFFSET HEX: writes the bytes HEX at OFFSET
  printf "$(printf '%s' "$2" | sed 's/../\\x&/g')" | dd of=patched.kov bs=1 seek="$1" conv=notrunc status=none
}
mkdir in
head -c 100000 /dev/zero > in/a
cp in/a in/b
cp in/a in/c
"$KOV" create -o good.kov in >/dev/null
"$KOV" test good.kov
cp good.kov patched.kov
index=$(u 8 48)
length=$(u 8 56)
record=$((index + 112))
for ((i = 0; i < 4; i++)); do  # the entries in, in/a, in/b, in/c
  if [ "$i" = 1 ]; then
    data=$(od -An -tx1 -j $((record + 28)) -N 16 patched.kov | tr -d ' \n')
  elif [ "$i" -gt 1 ]; then
    put $((record + 28)) "$data"
  fi
  record=$((record + 76 + $(u 4 $((record + 4)))))
done
digest=$(dd if=patched.kov bs=1 skip="$index" count="$length" status=none | sha256sum | cut -c1-64)
put $((index + length)) "$digest"
put $((index + length + 56)) "$digest"
for command in list info test "extract -d dest"; do
  "$KOV" $command patched.kov >stdout 2>stderr
  echo "$command -> $? $(cat stderr)"
  [ -s stdout ] && echo "unexpected output: $(cat stdout)"
done
[ -e dest ] || echo "no destination made"
