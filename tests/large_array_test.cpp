// Large mappings kept while a KeepLargeMappings lives: handed on with their
// contents (so their pages are not touched afresh), grown when asked for
// more, the smallest that fits chosen, and all released with the guard.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/large_array.hpp"

namespace velmora {
namespace {

constexpr std::size_t kMB = std::size_t(1) << 20;

TEST(LargeArray, KeptMappingsAreHandedOnUntilTheGuardGoes) {
  ASSERT_EQ(large_kept_bytes(), 0u);
  {
    KeepLargeMappings keep;
    const std::size_t n = 128 * kMB / sizeof(std::uint64_t);
    void* first = nullptr;
    {
      LargeArray<std::uint64_t> a(n);
      first = a.get();
      for (std::size_t i = 0; i < n; i += 4096) a[i] = i + 1;
    }
    EXPECT_EQ(large_kept_bytes(), 128 * kMB);
    {
      // A smaller request takes it as it is, contents and all.
      LargeArray<std::uint64_t> b(n / 2);
      EXPECT_EQ(b.get(), first);
      EXPECT_EQ(b[4096], 4097u);
      EXPECT_EQ(large_kept_bytes(), 0u);
    }
    // Released again at its true size (128 MB, not the 64 asked for).
    EXPECT_EQ(large_kept_bytes(), 128 * kMB);
    {
      // A larger one grows it: the old pages keep their contents.
      LargeArray<std::uint64_t> c(2 * n);
      EXPECT_EQ(c[8192], 8193u);
      c[2 * n - 1] = 7;
      EXPECT_EQ(large_kept_bytes(), 0u);
    }
    EXPECT_EQ(large_kept_bytes(), 256 * kMB);
    {
      // A spare more than twice the request is left for a larger one.
      LargeArray<std::uint64_t> other(n / 2);
      EXPECT_EQ(large_kept_bytes(), 256 * kMB);
    }
    EXPECT_EQ(large_kept_bytes(), 320 * kMB);
    {
      // Of two spares, the smallest that fits.
      LargeArray<std::uint64_t> big(2 * n);
      LargeArray<std::uint64_t> small(n / 2);
      EXPECT_EQ(large_kept_bytes(), 0u);
      void* pb = big.get();
      void* ps = small.get();
      big.reset(0);
      small.reset(0);
      LargeArray<std::uint64_t> again(n / 2);
      EXPECT_EQ(again.get(), ps);
      EXPECT_NE(again.get(), pb);
    }
    // Both kept again; small mappings are not kept.
    { LargeArray<char> tiny(kMB); }
    EXPECT_EQ(large_kept_bytes(), 320 * kMB);
  }
  EXPECT_EQ(large_kept_bytes(), 0u);
}

}  // namespace
}  // namespace velmora
