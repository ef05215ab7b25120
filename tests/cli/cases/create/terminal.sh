# On a terminal the line is redrawn in place with a carriage return and ends
# with one line feed, before the result line.
mkdir d
printf 'content' > d/f
script -qec "$KOV create -o a.kov d" /dev/null >screen
# How many redraws come first depends on timing; the final line is fixed.
tr '\r' '\n' < screen | sed 's/[0-9][0-9]:[0-9][0-9]/MM:SS/g; s/ *$//' | grep -v '^$' >lines
tail -n 2 lines
grep -c $'\r' screen | awk '{print ($1 >= 2) ? "carriage returns" : "none"}'
