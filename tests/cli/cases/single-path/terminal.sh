# On a terminal the shortcut shows the progress line of its creation or of an
# accepted extraction, in the language of the environment, before the result
# line; the question itself comes before any display.
mkdir d
printf 'hello\n' > d/f
here=$(pwd -P)
screen() {  # screen COMMAND: what a terminal shows, redraws on lines of their own
  script -qec "$1" /dev/null >screen
  echo "status $?"
  tr '\r' '\n' <screen | sed "s/[0-9][0-9]:[0-9][0-9]/MM:SS/g; s/ *\$//; s|$here|CWD|g" | grep -v '^$' >lines
}
screen "$KOV d"
tail -n 2 lines
rm -r d
# Enter pressed on the terminal itself (its echo is an empty line).
printf '\n' | screen "LANG=de_DE.UTF-8 $KOV d.kov"
head -n 1 lines
tail -n 2 lines
cat d/f
rm -r d
# Without an answer there is no extraction, so no display either.
screen "$KOV d.kov </dev/null"
cat lines
[ -e d ] || echo "nothing extracted"
