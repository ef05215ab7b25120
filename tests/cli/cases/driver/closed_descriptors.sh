# Standard descriptors closed at start are reopened on /dev/null, so writing
# to them succeeds silently.
"$KOV" --version >&-
echo "stdout closed: status $?"
"$KOV" nope x 2>&-
echo "stderr closed: status $?"
"$KOV" --version <&-
echo "stdin closed: status $?"
