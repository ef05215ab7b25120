# Signature commands keep their English about in every language and have no text after their help.
"$KOV" --lang pt sign --help
