# One path that is not an archive is packed beside itself, wherever kov runs,
# and the result line names the new archive absolutely.
mkdir -p work/photos/2024 elsewhere d.kov
printf 'jpeg' > work/photos/2024/image.jpg
printf 'x' > work/.kov
here=$(pwd -P)
run() {  # run ARG: the status, the output and the first error line, the scratch path masked
  "$KOV" "$1" >stdout 2>stderr
  echo "[$1] -> $? $(cat stdout; head -n 1 stderr)" | sed "s|$here|CWD|g"
}
(cd elsewhere && "$KOV" ../work/photos | sed "s|$here|CWD|")
ls -A elsewhere
"$KOV" list work/photos.kov
run work/photos/2024/image.jpg
run work/.kov
run d.kov
ls -A work
# A subcommand word is a path only when something of that name exists.
run list
mkdir list
run list
run missing
run work/photos/2024/..
run ''
run /
