#pragma once
// Byte sinks and sources in memory, for tests of the stream layers.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kov_core/error.hpp"
#include "kov_core/format.hpp"

namespace kov_test {

// Appends everything written to `bytes`; with `fail_with` set, every write
// fails with that error instead and nothing is kept.
class VectorSink final : public kov_core::format::ByteSink {
 public:
  [[nodiscard]] kov_core::Result<void> write(std::span<const std::uint8_t> data) override {
    ++writes;
    if (fail_with) return std::unexpected(*fail_with);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return {};
  }

  std::vector<std::uint8_t> bytes;
  std::optional<kov_core::Error> fail_with;
  std::size_t writes = 0;
};

// Reads a borrowed span, at most `max_read` bytes per call. When the span is
// used up it reports the end, or the error given to fail_at_end.
class SpanSource final : public kov_core::format::ByteSource {
 public:
  explicit SpanSource(std::span<const std::uint8_t> data,
                      std::size_t max_read = std::numeric_limits<std::size_t>::max())
      : data_(data), max_read_(max_read) {}

  void fail_at_end(kov_core::Error error) { fail_with_.emplace(std::move(error)); }

  [[nodiscard]] kov_core::Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (out.empty()) return 0;
    if (data_.empty()) {
      if (fail_with_) return std::unexpected(*fail_with_);
      return 0;
    }
    const std::size_t n = std::min({out.size(), data_.size(), max_read_});
    std::memcpy(out.data(), data_.data(), n);
    data_ = data_.subspan(n);
    return n;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t max_read_;
  std::optional<kov_core::Error> fail_with_;
};

}  // namespace kov_test
