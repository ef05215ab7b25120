"$KOV" --help
