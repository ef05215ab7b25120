# An existing output is kept; a key file open to others is refused before anything is written.
"$KOV" keygen k.kovkey >/dev/null
printf 'old' > taken.pub
"$KOV" public-key k.kovkey taken.pub
echo "existing output: status $?"
cat taken.pub; echo
chmod 644 k.kovkey
"$KOV" public-key k.kovkey new.pub
echo "mode 0644 key file: status $?"
[ -e new.pub ] || echo "no output created"
"$KOV" public-key missing.kovkey new.pub
echo "missing key file: status $?"
