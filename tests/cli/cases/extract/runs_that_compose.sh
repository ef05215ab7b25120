# Two archives extracted into one folder, each harmless alone, must not make
# a link that leads outside together: a ".." after a name that is missing
# when its link is made is refused, since a later run may make that name a
# link.
mkdir -p one/in/a/b two/in/a/b
ln -s x/../../../outside one/in/a/b/l
ln -s ../.. two/in/a/b/x
(cd one && "$KOV" create -o ../first.kov in >/dev/null)
(cd two && "$KOV" create -o ../second.kov in >/dev/null)
"$KOV" test first.kov
echo "test first: status $?"
"$KOV" extract first.kov -d d
echo "extract first: status $?"
"$KOV" extract second.kov -d d >/dev/null
echo "extract second: status $?"
[ -L d/in/a/b/l ] || echo "the first link is not made"
[ -L d/in/a/b/x ] && echo "the second one is"
