# Every usage error: status 2, nothing on standard output, the parser's message
# with the usage line it names.
. "$CASE_SUPPORT"
check --progress
check nope x
check creat a
check list a --bogus
check --bogus list a
check list a b
check help create extra
check create
check create -o out.kov
check sign a.kov --signing-key k
check sign a.kov -o a.sig
check keygen
check verify-signature a.kov a.sig
check list a.kov --password-file p --key-file k
check extract a.kov --key-file k --password-file p
check --progress list a.kov --no-progress
check --lang EN list a.kov
check --lang fr_FR list a.kov
check create a --format-version 0.3.0
check help help
check help nope
check extract ''
check extract a.kov -d ''
check create ''
check create a --output=
check extract a.kov -e $'\xff'
check list a.kov --password-file
check list a.kov --json --json
check --lang fr list a.kov --lang de
check extract a.kov --overwrite --overwrite
check extract a.kov -d x -d y
check list a.kov --json=false
check create a -V
check -- create a
check --lang fr_FR create --help
check --version=x
