# A listing longer than a pipe holds, read by a reader that leaves after one
# byte: the row that cannot be written ends kov with status 101.
mkdir in
long=$(printf 'n%.0s' {1..200})
(cd in && touch "$long"{001..400})
"$KOV" create -o big.kov in >/dev/null
"$KOV" list big.kov | head -c 1 >/dev/null
echo "text: status ${PIPESTATUS[0]}"
"$KOV" list --json big.kov | head -c 1 >/dev/null
echo "json: status ${PIPESTATUS[0]}"
