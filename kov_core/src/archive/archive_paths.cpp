// Portable archive paths, the collision key, stored-path validation and
// symbolic-link targets.

#include <unistd.h>

#include <utf8proc.h>

#include <cstring>
#include <system_error>
#include <vector>

#include "archive/archive_internal.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/path_rules.hpp"
#include "kov_core/utf8.hpp"
#include "secure_fs/secure_fs.hpp"

namespace kov_core::archive {

namespace {

using secure_fs::Component;
using secure_fs::ComponentKind;
using secure_fs::Components;

enum class Refusal { None, NotRelative, NotUtf8, Unsafe, Empty };

// The walk of portable_path; appends the archive path to `out`.
Refusal walk_portable(std::string_view path, std::string& out) {
  Components components(path);
  Component component{};
  bool any = false;
  while (components.next(component)) {
    if (component.kind != ComponentKind::Normal) return Refusal::NotRelative;
    if (!util::is_valid_utf8(component.text)) return Refusal::NotUtf8;
    if (!path_rules::archive_component(component.text)) return Refusal::Unsafe;
    if (any) out.push_back('/');
    out.append(component.text);
    any = true;
  }
  return any ? Refusal::None : Refusal::Empty;
}

[[nodiscard]] bool contains_nul_or_backslash(std::string_view text) noexcept {
  for (const char c : text) {
    if (c == '\0' || c == '\\') return true;
  }
  return false;
}

// ---- collision key ----

constexpr utf8proc_option_t NFC_OPTIONS =
    static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE);

[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Appends the lower-case mapping of one code point: the simple mapping of
// UnicodeData plus the one unconditional SpecialCasing entry that differs.
void append_lower(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(ascii_lower(static_cast<char>(cp)));
  } else if (cp == 0x130) {
    out.append("i\xCC\x87");  // U+0069 U+0307
  } else {
    util::append_utf8(out,
                      static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(cp))));
  }
}

// Lower-cases a part without normalizing it (invalid bytes are kept as they are).
void append_lower_part(std::string& out, std::string_view part) {
  std::size_t position = 0;
  while (position < part.size()) {
    std::size_t invalid = 0;
    const std::size_t length = util::utf8_sequence_length(part.substr(position), &invalid);
    if (length == 0) {
      out.append(part.substr(position, invalid));
      position += invalid;
      continue;
    }
    append_lower(out, util::decode_utf8(part.substr(position), length));
    position += length;
  }
}

void append_key_part(std::string& out, std::string_view part) {
  const std::size_t mark = out.size();
  // Fast path: a part whose code points are all below U+0300 is already in
  // NFC (the first code point whose NFC_Quick_Check is not Yes is U+0300).
  std::size_t position = 0;
  bool needs_nfc = false;
  while (position < part.size()) {
    if (static_cast<unsigned char>(part[position]) < 0x80) {
      std::size_t run = position + 1;
      while (run < part.size() && static_cast<unsigned char>(part[run]) < 0x80) ++run;
      const std::size_t first = out.size();
      out.append(part.substr(position, run - position));
      for (std::size_t i = first; i < out.size(); ++i) out[i] = ascii_lower(out[i]);
      position = run;
      continue;
    }
    const std::size_t length = util::utf8_sequence_length(part.substr(position));
    if (length == 0) {  // not UTF-8: outside the contract; lower-case what can be
      out.resize(mark);
      append_lower_part(out, part);
      return;
    }
    const char32_t cp = util::decode_utf8(part.substr(position), length);
    if (cp >= 0x300) {
      needs_nfc = true;
      break;
    }
    append_lower(out, cp);
    position += length;
  }
  if (!needs_nfc) return;

  out.resize(mark);
  thread_local std::vector<utf8proc_int32_t> buffer(256);
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(part.data());
  const auto length = static_cast<utf8proc_ssize_t>(part.size());
  utf8proc_ssize_t count = utf8proc_decompose(
      bytes, length, buffer.data(), static_cast<utf8proc_ssize_t>(buffer.size()), NFC_OPTIONS);
  if (count > static_cast<utf8proc_ssize_t>(buffer.size())) {
    buffer.resize(static_cast<std::size_t>(count));
    count = utf8proc_decompose(bytes, length, buffer.data(), count, NFC_OPTIONS);
  }
  if (count >= 0) count = utf8proc_normalize_utf32(buffer.data(), count, NFC_OPTIONS);
  if (count < 0) {
    append_lower_part(out, part);
    return;
  }
  for (utf8proc_ssize_t i = 0; i < count; ++i) {
    append_lower(out, static_cast<char32_t>(buffer[static_cast<std::size_t>(i)]));
  }
}

// ---- quoted form: escapes what would be invisible or ambiguous in a message ----

[[nodiscard]] bool is_grapheme_extend(char32_t cp) noexcept {
  if (cp < 0x80) return false;
  if (cp >= 0x1F3FB && cp <= 0x1F3FF)
    return false;  // emoji modifiers: GCB Extend, not Grapheme_Extend
  return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->boundclass ==
         UTF8PROC_BOUNDCLASS_EXTEND;
}

[[nodiscard]] bool is_printable(char32_t cp) noexcept {
  if (cp < 0x20) return false;
  if (cp < 0x7F) return true;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_ZS:
      return false;
    default:
      return true;
  }
}

void append_unicode_escape(std::string& out, char32_t cp) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  out.append("\\u{");
  int shift = 20;
  while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out.push_back(DIGITS[(cp >> shift) & 0xF]);
  out.push_back('}');
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t position = 0;
  while (position < text.size()) {
    const char32_t cp = util::next_code_point(text, position);
    switch (cp) {
      case U'\0':
        out.append("\\0");
        continue;
      case U'\t':
        out.append("\\t");
        continue;
      case U'\r':
        out.append("\\r");
        continue;
      case U'\n':
        out.append("\\n");
        continue;
      case U'\\':
        out.append("\\\\");
        continue;
      case U'"':
        out.append("\\\"");
        continue;
      default:
        break;
    }
    if (is_grapheme_extend(cp) || !is_printable(cp)) {
      append_unicode_escape(out, cp);
    } else {
      util::append_utf8(out, cp);
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace

Result<std::string> portable_path(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  std::string archive_path;
  archive_path.reserve(bytes.size());
  switch (walk_portable(bytes, archive_path)) {
    case Refusal::None:
      return archive_path;
    case Refusal::NotRelative:
      return std::unexpected(
          Error::invalid_input("path must be relative: " + util::lossy_utf8(bytes)));
    case Refusal::NotUtf8:
      return std::unexpected(Error::invalid_input("path is not UTF-8: " + util::lossy_utf8(bytes)));
    case Refusal::Unsafe:
      return std::unexpected(Error::invalid_input("unsafe path: " + util::lossy_utf8(bytes)));
    case Refusal::Empty:
      break;
  }
  return std::unexpected(Error::invalid_input("empty archive path"));
}

std::string collision_key(std::string_view archive_path) {
  std::string key;
  key.reserve(archive_path.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = archive_path.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? archive_path.size() : slash;
    append_key_part(key, archive_path.substr(start, end - start));
    if (slash == std::string_view::npos) break;
    key.push_back('/');
    start = slash + 1;
  }
  return key;
}

Result<void> register_portable_path(CollisionRegistry& registry, std::string_view archive_path) {
  std::string key = collision_key(archive_path);
  const auto found = registry.find(key);
  if (found != registry.end()) {
    if (found->second != archive_path) {
      return std::unexpected(Error::invalid_input("portable path collision: " + found->second +
                                                  " and " + std::string(archive_path)));
    }
    return {};
  }
  registry.emplace(std::move(key), std::string(archive_path));
  return {};
}

Result<void> check_stored_path(std::string_view stored) {
  // One pass finds NUL and backslash bytes, and whether the text is all ASCII
  // (then the UTF-8 check is skipped).
  bool nul_or_backslash = false;
  bool ascii = true;
  for (const char c : stored) {
    nul_or_backslash |= c == '\0' || c == '\\';
    ascii &= static_cast<unsigned char>(c) < 0x80;
  }
  if (stored.empty() || stored.size() > MAX_PATH_BYTES || nul_or_backslash) {
    return std::unexpected(Error::corrupt("unsafe path in index: " + quoted(stored)));
  }
  if (stored[0] == '/') {
    return std::unexpected(Error::corrupt("absolute path in index: " + util::lossy_utf8(stored)));
  }
  // The walk of portable_path, specialized: no root is possible any more and
  // NUL, "/" and backslash are excluded, so a component can only fail as ".",
  // ".." or a drive prefix. "/" is ASCII, so the whole text is valid UTF-8
  // exactly when every component is.
  bool refused = !ascii && !util::is_valid_utf8(stored);
  bool dropped = false;
  std::size_t start = 0;
  while (!refused) {
    const std::size_t slash = stored.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? stored.size() : slash;
    const std::string_view part = stored.substr(start, end - start);
    if (part.empty()) {
      dropped = true;  // doubled or trailing separator
    } else if (part == ".") {
      if (start == 0) refused = true;  // current-directory component
      dropped = true;
    } else if (part == ".." || !path_rules::archive_component(part)) {
      refused = true;
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
    if (start == stored.size()) dropped = true;  // trailing separator
  }
  if (refused) {
    return std::unexpected(Error::corrupt("unsafe path in index: " + util::lossy_utf8(stored)));
  }
  // With no root, "." or ".." component, the archive path differs from the
  // stored text exactly when an empty or "." part was dropped.
  if (dropped) {
    return std::unexpected(
        Error::corrupt("non-canonical path in index: " + util::lossy_utf8(stored)));
  }
  return {};
}

Result<std::filesystem::path> validate_stored_path(std::string_view stored) {
  KOV_TRY(check_stored_path(stored));
  return std::filesystem::path(std::string(stored));
}

std::optional<std::string_view> validate_symlink_target(std::string_view link_path,
                                                        std::string_view target) {
  if (target.empty() || target.size() > MAX_PATH_BYTES || contains_nul_or_backslash(target)) {
    return "empty, oversized, or non-portable target";
  }
  std::size_t depth = 0;
  for (const char c : link_path) {
    if (c == '/') ++depth;
  }
  Components components(target);
  Component component{};
  while (components.next(component)) {
    switch (component.kind) {
      case ComponentKind::Root:
        return "absolute targets are forbidden";
      case ComponentKind::CurDir:
        break;
      case ComponentKind::Parent:
        if (depth == 0) return "target escapes the archive root";
        --depth;
        break;
      case ComponentKind::Normal:
        ++depth;
        break;
    }
  }
  return std::nullopt;
}

std::string unsafe_link_text(std::string_view link, std::string_view reason) {
  std::string text = "unsafe symbolic link ";
  text.append(link).append(": ").append(reason);
  return text;
}

Error unsafe_link(std::string_view link, const LinkRefusal& refusal) {
  switch (refusal.kind) {
    case LinkRefusal::Kind::Escapes:
      break;
    case LinkRefusal::Kind::NotDirectory:
      return Error::corrupt(
          unsafe_link_text(link, "\"..\" after " + refusal.name + ", which is not a directory"));
  }
  return Error::corrupt(unsafe_link_text(link, "target escapes the archive root"));
}

namespace {

Result<std::string> checked_target(std::string target, const std::string& native,
                                   std::string_view archive_path) {
  if (!util::is_valid_utf8(target)) {
    return std::unexpected(
        Error::invalid_input("symbolic link target is not UTF-8: " + util::lossy_utf8(native)));
  }
  if (const auto reason = validate_symlink_target(archive_path, target)) {
    return std::unexpected(
        Error::invalid_input(unsafe_link_text(util::lossy_utf8(native), *reason)));
  }
  return target;
}

}  // namespace

Result<std::string> read_symlink_target(const std::filesystem::path& source,
                                        std::string_view archive_path) {
  const std::string& native = source.native();
  if (native.find('\0') != std::string::npos) {
    return std::unexpected(Error::io("file name contained an unexpected NUL byte"));
  }
  std::error_code error;
  std::string target = std::filesystem::read_symlink(source, error).native();
  if (error) return std::unexpected(Error::os(error.value()));
  return checked_target(std::move(target), native, archive_path);
}

Result<std::string> read_symlink_target_at(int dir, const std::string& name,
                                           const std::string& source,
                                           std::string_view archive_path) {
  // Targets are at most a page on Linux; one byte more tells a cut one.
  std::string target(4096, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
    if (n < 0) return std::unexpected(Error::os(errno));
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);
  }
  return checked_target(std::move(target), source, archive_path);
}

}  // namespace kov_core::archive
