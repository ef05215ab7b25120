# One byte changed after signing: the archive no longer matches its signature.
"$KOV" keygen k.kovkey >/dev/null
"$KOV" public-key k.kovkey k.pub
printf 'archive contents\n' > a.kov
"$KOV" sign a.kov --signing-key k.kovkey -o a.sig
printf 'A' | dd of=a.kov bs=1 seek=0 conv=notrunc status=none
"$KOV" verify-signature a.kov a.sig --public-key k.pub
