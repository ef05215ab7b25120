# Every new file is flushed, then the directory that names it and each one
# above it up to the root of its file system, so that a power cut loses
# neither the bytes nor any name that leads to them, whoever made the
# directories. Observed with strace.
. "$CASE_SUPPORT"
mkdir -p sub n1/n2
"$KOV" keygen k.kovkey >/dev/null
printf 'data' > a.kov
printf 'in' > input
here=$(pwd -P)
synced() {  # synced LABEL COMMAND...: the files and directories the command fsyncs, in order
  # LeakSanitizer cannot run under ptrace; the sanitizer build runs this case too.
  ASAN_OPTIONS=detect_leaks=0 strace -f -qq -y -e trace=fsync,fdatasync -o trace "$@" >/dev/null || echo "$2 failed"
  local paths
  paths=$(sed -n -E 's/^[0-9]+ +//; s/^f(data)?sync\([0-9]+<(.*)>\) += 0$/\2/p' trace |
          sed -E "s|^$here/||; s|^$here\$|.|" | grep -v '^/' | tr '\n' ' ')
  echo "$2: ${paths% }"
  [ "$(sed -n -E 's/^[0-9]+ +//; s/^f(data)?sync\([0-9]+<(\/[^>]*)>\) += 0$/\2/p' trace | grep -v "^$here/" | grep -vx "$here")" = "$(above "$here")" ] &&
    echo "  and each one above . up to the root of its file system"
}
synced "$KOV" create --no-progress -o n1/n2/out.kov input
synced "$KOV" keygen sub/k2.kovkey
synced "$KOV" public-key k.kovkey a.pub
synced "$KOV" sign a.kov --signing-key k.kovkey -o sub/a.sig
