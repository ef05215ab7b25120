# The output name: as given, or the first input's name + .kov in the current directory.
mkdir -p photos/2024 elsewhere
printf 'jpeg' > photos/2024/image.jpg
printf 'x' > single.txt
"$KOV" create photos
(cd elsewhere && "$KOV" create ../photos/2024)
"$KOV" create -o chosen.kov single.txt photos/2024/image.jpg
"$KOV" create --format-version 0.4.0 -o old.kov single.txt
ls elsewhere
# Bytes 8 to 10 of the header are the version.
od -An -tu1 -j8 -N3 old.kov | tr -s ' '
od -An -tu1 -j8 -N3 chosen.kov | tr -s ' '
# A dangling link at the output is replaced by the archive.
ln -s nowhere linked.kov
"$KOV" create -o linked.kov single.txt
[ -f linked.kov ] && [ ! -L linked.kov ] && echo "linked.kov is the archive"
ls *.partial 2>/dev/null
exit 0
