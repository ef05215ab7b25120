# sign writes a 104-byte owner-only signature of any file, the same one every time.
umask 022
"$KOV" keygen k.kovkey >/dev/null
head -c 100000 /dev/zero | tr '\0' 'x' > data.bin
"$KOV" sign data.bin --signing-key k.kovkey -o data.sig
echo "status $?"
stat -c '%a %s' data.sig
head -c 8 data.sig | od -An -c
"$KOV" sign data.bin --signing-key k.kovkey --output again.sig
cmp -s data.sig again.sig && echo "signing is deterministic"
: > empty
"$KOV" sign empty --signing-key k.kovkey -o empty.sig
echo "empty file: status $?"
cmp -s data.sig empty.sig || echo "signatures of different files differ"
