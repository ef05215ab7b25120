# An archive given alone is extracted beside itself once the question is
# answered: one line per question, asked again until it is understood, in the
# language of the environment. Declining and the end of input extract nothing.
mkdir d
printf 'hello\n' > d/f
"$KOV" create -o a.kov d >/dev/null
cp a.kov b.KOV
rm -r d
here=$(pwd -P)
ask() {  # ask LANG ANSWERS [ARCHIVE]: questions, status, output, what was extracted
  printf "$2" | LANG=$1 "$KOV" "${3:-a.kov}" >stdout 2>stderr
  echo "$? $(cat stdout)" | sed "s|$here|CWD|g"
  sed "s|$here|CWD|g" stderr; echo
  if [ -e d ]; then echo "extracted: $(cat d/f)"; rm -r d; fi
}
ask C '\n'
ask en_GB.UTF-8 '  Yes \n'
ask C 'maybe\noui\nN\n'
ask C 'y'
ask fr_FR.UTF-8 'yes\ny\nOUI\n'
ask fr_FR.UTF-8 ' o\n'
ask fr_FR.UTF-8 'Non\n'
ask es_ES.UTF-8 'oui\nno\n'
ask de_DE.UTF-8 '\t\n'
ask pt_BR.UTF-8 'non\n'
ask C '\n' b.KOV
ask C ''
ask C '\xff\n'
# An entry already there: the question is asked, then nothing is replaced.
mkdir d
printf 'mine\n' > d/f
ask C '\n'
# A damaged or sealed archive is refused before any question; the index of an
# encrypted 0.4.0 archive opens without its key, so the question comes first.
mkdir d
printf 'hello\n' > d/f
"$KOV" keygen k.kovkey >/dev/null
"$KOV" create -o sealed.kov d --key-file k.kovkey >/dev/null
"$KOV" create --format-version 0.4.0 -o old.kov d --key-file k.kovkey >/dev/null
rm -r d
cp a.kov damaged.kov  # the first byte of the footer magic becomes X
printf 'X' | dd of=damaged.kov bs=1 seek=$(($(stat -c %s a.kov) - 56)) conv=notrunc status=none
ask C '\n' damaged.kov
ask C '\n' sealed.kov
ask C '\n' old.kov
