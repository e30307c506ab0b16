// CRC32C: published check values, the hardware and table loops agreeing on
// every length and alignment, continuation, and chunk checksums on pools of
// any size.
#include "checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pool.h"

namespace velmar {
namespace {

std::vector<unsigned char> pattern(std::size_t size, std::uint64_t seed) {
  std::vector<unsigned char> bytes(size);
  std::uint64_t x = seed;
  for (auto& b : bytes) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    b = static_cast<unsigned char>(x >> 56);
  }
  return bytes;
}

TEST(Crc32cTest, PublishedCheckValues) {
  // RFC 3720 (iSCSI), appendix B.4, and the usual "123456789" check.
  const std::string digits = "123456789";
  const std::vector<unsigned char> zeros(32, 0x00), ones(32, 0xFF);
  std::vector<unsigned char> up(32), down(32);
  for (int i = 0; i < 32; ++i) {
    up[i] = static_cast<unsigned char>(i);
    down[i] = static_cast<unsigned char>(31 - i);
  }
  for (auto f : {&crc32c, &detail::crc32c_portable}) {
    EXPECT_EQ(f(0, digits.data(), digits.size()), 0xE3069283u);
    EXPECT_EQ(f(0, zeros.data(), 32), 0x8A9136AAu);
    EXPECT_EQ(f(0, ones.data(), 32), 0x62A8AB43u);
    EXPECT_EQ(f(0, up.data(), 32), 0x46DD794Eu);
    EXPECT_EQ(f(0, down.data(), 32), 0x113FDB5Cu);
    EXPECT_EQ(f(0, nullptr, 0), 0u);
  }
}

TEST(Crc32cTest, HardwareAndTableAgreeOnEveryLengthAndAlignment) {
  const std::string impl = crc32c_implementation();
  EXPECT_TRUE(impl == "sse4.2" || impl == "arm-crc" || impl == "table");
  EXPECT_EQ(impl != "table", detail::crc32c_hardware_available());
  if (!detail::crc32c_hardware_available()) GTEST_SKIP() << "no CRC unit";
  const auto bytes = pattern(4096 + 64, 1);
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t size : {0, 1, 7, 8, 9, 15, 16, 17, 63, 100, 1000, 4096}) {
      const unsigned char* p = bytes.data() + offset;
      ASSERT_EQ(detail::crc32c_hardware(0, p, size),
                detail::crc32c_portable(0, p, size))
          << "offset " << offset << ", size " << size;
    }
  }
}

TEST(Crc32cTest, ContinuesAcrossPieces) {
  const auto bytes = pattern(1000, 2);
  const std::uint32_t whole = crc32c(0, bytes.data(), bytes.size());
  for (std::size_t cut : {0, 1, 5, 8, 333, 999, 1000}) {
    const std::uint32_t first = crc32c(0, bytes.data(), cut);
    EXPECT_EQ(crc32c(first, bytes.data() + cut, bytes.size() - cut), whole);
    EXPECT_EQ(
        detail::crc32c_portable(first, bytes.data() + cut, bytes.size() - cut),
        whole);
  }
}

TEST(Crc32cTest, EveryFlippedBitChangesTheChecksum) {
  auto bytes = pattern(256, 3);
  const std::uint32_t original = crc32c(0, bytes.data(), bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      bytes[i] ^= static_cast<unsigned char>(1u << bit);
      EXPECT_NE(crc32c(0, bytes.data(), bytes.size()), original);
      bytes[i] ^= static_cast<unsigned char>(1u << bit);
    }
  }
}

TEST(ChunkChecksumsTest, EachChunkAloneOnPoolsOfAnySize) {
  const auto bytes = pattern(100003, 4);
  for (std::uint64_t chunk : {1ull, 7ull, 4096ull, 100003ull, 1ull << 20}) {
    const std::uint64_t count = (bytes.size() + chunk - 1) / chunk;
    std::vector<std::uint32_t> want(count);
    for (std::uint64_t c = 0; c < count; ++c) {
      const std::uint64_t lo = c * chunk;
      const std::uint64_t len =
          std::min<std::uint64_t>(chunk, bytes.size() - lo);
      want[c] = detail::crc32c_portable(0, bytes.data() + lo, len);
    }
    for (std::size_t threads : {1, 3}) {
      detail::ScopedPool pool(threads);
      std::vector<std::uint32_t> got(count);
      ASSERT_TRUE(chunk_checksums(bytes.data(), bytes.size(), chunk, got.data(),
                                  nullptr)
                      .ok());
      EXPECT_EQ(got, want) << "chunk " << chunk << ", threads " << threads;
    }
  }
  std::uint32_t untouched = 7;
  EXPECT_TRUE(chunk_checksums(nullptr, 0, 16, &untouched, nullptr).ok());
  EXPECT_EQ(untouched, 7u);
}

TEST(ChunkChecksumsErrorTest, ZeroChunkAndCancelled) {
  const auto bytes = pattern(64, 5);
  std::vector<std::uint32_t> out(64);
  const Status zero = chunk_checksums(bytes.data(), 64, 0, out.data(), nullptr);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(render(zero.error()), "Shape mismatch: chunk size 0");
  CancelFlag cancel;
  cancel.raised = true;
  const Status stopped =
      chunk_checksums(bytes.data(), 64, 1, out.data(), &cancel);
  ASSERT_FALSE(stopped.ok());
  EXPECT_TRUE(stopped.error().is_cancelled());
}

}  // namespace
}  // namespace velmar
