#include "kov_core/format.hpp"

#include <gtest/gtest.h>

#include <string>

#include "kov_core/archive.hpp"

namespace {

using namespace kov_core;

TEST(Digest, KnownAnswersOneShotAndIncremental) {
  const std::string abc = "abc";
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(abc.data()),
                                            abc.size());
  EXPECT_EQ(archive::hex(format::digest(bytes)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(archive::hex(format::digest({})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  format::Sha256 sha;
  sha.update(bytes.first(1));
  sha.update(bytes.subspan(1));
  EXPECT_EQ(sha.finish(), format::digest(bytes));
  sha.update(bytes);  // finishing starts a new message
  EXPECT_EQ(sha.finish(), format::digest(bytes));
}

}  // namespace
