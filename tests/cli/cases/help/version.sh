"$KOV" --version
"$KOV" -V
