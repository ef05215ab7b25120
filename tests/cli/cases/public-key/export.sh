# public-key writes the 32 raw key bytes, owner-only, and prints nothing.
umask 022
"$KOV" keygen k.kovkey >/dev/null
"$KOV" public-key k.kovkey k.pub
echo "status $?"
stat -c '%a %s' k.pub
printf 'archive bytes' > a.kov
"$KOV" sign a.kov --signing-key k.kovkey -o a.sig
# Bytes 8 to 40 of a signature file hold the signer's key.
dd if=a.sig bs=1 skip=8 count=32 status=none | cmp - k.pub && echo "same key as in the signature"
"$KOV" public-key k.kovkey again.pub
cmp -s k.pub again.pub && echo "same key again"
