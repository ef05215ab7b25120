# No argument at all: the root help on standard error, status 2.
"$KOV"
