# Every subcommand is dispatched; those not built yet say so with status 4.
for args in "create a" "list a.kov" "extract a.kov" "test a.kov" "info a.kov" "keygen k" \
    "public-key k p" "sign a.kov --signing-key k -o s" "verify-signature a s --public-key p"; do
  "$KOV" $args
  echo "status $?"
done
