#pragma once
// What the whole-archive harnesses share: an archive file in memory that
// opening reaches by path, and the repairs that let mutations get past the
// checksums.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/format.hpp"

namespace kov_fuzz {

inline constexpr std::uint8_t REPAIR_DIGESTS = 1;
inline constexpr std::uint8_t REPAIR_FOOTER_FIELDS = 2;
inline constexpr std::uint8_t REPAIR_ARCHIVE_ID = 4;
inline constexpr std::uint8_t REPAIR_CHECKSUM = 8;

// A file in memory, named by its /proc path.
class MemoryFile {
 public:
  explicit MemoryFile(const std::vector<std::uint8_t>& bytes)
      : fd_(::memfd_create("kov-fuzz", MFD_CLOEXEC)) {
    check(fd_ >= 0, "memfd_create failed");
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      check(n > 0, "write to memfd failed");
      done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { ::close(fd_); }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// The header checksum of the first 64 bytes, recomputed.
inline void repair_checksum(std::vector<std::uint8_t>& file) {
  if (file.size() < kov_core::format::HEADER_SIZE) return;
  std::array<std::uint8_t, 64> head{};
  std::copy_n(file.begin(), 64, head.begin());
  std::fill(head.begin() + 44, head.begin() + 48, std::uint8_t{0});
  const auto sum = kov_core::format::digest(head);
  std::copy_n(sum.begin(), 4, file.begin() + 44);
}

// Where the header places the index, when that fits the file with its footer.
inline bool index_region(const std::vector<std::uint8_t>& file, std::uint64_t& offset,
                         std::uint64_t& length) {
  if (file.size() < kov_core::format::HEADER_SIZE + kov_core::format::FOOTER_SIZE) return false;
  offset = kov_core::format::load_u64(file.data() + 48);
  length = kov_core::format::load_u64(file.data() + 56);
  return offset >= 64 && length <= file.size() && offset <= file.size() - length &&
         offset + length + kov_core::format::FOOTER_SIZE == file.size();
}

// Gives every unencrypted stored entry the size and SHA-256 of its stored
// bytes, so that mutated contents (link targets above all) get past the decode
// chain's checks. The index is re-encoded in place; only generations 1 and 2
// have an encoder. Runs before repair, whose archive ID covers both fields.
inline void repair_entry_digests(std::vector<std::uint8_t>& file) {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  if (!index_region(file, offset, length)) return;
  const kov_core::format::Version version{file[8], file[9], file[10]};
  const auto generation = kov_core::format::format_generation(version);
  if (!generation || *generation == 0) return;
  const std::span<const std::uint8_t> index(file.data() + offset, length);
  auto decoded = kov_core::archive::decode_index(index, offset, version);
  if (!decoded) return;
  for (kov_core::archive::Entry& entry : decoded->entries) {
    if (entry.kind == kov_core::archive::EntryKind::Directory || entry.encrypted ||
        entry.codec_id != kov_core::archive::CODEC_STORE)
      continue;
    // Index decoding keeps every region inside the data area.
    entry.sha256_bytes =
        kov_core::format::digest(std::span(file.data() + entry.data_offset, entry.stored_size));
    entry.original_size = entry.stored_size;
  }
  auto encoded = kov_core::archive::encode_index(decoded->entries, decoded->settings);
  if (encoded && encoded->size() == length)
    std::copy(encoded->begin(), encoded->end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
}

inline void repair(std::vector<std::uint8_t>& file, std::uint8_t what) {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  if (index_region(file, offset, length)) {
    const std::span<const std::uint8_t> index(file.data() + offset, length);
    std::uint8_t* footer = file.data() + offset + length;
    if (what & REPAIR_DIGESTS) {
      const auto sum = kov_core::format::digest(index);
      std::copy(sum.begin(), sum.end(), footer);
      std::copy(sum.begin(), sum.end(), footer + 56);
    }
    if (what & REPAIR_FOOTER_FIELDS) {
      std::copy(kov_core::format::FOOTER_MAGIC.begin(), kov_core::format::FOOTER_MAGIC.end(),
                footer + 32);
      kov_core::format::store_u64(std::span<std::uint8_t, 8>(footer + 40, 8), offset);
      kov_core::format::store_u64(std::span<std::uint8_t, 8>(footer + 48, 8), length);
    }
    if (what & REPAIR_ARCHIVE_ID) {
      const kov_core::format::Version version{file[8], file[9], file[10]};
      auto decoded = kov_core::archive::decode_index(index, offset, version);
      if (decoded) {
        const auto created =
            static_cast<std::int64_t>(kov_core::format::load_u64(file.data() + 32));
        const auto id = kov_core::archive::archive_id(created, decoded->entries);
        std::copy(id.begin(), id.end(), file.begin() + 16);
      }
    }
  }
  if (what & REPAIR_CHECKSUM) repair_checksum(file);
}

// Opens the file with `credential` and tests it: every failure must be one of
// the archive's own messages.
inline void open_and_test(const MemoryFile& file,
                          const kov_core::crypto::EncryptionCredential& credential) {
  auto opened = kov_core::archive::Archive::open_with_credential(file.path(), credential);
  if (!opened) {
    check_error(opened.error(), ARCHIVE_ERRORS, INDEX_ERRORS, SETTINGS_ERRORS);
    return;
  }
  auto tested = opened->test();
  if (!tested) check_error(tested.error(), ARCHIVE_ERRORS);
}

}  // namespace kov_fuzz
