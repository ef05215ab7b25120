# keygen never replaces anything: an existing file is an I/O error and stays as it was.
printf 'keep me\n' > k.kovkey
chmod 644 k.kovkey
"$KOV" keygen k.kovkey
echo "file: status $?"
cat k.kovkey
stat -c '%a' k.kovkey
mkdir dir
ln -s missing dangling
"$KOV" keygen dir
echo "directory: status $?"
"$KOV" keygen dangling
echo "dangling link: status $?"
[ -e missing ] || echo "link target not created"
