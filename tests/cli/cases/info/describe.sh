# The five-line description and the JSON object of archives made by create.
# The archive ID, the creation time and the memory figure change from run to
# run, so they are masked after their shape is checked.
umask 022
mkdir -p in/sub
printf 'hello\n' > in/a.txt
printf 'x' > in/$'q"t\te\x01'
ln -s a.txt in/link
"$KOV" create -o a.kov in >/dev/null
"$KOV" keygen k.kovkey >/dev/null
"$KOV" create -o sealed.kov in --key-file k.kovkey >/dev/null
mask() {
  sed -E 's/^Archive ID: [0-9a-f]{32}$/Archive ID: ID/; s/"archive_id": "[0-9a-f]{32}"/"archive_id": "ID"/;
          s/"created_unix": [1-9][0-9]{9}/"created_unix": TIME/; s/"available_memory_mib": [1-9][0-9]*/"available_memory_mib": MIB/'
}
"$KOV" info a.kov >text
mask <text
"$KOV" info --json a.kov >json
mask <json
# Both forms name the same ID.
[ "$(sed -n 's/^Archive ID: //p' text)" = "$(sed -n 's/^  "archive_id": "\(.*\)",$/\1/p' json)" ] && echo "same ID"
# A sealed archive records no creation time.
"$KOV" info --json sealed.kov --key-file k.kovkey | mask
