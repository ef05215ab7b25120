# Every new file is flushed, then the directory that names it, so that a power
# cut loses neither the bytes nor the name. Observed with strace.
mkdir sub
"$KOV" keygen k.kovkey >/dev/null
printf 'data' > a.kov
here=$(pwd -P)
synced() {  # synced LABEL COMMAND...: the files and directories the command fsyncs, in order
  # LeakSanitizer cannot run under ptrace; the sanitizer build runs this case too.
  ASAN_OPTIONS=detect_leaks=0 strace -f -qq -y -e trace=fsync,fdatasync -o trace "$@" >/dev/null || echo "$2 failed"
  local paths
  paths=$(sed -n -E 's/^[0-9]+ +//; s/^f(data)?sync\([0-9]+<(.*)>\) += 0$/\2/p' trace |
          sed -E "s|^$here/||; s|^$here\$|.|" | tr '\n' ' ')
  echo "$2: ${paths% }"
}
synced "$KOV" keygen sub/k2.kovkey
synced "$KOV" public-key k.kovkey a.pub
synced "$KOV" sign a.kov --signing-key k.kovkey -o sub/a.sig
