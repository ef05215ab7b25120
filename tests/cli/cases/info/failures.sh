# A missing, a damaged and a future archive fail every command with the status
# of the error's kind and print nothing on standard output.
mkdir in
printf 'hello\n' > in/a.txt
"$KOV" create -o good.kov in >/dev/null
cp good.kov damaged.kov  # the first byte of the footer magic becomes X
printf 'X' | dd of=damaged.kov bs=1 seek=$(($(stat -c %s good.kov) - 56)) conv=notrunc status=none
cp good.kov future.kov  # version 9.9.9
printf '\x09\x09\x09' | dd of=future.kov bs=1 seek=8 conv=notrunc status=none
for archive in missing.kov damaged.kov future.kov; do
  for command in list "list --json" info "info --json" test "test --json" "extract -d dest"; do
    "$KOV" $command $archive >stdout 2>stderr
    echo "$command $archive -> $? $(cat stderr)"
    [ -s stdout ] && echo "unexpected output: $(cat stdout)"
  done
done
[ -e dest ] || echo "no destination made"
