# Creation errors: status, the error line, and nothing left behind.
. "$CASE_SUPPORT"
mkdir -p dir/pipes
printf 'x' > dir/file
mkfifo dir/pipes/fifo
printf '123456789\n' > short-password
printf '1234567890\r\n' > ten-bytes
# A failed creation leaves neither an archive nor its temporary file.
check_create() {
  check create "$@"
  ls *.kov *.partial 2>/dev/null
}
check_create /
check_create -o dir dir/file
check_create -o a.kov dir/pipes
check_create -o a.kov missing
check_create -o a.kov dir --password-file short-password
check_create -o a.kov dir --password-file ten-bytes
check_create -o a.kov dir --password-file no-such-file
touch loose.kovkey
check_create -o a.kov dir --key-file loose.kovkey
exit 0
