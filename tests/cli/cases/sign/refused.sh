# Failures leave no signature behind and never touch an existing file.
"$KOV" keygen k.kovkey >/dev/null
printf 'data' > a.kov
printf 'old' > taken.sig
"$KOV" sign a.kov --signing-key k.kovkey -o taken.sig
echo "existing output: status $?"
cat taken.sig; echo
"$KOV" sign missing.kov --signing-key k.kovkey -o new.sig
echo "missing archive: status $?"
chmod 640 k.kovkey
"$KOV" sign a.kov --signing-key k.kovkey -o new.sig
echo "mode 0640 key file: status $?"
[ -e new.sig ] || echo "no output created"
