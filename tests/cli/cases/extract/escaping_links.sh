# A link whose text stays inside the archive but which leads outside through
# another of its links is refused by test and by extraction, and is not made.
mkdir -p in/a/b
ln -s ../../.. in/a/b/l
ln -s a/b/l/../outside in/esc
"$KOV" create -o a.kov in >/dev/null
"$KOV" test a.kov
echo "test: status $?"
"$KOV" extract a.kov -d out
echo "extract: status $?"
[ -L out/in/a/b/l ] && echo "the link to the root is made"
[ -L out/in/esc ] || echo "the escaping link is not"
