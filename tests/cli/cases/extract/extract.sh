# Extraction restores files, links and directories, counts the files and
# links, names the destination as given, replaces nothing without
# --overwrite, and restores only the selected entries with -e.
. "$CASE_SUPPORT"
umask 022
mkdir -p in/sub in/empty
printf 'hello\n' > in/a.txt
printf 'private\n' > in/sub/b.txt
chmod 600 in/sub/b.txt
ln -s a.txt in/link
"$KOV" keygen k.kovkey >/dev/null
"$KOV" create -o a.kov in >/dev/null
"$KOV" create -o sealed.kov in --key-file k.kovkey >/dev/null
check extract a.kov -d out
diff -r --no-dereference in out/in && echo "same tree"
stat -c '%a %n' out/in/sub/b.txt
check extract a.kov -d out
# --overwrite replaces regular files; a link never replaces anything.
check extract a.kov -d out --overwrite
printf 'changed\n' > out/in/a.txt
check extract a.kov -d out --overwrite -e in/a.txt -e in/sub
cat out/in/a.txt
check extract a.kov -d sel -e in/sub -e in/link
find sel | sort
check extract a.kov -d none -e in/missing
[ -e none/in ] || echo "nothing restored"
check extract sealed.kov -d locked
check extract sealed.kov -d unlocked --key-file k.kovkey
diff -r --no-dereference in unlocked/in && echo "same tree"
# The progress line names the extraction.
"$KOV" extract --progress a.kov -d shown 2>progress
sed 's/[0-9][0-9]:[0-9][0-9]/MM:SS/g' progress | tail -n 1
mkdir here
cd here
check extract ../a.kov
ls
