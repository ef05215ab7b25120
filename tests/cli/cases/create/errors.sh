# Creation errors: status, the error line, and nothing left behind.
mkdir -p dir/pipes
printf 'x' > dir/file
mkfifo dir/pipes/fifo
printf '123456789\n' > short-password
printf '1234567890\r\n' > ten-bytes
check() {
  "$KOV" "$@" >out 2>err
  echo "$? $(cat err)"
  [ -s out ] && echo "unexpected output: $(cat out)"
  ls *.kov *.partial 2>/dev/null
}
check create /
check create -o dir dir/file
check create -o a.kov dir/pipes
check create -o a.kov missing
check create -o a.kov dir --password-file short-password
check create -o a.kov dir --password-file ten-bytes
check create -o a.kov dir --password-file no-such-file
touch loose.kovkey
check create -o a.kov dir --key-file loose.kovkey
exit 0
