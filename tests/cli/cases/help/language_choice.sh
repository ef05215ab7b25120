# The first line of each help shows which language was chosen.
first() { "$@" >out; head -n 1 out; }  # all of the help is read: a closed pipe would be an error
first "$KOV" --lang es create --help
first "$KOV" create --help --lang=es
first env LANG=fr_FR.UTF-8 "$KOV" help list
first env LC_ALL=POSIX LANG=fr_FR.UTF-8 "$KOV" help list
first env LC_ALL= LC_MESSAGES=de_DE "$KOV" help list
first env LANG=pt_BR "$KOV" help info
first env LANG=de_DE "$KOV" --lang en help info
