# An archive without entries, laid out byte by byte (kov itself never writes
# one: every input is an entry): the header line alone, an empty JSON array,
# zero counts, and an extraction of nothing.
le() {  # le WIDTH VALUE: VALUE as WIDTH little-endian bytes, in hexadecimal
  local hex out="" i
  hex=$(printf '%0*x' $(($1 * 2)) "$2")
  for ((i = ${#hex} - 2; i >= 0; i -= 2)); do out+=${hex:i:2}; done
  printf '%s' "$out"
}
text() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
bytes() { printf "$(printf '%s' "$1" | sed 's/../\\x&/g')"; }
sha() { bytes "$1" | sha256sum | cut -c1-64; }
# Settings as kov writes them for an unencrypted archive; format 0.5.0.
settings=$(text KOVCFG1)00$(le 1 0)$(le 1 3)$(le 2 0)$(le 4 64)$(le 4 2048)$(le 2 1)$(le 2 1000)$(le 4 0)
settings+=$(le 4 1048576)$(le 4 0)$(le 4 0)$(le 4 0)$(printf '%064d' 0)$(le 4 0)$(printf '%032d' 0)
index=$(text KOVIDX1)00$(le 4 0)$(le 4 96)$settings
length=$((${#index} / 2))
created=$(le 8 1700000000)
id=$(sha "$created" | cut -c1-32)  # the ID of an archive without entries hashes only the time
head=$(text $'KOV\x1a\r\n')0000$(le 1 0)$(le 1 5)$(le 1 0)$(le 1 0)$(le 4 0)$id$created$(le 4 1048576)
tail=$(le 8 64)$(le 8 "$length")
checksum=$(sha "${head}00000000$tail" | cut -c1-8)
digest=$(sha "$index")
bytes "$head$checksum$tail$index$digest$(text KOVEND1)00$(le 8 64)$(le 8 "$length")$digest" > empty.kov

"$KOV" list empty.kov
"$KOV" list --json empty.kov
"$KOV" info empty.kov
"$KOV" info --json empty.kov
"$KOV" test empty.kov
"$KOV" extract empty.kov -d out
ls -A out
