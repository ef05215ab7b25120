#include "kov_core/format.hpp"

#include <gtest/gtest.h>

#include "support/archive_bytes.hpp"
#include "support/expect_error.hpp"

namespace {

using namespace kov_core;
using kov_test::Bytes;

TEST(ByteReader, IntegersAreLittleEndianAndChecked) {
  const Bytes bytes{1, 2, 3, 4, 5, 6, 7, 8};
  format::ByteReader eight(bytes);
  EXPECT_EQ(eight.read_u64().value(), 0x0807060504030201u);
  EXPECT_EQ(eight.remaining(), 0u);
  format::ByteReader seven(std::span<const std::uint8_t>(bytes).first(7));
  EXPECT_KOV_ERROR(seven.read_u64(), ErrorKind::Corrupt, "corrupt archive: truncated integer");
  format::ByteReader three(std::span<const std::uint8_t>(bytes).first(3));
  EXPECT_KOV_ERROR(three.read_u32(), ErrorKind::Corrupt, "corrupt archive: truncated integer");
  const Bytes all_ones(8, 0xFF);
  format::ByteReader negative(all_ones);
  EXPECT_EQ(negative.read_i64().value(), -1);
}

}  // namespace
