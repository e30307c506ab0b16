// Rendering of errors: the exact texts users see.
#include "error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "buffer.h"

namespace velmar {
namespace {

std::string oom_text(const std::string& memory_line, const std::string& raw) {
  return "Out Of Memory (OOM): The system could not allocate enough memory.\n"
         "- " +
         memory_line +
         "\nTry reducing the number of nodes or the embedding dimension.\n"
         "\nRaw Error:\n" +
         raw;
}

TEST(RenderTest, ShapeMismatchPrefixesMessageVerbatim) {
  EXPECT_EQ(render(VelmarError::shape_mismatch("Capacity overflow")),
            "Shape mismatch: Capacity overflow");
  EXPECT_EQ(render(VelmarError::shape_mismatch("")), "Shape mismatch: ");
  EXPECT_EQ(render(VelmarError::shape_mismatch("a\nb")),
            "Shape mismatch: a\nb");
}

TEST(RenderTest, AllocErrorIsSixLinesWithSizeInMb) {
  const auto e =
      VelmarError::out_of_memory(TryReserveError::alloc_error(1600000000, 4));
  EXPECT_EQ(render(e),
            oom_text("Requested Memory: 1525.88 MB",
                     "TryReserveError { kind: AllocError { layout: Layout { "
                     "size: 1600000000, align: 4 (1 << 2) }, non_exhaustive: "
                     "() } }"));
}

TEST(RenderTest, CapacityOverflowHasUnknownSize) {
  const auto e =
      VelmarError::out_of_memory(TryReserveError::capacity_overflow());
  EXPECT_EQ(render(e), oom_text("Requested Memory: Unknown",
                                "TryReserveError { kind: CapacityOverflow }"));
}

struct SizeCase {
  std::uint64_t bytes;
  const char* shown;
};

class RequestedMemoryTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RequestedMemoryTest, RoundsHalfToEvenAfterConversionToDouble) {
  const auto [bytes, shown] = GetParam();
  const std::string raw = render_raw(TryReserveError::alloc_error(bytes, 8));
  EXPECT_EQ(requested_memory_line(raw),
            std::string("Requested Memory: ") + shown + " MB");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RequestedMemoryTest,
    ::testing::Values(SizeCase{131072, "0.12"}, SizeCase{393216, "0.38"},
                      SizeCase{4, "0.00"}, SizeCase{1048576, "1.00"},
                      SizeCase{9007199254740993ull, "8589934592.00"},
                      SizeCase{std::uint64_t{1} << 43, "8388608.00"},
                      SizeCase{UINT64_MAX, "17592186044416.00"}));

TEST(RequestedMemoryTest, MalformedRawTextIsUnknown) {
  for (const char* raw : {"", "size: 12", "size: ,", "size: +,", "size: -1,",
                          "size: 1x,", "size: 18446744073709551616,"}) {
    EXPECT_EQ(requested_memory_line(raw), "Requested Memory: Unknown") << raw;
  }
  EXPECT_EQ(requested_memory_line("size: +1048576,"),
            "Requested Memory: 1.00 MB");
}

TEST(RenderTest, RawTextNamesAlignmentAndItsLog) {
  EXPECT_EQ(render_raw(TryReserveError::alloc_error(16, 8)),
            "TryReserveError { kind: AllocError { layout: Layout { size: 16, "
            "align: 8 (1 << 3) }, non_exhaustive: () } }");
}

TEST(TryReserveTest, OverflowingAndRefusedRequestsAreValues) {
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's operator new reports a refused request and aborts
  // instead of throwing std::bad_alloc, so the refusal cannot be observed.
  GTEST_SKIP() << "operator new cannot fail softly under AddressSanitizer";
#endif
  std::vector<double> v;
  auto overflow = try_reserve(v, UINT64_MAX / 4);
  ASSERT_FALSE(overflow.ok());
  EXPECT_EQ(render(overflow.error()),
            oom_text("Requested Memory: Unknown",
                     "TryReserveError { kind: CapacityOverflow }"));
  // 8 TiB: more than this machine has, refused by the allocator.
  auto refused = try_reserve(v, std::uint64_t{1} << 40);
  ASSERT_FALSE(refused.ok());
  const auto& oom = std::get<OutOfMemory>(refused.error().kind);
  EXPECT_EQ(oom.reservation.kind, TryReserveError::Kind::AllocError);
  EXPECT_EQ(oom.reservation.layout.size, std::uint64_t{1} << 43);
  EXPECT_EQ(oom.reservation.layout.align, 8u);
  EXPECT_TRUE(try_reserve(v, 1000).ok());
  EXPECT_GE(v.capacity(), 1000u);
}

TEST(FloatBufferTest, ZeroedAtEverySizeAndRefusalIsAValue) {
  for (std::uint64_t count : {0ull, 1ull, 1000ull, 1ull << 20, 3ull << 19}) {
    auto b = FloatBuffer::allocate_zeroed(count);
    ASSERT_TRUE(b.ok());
    ASSERT_EQ(b->size(), count);
    for (std::uint64_t i = 0; i < count; i += 4093)
      EXPECT_EQ(b->data()[i], 0.0f);
    if (count) b->data()[count - 1] = 1.0f;  // writable to the end
  }
  auto huge = FloatBuffer::allocate_zeroed(std::uint64_t{1} << 41);
  ASSERT_FALSE(huge.ok());
  EXPECT_NE(render(huge.error()).find("Requested Memory: 8388608.00 MB"),
            std::string::npos);
  auto overflow = FloatBuffer::allocate_zeroed(std::uint64_t{1} << 62);
  ASSERT_FALSE(overflow.ok());
  EXPECT_NE(render(overflow.error()).find("Unknown"), std::string::npos);
}

TEST(FloatBufferTest, ReleasedBufferIsFreedByItsOwnFunction) {
  auto b = FloatBuffer::allocate_zeroed(1 << 20);
  ASSERT_TRUE(b.ok());
  RawFloatBuffer raw = b->release();
  EXPECT_EQ(b->data(), nullptr);
  ASSERT_NE(raw.data, nullptr);
  raw.data[raw.length - 1] = 2.0f;
  raw.release(raw.data, raw.length, raw.capacity);
}

}  // namespace
}  // namespace velmar
