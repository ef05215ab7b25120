# Every subcommand is dispatched; those not built yet say so with status 4.
for args in "list a.kov" "extract a.kov" "test a.kov" "info a.kov"; do
  "$KOV" $args
  echo "status $?"
done
