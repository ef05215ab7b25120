# Writing to a pipe whose reader is gone.
mkfifo pipe
exec 3<>pipe 4>pipe 3<&-
# The help printer's failure is an I/O error.
"$KOV" help >&4
echo "help: status $?"
# An error line that cannot be written ends the process with 101.
"$KOV" create a 2>&4
echo "error line: status $?"
# The parser's own output is written the same way but, as with any parser, its
# failure is not an error.
"$KOV" --version >&4
echo "version: status $?"
