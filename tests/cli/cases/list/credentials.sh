# Encrypted archives: a sealed index needs its credential before anything can
# be listed, the clear index of a 0.4.0 archive does not; a wrong credential
# is refused either way.
. "$CASE_SUPPORT"
mkdir in
printf 'secret\n' > in/a.txt
"$KOV" keygen k.kovkey >/dev/null
"$KOV" keygen other.kovkey >/dev/null
printf 'a password of some length\n' > pw
"$KOV" create -o sealed.kov in --key-file k.kovkey >/dev/null
"$KOV" create -o pw.kov in --password-file pw >/dev/null
"$KOV" create --format-version 0.4.0 -o old.kov in --key-file k.kovkey >/dev/null
check list sealed.kov
check list pw.kov
check list sealed.kov --key-file k.kovkey
check list sealed.kov --key-file other.kovkey
check list sealed.kov --password-file pw
check list pw.kov --password-file pw
check list old.kov
check list old.kov --key-file other.kovkey
"$KOV" list --json old.kov | grep -E '"(path|encrypted)"'
check test old.kov
check test old.kov --key-file k.kovkey
