# Stored names and paths on the command line may hold terminal controls. A
# terminal shows them as visible escapes (and a backslash doubled), so an
# archive cannot retitle it, clear it or turn its text around; a pipe or a file
# gets the bytes unchanged, and JSON is the same everywhere. Each stream is
# judged on its own.
mkdir d
printf x > d/$'a\e]0;PWNED\ab'
# U+009B, U+202E, DEL, a tab, U+2066 and an e with acute accent.
printf y > d/$'c\xc2\x9b2J\xe2\x80\xae\x7f\t\xe2\x81\xa6\xc3\xa9'
"$KOV" create -o a.kov d >/dev/null
export ODD=$'t\e[2J\xff.kov' DEST=$'out\\\e[1m'
cp a.kov "$ODD"
here=$(pwd -P)
on_terminal() {  # on_terminal COMMAND: what a terminal shows, its controls made visible
  script -qec "$1" /dev/null | tr -d '\r' | cat -v | sed "s|$here|CWD|g"
}
echo "-- on a terminal"
on_terminal '"$KOV" list a.kov'
on_terminal '"$KOV" list --json a.kov' | grep '"path"'
on_terminal '"$KOV" --no-progress extract a.kov -d "$DEST"'
on_terminal '"$KOV" --no-progress extract a.kov -d "$DEST"'
on_terminal '"$KOV" test "$ODD"'
on_terminal '"$KOV" --no-progress create -o "$DEST.kov" d'
on_terminal '"$KOV" "$ODD" </dev/null'
on_terminal '"$KOV" list a.kov "$ODD"'
echo
echo "-- standard output to a file, standard error on the terminal"
on_terminal '"$KOV" list a.kov >listing; "$KOV" --no-progress extract a.kov -d "$DEST" >/dev/null'
cat -v listing
echo "-- standard error to a file, standard output on the terminal"
on_terminal '"$KOV" test "$ODD"; "$KOV" --no-progress extract a.kov -d "$DEST" 2>error'
cat -v error
echo "-- through pipes"
"$KOV" list a.kov | cat -v
"$KOV" --no-progress extract a.kov -d "$DEST" 2>&1 | cat -v
"$KOV" test "$ODD" | cat -v
"$KOV" "$ODD" </dev/null 2>&1 | cat -v | sed "s|$here|CWD|g"
"$KOV" list a.kov "$ODD" 2>&1 | cat -v
echo
