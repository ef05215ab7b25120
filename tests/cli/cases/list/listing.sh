# A file, a directory, a link, a name with a quotation mark and control
# characters, and one with non-ASCII letters: the table writes every path
# raw, JSON escapes what it must and nothing else.
umask 022
mkdir -p in/sub
printf 'hello\n' > in/a.txt
printf 'x' > in/$'q"t\te\x01'
printf 'caf\xc3\xa9\n' > in/$'\xc3\xa9t\xc3\xa9.txt'
ln -s a.txt in/link
touch -h -d @1700000000 in/* in
"$KOV" create -o a.kov in >/dev/null
"$KOV" list a.kov
echo "status $?"
"$KOV" list --json a.kov
echo "status $?"
