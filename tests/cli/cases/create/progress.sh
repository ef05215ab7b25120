# The progress display: one line per second off a terminal, always with a final
# line; nothing with --no-progress.
mkdir d
printf 'content' > d/f
"$KOV" create --progress -o a.kov d 2>err
sed 's/[0-9][0-9]:[0-9][0-9]/MM:SS/g' err | tail -n 1
grep -c $'\r' err
"$KOV" create --no-progress -o b.kov d 2>err2
wc -c < err2
# Without either flag the display follows whether standard error is a terminal.
"$KOV" create -o c.kov d 2>err3
wc -c < err3
"$KOV" --lang de create --progress -o e.kov d 2>err4
sed 's/[0-9][0-9]:[0-9][0-9]/MM:SS/g' err4 | tail -n 1
exit 0
