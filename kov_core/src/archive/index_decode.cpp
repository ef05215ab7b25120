#include <algorithm>
#include <functional>
#include <string>

#include "archive/archive_internal.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/utf8.hpp"
#include "util/checked.hpp"

namespace kov_core::archive {

namespace {

using format::load_u16;
using format::load_u32;

template <std::size_t N>
bool all_zero(const std::array<std::uint8_t, N>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

Error corrupt(std::string message) { return Error::corrupt(std::move(message)); }

// The smallest entry record: the fixed part and a one-byte path.
constexpr std::size_t MIN_ENTRY_RECORD = ENTRY_FIXED_SIZE + 1;

constexpr std::uint8_t bit(EntryKind kind) {
  return static_cast<std::uint8_t>(1u << static_cast<unsigned>(kind));
}

// Paths seen so far, found by collision key. Every path seen is held under its
// key, and a key never holds two paths (that is a collision), so one table
// answers both "seen before" and "collides with". A slot keeps part of the
// key's hash and no key: on a matching fingerprint the key of the entry it
// names is computed again, which only a real match or a rare clash needs.
class PathTable {
 public:
  struct Slot {
    std::uint32_t entry = 0;  // index of the first entry with this path, plus one; 0 when free
    std::uint16_t fingerprint = 0;
    std::uint8_t kinds_seen = 0;
    EntryKind latest = EntryKind::File;
  };

  explicit PathTable(std::size_t count) {
    std::size_t size = 16;
    while (size < count + count / 2) size *= 2;
    slots_.resize(size);
  }

  // The slot of `key`, or the free slot where it belongs.
  Slot& find(std::string_view key, const std::vector<Entry>& entries) {
    const std::size_t hash = std::hash<std::string_view>{}(key);
    const auto fingerprint = static_cast<std::uint16_t>(hash >> 48);
    for (std::size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& slot = slots_[i];
      if (slot.entry == 0) {
        slot.fingerprint = fingerprint;
        return slot;
      }
      if (slot.fingerprint == fingerprint && same_key(entries[slot.entry - 1].path, key))
        return slot;
    }
  }

  void claim(Slot& slot, std::uint32_t entry) { slot.entry = entry + 1; }

 private:
  static bool same_key(std::string_view path, std::string_view key) {
    return collision_key(path) == key;
  }

  std::vector<Slot> slots_;
};

// Refuses two entries whose stored data share a byte; empty regions share
// none. Sorted by start (then index order), the first region that begins before
// the previous one ends gives the overlap reported: the first in file order.
// The message names the entry earlier in index order first.
Result<void> check_disjoint_data(const std::vector<Entry>& entries) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> starts;
  starts.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].stored_size != 0)
      starts.emplace_back(entries[i].data_offset, static_cast<std::uint32_t>(i));
  std::sort(starts.begin(), starts.end());
  for (std::size_t k = 1; k < starts.size(); ++k) {
    const auto [previous_start, previous] = starts[k - 1];
    const auto [start, current] = starts[k];
    // Bounded by the index offset, so it cannot overflow.
    if (start < previous_start + entries[previous].stored_size) {
      const Entry& first = entries[std::min(previous, current)];
      const Entry& second = entries[std::max(previous, current)];
      return std::unexpected(
          corrupt("overlapping entry data: " + first.path + " and " + second.path));
    }
  }
  return {};
}

// The index's frame before its first entry record.
struct IndexHead {
  std::uint32_t count = 0;
  int generation = 0;
  ArchiveSettings settings;
};

// Reads the entry count and the settings record (generation 0 has none and
// takes fixed settings), leaving `in` at the first entry record.
Result<IndexHead> read_head(format::ByteReader& in, format::Version version) {
  IndexHead head;
  auto count = in.read_u32();
  if (!count) return std::unexpected(std::move(count).error());
  if (*count > MAX_ENTRIES)
    return std::unexpected(corrupt("entry count exceeds implementation limit"));
  head.count = *count;
  auto settings_size = in.read_u32();
  if (!settings_size) return std::unexpected(std::move(settings_size).error());
  auto generation = format::format_generation(version);
  if (!generation) return std::unexpected(std::move(generation).error());
  head.generation = *generation;

  if (head.generation >= 1) {
    if (*settings_size != SETTINGS_SIZE)
      return std::unexpected(corrupt("invalid KOV 0.4 settings size"));
    std::span<const std::uint8_t> record;
    if (!in.take(SETTINGS_SIZE, record))
      return std::unexpected(corrupt("truncated KOV 0.4 settings"));
    auto settings = decode_settings(record, version == format::VERSION_0_5_0);
    if (!settings) return std::unexpected(std::move(settings).error());
    head.settings = *settings;
  } else {
    if (*settings_size != 0) return std::unexpected(corrupt("non-zero reserved index bytes"));
    head.settings = generation0_settings();
  }
  // Nothing is reserved before the index is known to be long enough for the count.
  if (in.remaining() / MIN_ENTRY_RECORD < head.count)
    return std::unexpected(corrupt("entry count exceeds available index bytes"));
  return head;
}

// The first four bytes of an entry record: kind, codec, level and flags
// (generation 0 keeps the last two zero and takes the archive's level).
Result<Entry> read_entry_head(format::ByteReader& in, const IndexHead& head, bool links_allowed) {
  std::span<const std::uint8_t> fixed;
  if (!in.take(4, fixed)) return std::unexpected(corrupt("truncated entry"));
  const std::uint8_t kind_code = fixed[0];
  if (kind_code < 1 || kind_code > 4 || (kind_code == 4 && !links_allowed))
    return std::unexpected(Error::unsupported("entry kind " + std::to_string(kind_code)));
  const std::uint8_t codec = fixed[1];
  if (codec > 1) return std::unexpected(Error::unsupported("entry flags or codec"));
  Entry entry;
  entry.kind = static_cast<EntryKind>(kind_code - 1);
  std::uint8_t flag_bits = fixed[3];
  if (head.generation >= 1) {
    const auto level = static_cast<std::int8_t>(fixed[2]);
    if (flag_bits > 3 || level < -5 || level > 19)
      return std::unexpected(Error::unsupported("entry flags or compression level"));
    entry.compression_level = level;
  } else {
    if (fixed[2] != 0 || fixed[3] != 0) return std::unexpected(Error::unsupported("entry flags"));
    entry.compression_level =
        codec == CODEC_ZSTD ? head.settings.compression_level : std::int8_t{0};
    flag_bits = 0;
  }
  entry.codec = codec == CODEC_ZSTD ? "zstd" : "store";
  entry.codec_id = codec;
  entry.adaptively_stored = (flag_bits & 1) != 0;
  entry.encrypted = (flag_bits & 2) != 0;
  return entry;
}

// One entry record, with the checks that need no other entry: its head, then
// the path's own rules.
Result<Entry> read_entry(format::ByteReader& in, const IndexHead& head, bool links_allowed) {
  auto read = read_entry_head(in, head, links_allowed);
  if (!read) return std::unexpected(std::move(read).error());
  Entry& entry = *read;
  auto path_length = in.read_u32();
  if (!path_length) return std::unexpected(std::move(path_length).error());
  if (*path_length < 1 || *path_length > MAX_PATH_BYTES)
    return std::unexpected(corrupt("invalid path length"));
  auto mode = in.read_u32();
  if (!mode) return std::unexpected(std::move(mode).error());
  auto modified = in.read_i64();
  if (!modified) return std::unexpected(std::move(modified).error());
  auto original_size = in.read_u64();
  if (!original_size) return std::unexpected(std::move(original_size).error());
  auto data_offset = in.read_u64();
  if (!data_offset) return std::unexpected(std::move(data_offset).error());
  auto stored_size = in.read_u64();
  if (!stored_size) return std::unexpected(std::move(stored_size).error());
  std::span<const std::uint8_t> sha;
  if (!in.take(entry.sha256_bytes.size(), sha))
    return std::unexpected(corrupt("truncated entry hash"));
  std::span<const std::uint8_t> path_bytes;
  if (!in.take(*path_length, path_bytes)) return std::unexpected(corrupt("truncated entry path"));
  entry.path.assign(reinterpret_cast<const char*>(path_bytes.data()), path_bytes.size());
  if (!util::is_valid_utf8(entry.path)) return std::unexpected(corrupt("entry path is not UTF-8"));
  KOV_TRY(check_stored_path(entry.path));
  entry.original_size = *original_size;
  entry.data_offset = *data_offset;
  entry.stored_size = *stored_size;
  entry.mode = *mode;
  entry.modified_unix = *modified;
  std::copy(sha.begin(), sha.end(), entry.sha256_bytes.begin());
  return std::move(*read);
}

// Appends `entry` unless its path collides with another one, repeats a kind
// already held by its path, or joins kinds other than a file and its fork.
Result<void> register_path(PathTable& table, std::vector<Entry>& entries, Entry entry) {
  PathTable::Slot& slot = table.find(collision_key(entry.path), entries);
  if (slot.entry != 0) {
    const Entry& first = entries[slot.entry - 1];
    // A different path under the same key was seen, so this one was not.
    if (first.path != entry.path)
      return std::unexpected(
          corrupt("portable path collision: " + first.path + " and " + entry.path));
    if ((slot.kinds_seen & bit(entry.kind)) != 0)
      return std::unexpected(corrupt("duplicate entry kind/path: " + entry.path));
    if ((bit(slot.latest) | bit(entry.kind)) !=
        (bit(EntryKind::File) | bit(EntryKind::ResourceFork)))
      return std::unexpected(corrupt("conflicting entry kinds for path: " + entry.path));
  }
  entries.push_back(std::move(entry));
  const EntryKind kind = entries.back().kind;
  if (slot.entry == 0) table.claim(slot, static_cast<std::uint32_t>(entries.size() - 1));
  slot.kinds_seen |= bit(kind);
  slot.latest = kind;
  return {};
}

// Creation writes entry data in index order, so checking that each region
// starts where the earlier ones end settles nearly every archive without a sort.
struct DataOrder {
  std::uint64_t end = 0;
  bool sorted = true;
};

// The checks of an entry's kind against its data: a directory has none, other
// data lies between the header and the index and is encrypted as the archive
// is, and a stored entry has no compression level.
Result<void> check_data(const Entry& e, std::uint64_t index_offset, bool encrypted_archive,
                        DataOrder& order) {
  if (e.kind == EntryKind::Directory) {
    if (e.compression_level != 0 || e.codec_id != 0 || e.adaptively_stored || e.encrypted ||
        e.original_size != 0 || e.data_offset != 0 || e.stored_size != 0)
      return std::unexpected(corrupt("directory has file data: " + e.path));
  } else {
    const auto end = util::checked_add(e.data_offset, e.stored_size);
    if (e.data_offset < format::HEADER_SIZE || !end || *end > index_offset)
      return std::unexpected(corrupt("file data out of bounds: " + e.path));
    if (e.stored_size != 0) {
      if (e.data_offset < order.end) order.sorted = false;
      order.end = std::max(order.end, *end);
    }
    if (e.encrypted != encrypted_archive)
      return std::unexpected(
          corrupt("entry encryption flag does not match archive settings: " + e.path));
  }
  if (e.codec_id == CODEC_STORE && e.compression_level != 0)
    return std::unexpected(corrupt("stored entry has a compression level: " + e.path));
  return {};
}

// The checks that need the whole entry set: every fork has its file, and every
// link's payload is a stored target of a valid length.
Result<void> check_entry_set(const std::vector<Entry>& entries, PathTable& table) {
  for (const Entry& e : entries)
    if (e.kind == EntryKind::ResourceFork &&
        (table.find(collision_key(e.path), entries).kinds_seen & bit(EntryKind::File)) == 0)
      return std::unexpected(corrupt("resource fork has no file entry: " + e.path));
  for (const Entry& e : entries)
    if (e.kind == EntryKind::Symlink &&
        (e.original_size < 1 || e.original_size > MAX_PATH_BYTES || e.codec_id != CODEC_STORE))
      return std::unexpected(corrupt("invalid symbolic link payload: " + e.path));
  return {};
}

}  // namespace

Result<ArchiveSettings> decode_settings(std::span<const std::uint8_t> record,
                                        bool zero_index_tag_allowed) {
  if (record.size() != SETTINGS_SIZE ||
      !std::equal(SETTINGS_MAGIC.begin(), SETTINGS_MAGIC.end(), record.begin()))
    return std::unexpected(corrupt("invalid KOV 0.4 settings record"));
  const std::uint8_t* r = record.data();
  if (r[8] >= 5)
    return std::unexpected(Error::unsupported("compression profile " + std::to_string(r[8])));
  if (r[32] >= 3)
    return std::unexpected(Error::unsupported("encryption mode " + std::to_string(r[32])));

  ArchiveSettings s;
  s.profile = static_cast<CompressionProfile>(r[8]);
  s.compression_level = static_cast<std::int8_t>(r[9]);
  const std::uint16_t flag_bits = load_u16(r + 10);
  s.memory_limit_mib = load_u32(r + 12);
  s.available_memory_mib = load_u32(r + 16);
  s.thread_limit = load_u16(r + 20);
  s.store_threshold_permille = load_u16(r + 22);
  s.sample_size = load_u32(r + 24);
  s.io_buffer_size = load_u32(r + 28);
  s.encryption = static_cast<crypto::EncryptionMode>(r[32]);
  const std::uint8_t derivation = r[33];
  s.kdf_lanes = r[34];
  const std::uint8_t reserved = r[35];
  s.kdf_memory_kib = load_u32(r + 36);
  s.kdf_iterations = load_u32(r + 40);
  std::copy(r + 44, r + 60, s.salt.begin());
  std::copy(r + 60, r + 76, s.nonce_prefix.begin());
  s.encryption_chunk_size = load_u32(r + 76);
  std::copy(r + 80, r + 96, s.index_tag.begin());

  if (flag_bits > 3 || s.compression_level < -5 || s.compression_level > 19 ||
      s.memory_limit_mib < 16 || s.memory_limit_mib > 256 || s.thread_limit < 1 ||
      s.store_threshold_permille < 900 || s.store_threshold_permille > 1000 ||
      s.sample_size > 1'048'576 || s.io_buffer_size < 65'536 || s.io_buffer_size > 8'388'608 ||
      reserved != 0)
    return std::unexpected(corrupt("invalid KOV 0.4 compression settings"));

  switch (s.encryption) {
    case crypto::EncryptionMode::None:
      if (derivation != 0 || s.kdf_lanes != 0 || s.kdf_memory_kib != 0 || s.kdf_iterations != 0 ||
          s.encryption_chunk_size != 0 || !all_zero(s.salt) || !all_zero(s.nonce_prefix) ||
          !all_zero(s.index_tag))
        return std::unexpected(corrupt("unexpected encryption parameters"));
      break;
    case crypto::EncryptionMode::Password:
      if (derivation != 1 || s.kdf_memory_kib < 16'384 || s.kdf_memory_kib > 262'144 ||
          s.kdf_iterations < 1 || s.kdf_iterations > 10 || s.kdf_lanes < 1 || s.kdf_lanes > 4)
        return std::unexpected(corrupt("invalid password derivation parameters"));
      break;
    case crypto::EncryptionMode::KeyFile:
      if (derivation != 2 || s.kdf_lanes != 0 || s.kdf_memory_kib != 0 || s.kdf_iterations != 0)
        return std::unexpected(corrupt("invalid key-file parameters"));
      break;
  }
  if (s.encryption != crypto::EncryptionMode::None &&
      (s.encryption_chunk_size < 16'384 || s.encryption_chunk_size > 1'048'576 ||
       all_zero(s.salt) || all_zero(s.nonce_prefix) ||
       (all_zero(s.index_tag) && !zero_index_tag_allowed)))
    return std::unexpected(corrupt("invalid encrypted archive settings"));

  s.adaptive_selection = (flag_bits & 1) != 0;
  s.constrained_at_creation = (flag_bits & 2) != 0;
  return s;
}

Result<DecodedIndex> decode_index(std::span<const std::uint8_t> index, std::uint64_t index_offset,
                                  format::Version version) {
  if (index.size() < 8) return std::unexpected(corrupt("truncated index header"));
  if (!std::equal(INDEX_MAGIC.begin(), INDEX_MAGIC.end(), index.begin()))
    return std::unexpected(corrupt("wrong index magic"));
  format::ByteReader in(index.subspan(8));
  auto head = read_head(in, version);
  if (!head) return std::unexpected(std::move(head).error());

  DecodedIndex decoded;
  decoded.settings = head->settings;
  const bool links_allowed = head->generation >= 1 || version == format::Version{0, 3, 0};
  const bool encrypted_archive = decoded.settings.encryption != crypto::EncryptionMode::None;
  std::vector<Entry>& entries = decoded.entries;
  entries.reserve(head->count);
  PathTable table(head->count);
  DataOrder order;
  for (std::uint32_t i = 0; i < head->count; ++i) {
    auto entry = read_entry(in, *head, links_allowed);
    if (!entry) return std::unexpected(std::move(entry).error());
    KOV_TRY(register_path(table, entries, std::move(*entry)));
    KOV_TRY(check_data(entries.back(), index_offset, encrypted_archive, order));
  }
  if (in.remaining() != 0) return std::unexpected(corrupt("trailing bytes in index"));
  KOV_TRY(check_entry_set(entries, table));
  if (!order.sorted) KOV_TRY(check_disjoint_data(entries));
  return decoded;
}

}  // namespace kov_core::archive
