# The verdict names the archive as given, lossily when it is not UTF-8; a test
# that fails prints nothing on standard output, in either form.
mkdir in
printf 'hello\n' > in/a.txt
ln -s a.txt in/link
"$KOV" create -o a.kov in >/dev/null
"$KOV" test a.kov
"$KOV" test --json a.kov
"$KOV" test --json a.kov | tr -d '\n' | wc -c
cp a.kov $'bad\xff"\\.kov'
"$KOV" test $'bad\xff"\\.kov'
"$KOV" test --json $'bad\xff"\\.kov'
"$KOV" keygen k.kovkey >/dev/null
"$KOV" create -o sealed.kov in --key-file k.kovkey >/dev/null
"$KOV" test --json sealed.kov --key-file k.kovkey
# One byte inside the zstd frame of a.txt (whose bytes are always the same)
# changed: the index still opens, the test fails.
cp a.kov damaged.kov
printf 'Z' | dd of=damaged.kov bs=1 seek=70 conv=notrunc status=none
"$KOV" list damaged.kov >/dev/null && echo "damaged archive lists"
"$KOV" test damaged.kov
echo "status $?"
"$KOV" test --json damaged.kov
echo "status $?"
