# keygen names the new file as given and makes a 72-byte owner-only key file.
umask 022
"$KOV" keygen k.kovkey
echo "status $?"
stat -c '%a %s' k.kovkey
head -c 8 k.kovkey | od -An -c
"$KOV" keygen ./other.kovkey
cmp -s k.kovkey other.kovkey || echo "two key files differ"
# A name that is not UTF-8 is shown lossily.
"$KOV" keygen $'bad\xff.kovkey'
stat -c '%s' $'bad\xff.kovkey'
