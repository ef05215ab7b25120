#pragma once
// Shared checks of the fuzz harnesses: a failed property aborts, so both
// libFuzzer and the corpus replay report it.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kov_core/error.hpp"

namespace kov_fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "property violated: %s\n", what.c_str());
  std::abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// The messages of decode_settings, which decode_index passes through.
inline constexpr const char* SETTINGS_ERRORS[] = {
    "corrupt archive: invalid KOV 0.4 settings record",
    "unsupported feature: compression profile *",
    "unsupported feature: encryption mode *",
    "corrupt archive: invalid KOV 0.4 compression settings",
    "corrupt archive: unexpected encryption parameters",
    "corrupt archive: invalid password derivation parameters",
    "corrupt archive: invalid key-file parameters",
    "corrupt archive: invalid encrypted archive settings",
};

// The messages of index decoding.
inline constexpr const char* INDEX_ERRORS[] = {
    "corrupt archive: truncated index header",
    "corrupt archive: wrong index magic",
    "corrupt archive: truncated integer",
    "corrupt archive: entry count exceeds implementation limit",
    "unsupported feature: format version *",
    "corrupt archive: invalid KOV 0.4 settings size",
    "corrupt archive: truncated KOV 0.4 settings",
    "corrupt archive: non-zero reserved index bytes",
    "corrupt archive: entry count exceeds available index bytes",
    "corrupt archive: truncated entry",
    "unsupported feature: entry kind *",
    "unsupported feature: entry flags or codec",
    "unsupported feature: entry flags or compression level",
    "unsupported feature: entry flags",
    "corrupt archive: invalid path length",
    "corrupt archive: truncated entry hash",
    "corrupt archive: truncated entry path",
    "corrupt archive: entry path is not UTF-8",
    "corrupt archive: unsafe path in index: *",
    "corrupt archive: absolute path in index: *",
    "corrupt archive: non-canonical path in index: *",
    "corrupt archive: duplicate entry kind/path: *",
    "corrupt archive: portable path collision: *",
    "corrupt archive: conflicting entry kinds for path: *",
    "corrupt archive: directory has file data: *",
    "corrupt archive: file data out of bounds: *",
    "corrupt archive: entry encryption flag does not match archive settings: *",
    "corrupt archive: stored entry has a compression level: *",
    "corrupt archive: trailing bytes in index",
    "corrupt archive: resource fork has no file entry: *",
    "corrupt archive: invalid symbolic link payload: *",
    "corrupt archive: overlapping entry data: * and *",
};

// The messages of opening, authentication, key derivation and testing.
inline constexpr const char* ARCHIVE_ERRORS[] = {
    "corrupt archive: archive is too short",
    "corrupt archive: truncated header",
    "corrupt archive: wrong KOV magic",
    "corrupt archive: non-zero reserved version byte",
    "corrupt archive: header checksum mismatch",
    "unsupported feature: unknown header flags or invalid chunk size",
    "corrupt archive: offset overflow",
    "corrupt archive: invalid index boundaries",
    "corrupt archive: truncated index",
    "corrupt archive: index SHA-256 mismatch",
    "corrupt archive: footer does not match header/index",
    "corrupt archive: invalid sealed metadata envelope",
    "corrupt archive: nonzero bootstrap reserved tag",
    "corrupt archive: sealed metadata requires encryption",
    "invalid input: insufficient memory for metadata authentication",
    "invalid input: this archive requires a password",
    "invalid input: this archive requires its KOV key file",
    "invalid input: archive is not encrypted",
    "invalid input: invalid Argon2 parameters: *",
    "invalid input: password derivation failed: *",
    "corrupt archive: truncated metadata tag",
    "corrupt archive: incorrect credentials or modified header/metadata",
    "corrupt archive: metadata bootstrap mismatch",
    "corrupt archive: header and index compression profiles differ",
    "corrupt archive: archive ID does not match the authenticated entry set",
    "corrupt archive: 0.5 encryption requires sealed metadata",
    "invalid input: not enough memory for archive authentication: * MiB required",
    "corrupt archive: encrypted index settings are truncated",
    "corrupt archive: password/key file is incorrect or archive index was modified",
    "invalid input: encrypted archive requires credentials",
    "unsupported feature: codec *",
    "corrupt archive: *: decompression failed: *",
    "corrupt archive: decoded size overflow",
    "corrupt archive: * expands beyond declared size",
    "corrupt archive: * content hash/size mismatch",
    "corrupt archive: symbolic link target is not UTF-8: *",
    "corrupt archive: unsafe symbolic link *: *",
};

// The messages of extraction and of the safe file layer, with the system
// errors that a crafted archive or the link made before a run may cause: a
// name taken, a link or a file where a directory is due, a name too long.
// Failures of the system itself (no space, no descriptors, I/O) are not here.
inline constexpr const char* EXTRACT_ERRORS[] = {
    "corrupt archive: resource fork has no selected owner: *",
    "corrupt archive: resource-fork staging size overflow",
    "corrupt archive: extraction entry count overflow",
    "corrupt archive: total extracted size overflow",
    "invalid input: extraction requires * bytes but only * bytes are safely available",
    "invalid input: extraction requires * filesystem entries but only * inodes are available",
    "corrupt archive: resource fork has no safe data-fork owner: *",
    "unsupported feature: resource forks can be restored only on macOS",
    "invalid input: unsafe extraction path: *",
    "invalid input: empty extraction path",
    "invalid input: path contains NUL",
    "invalid input: symbolic link target contains NUL",
    "invalid input: extraction target already exists: *",
    "invalid input: overwrite target is not a regular file",
    "I/O error: File exists (os error 17)",
    "I/O error: Not a directory (os error 20)",
    "I/O error: File name too long (os error 36)",
    "I/O error: Too many levels of symbolic links (os error 40)",
};

// Whether `text` matches `pattern`, where each "*" stands for any run of bytes.
inline bool glob(std::string_view pattern, std::string_view text) {
  const std::size_t star = pattern.find('*');
  if (star == std::string_view::npos) return pattern == text;
  if (!text.starts_with(pattern.substr(0, star))) return false;
  const std::string_view rest = pattern.substr(star + 1);
  for (std::size_t at = star; at <= text.size(); ++at)
    if (glob(rest, text.substr(at))) return true;
  return false;
}

// Whether a display text is in a list of patterns.
template <std::size_t N>
bool listed(std::string_view text, const char* const (&allowed)[N]) {
  for (std::string_view entry : allowed)
    if (glob(entry, text)) return true;
  return false;
}

// An error must carry one of the display texts of the given lists.
template <class... Lists>
void check_error(const kov_core::Error& error, const Lists&... lists) {
  const std::string text = error.display();
  if (!(listed(text, lists) || ...)) fail("unexpected error: " + text);
}

}  // namespace kov_fuzz
