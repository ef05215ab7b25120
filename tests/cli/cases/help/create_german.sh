"$KOV" create --help --lang de
