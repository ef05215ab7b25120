# "help create" prints the help of create followed by an empty line.
"$KOV" help create
