# In a directory that may be written but not read (a drop box, mode 0733), every
# command that makes a file reports its success: the new name is flushed through
# its file system instead of through the directory.
as_user() {  # root reads every directory, so the case runs as nobody there
  if [ "$(id -u)" = 0 ]; then setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; else "$@"; fi
}
chmod 0755 .
cp "$KOV" ./kov
printf 'data\n' >input.txt
chmod 0644 input.txt
mkdir -m 0733 box
as_user ./kov create -o box/a.kov input.txt; echo "create: $?"
as_user ./kov keygen box/k.kovkey; echo "keygen: $?"
as_user ./kov public-key box/k.kovkey box/k.pub; echo "public-key: $?"
as_user ./kov sign box/a.kov --signing-key box/k.kovkey -o box/a.sig; echo "sign: $?"
as_user ./kov verify-signature box/a.kov box/a.sig --public-key box/k.pub; echo "verify-signature: $?"
chmod 0755 box
ls box
