# verify-signature accepts the signer's archive under any name and refuses
# wrong sizes and keys with the status of their kind.
"$KOV" keygen a.kovkey >/dev/null
"$KOV" keygen b.kovkey >/dev/null
"$KOV" public-key a.kovkey a.pub
"$KOV" public-key b.kovkey b.pub
printf 'archive contents\n' > a.kov
"$KOV" sign a.kov --signing-key a.kovkey -o a.sig
"$KOV" verify-signature a.kov a.sig --public-key a.pub
echo "signed archive: status $?"
mv a.kov renamed.kov
"$KOV" verify-signature renamed.kov a.sig --public-key a.pub
echo "renamed: status $?"
"$KOV" verify-signature renamed.kov a.sig --public-key b.pub
echo "other public key: status $?"
head -c 103 a.sig > short.sig
"$KOV" verify-signature renamed.kov short.sig --public-key a.pub
echo "103-byte signature: status $?"
head -c 31 a.pub > short.pub
"$KOV" verify-signature renamed.kov a.sig --public-key short.pub
echo "31-byte public key: status $?"
# A's signature carrying B's key still has to verify under B's key.
{ head -c 8 a.sig; cat b.pub; tail -c 64 a.sig; } > forged.sig
"$KOV" verify-signature renamed.kov forged.sig --public-key b.pub
echo "swapped embedded key: status $?"
printf '!' >> renamed.kov
"$KOV" verify-signature renamed.kov a.sig --public-key a.pub
echo "appended byte: status $?"
