#include "util/pod_vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// Offsets columns append their own last entry; each growth moves the array,
// and the value must be read before it does (a sanitized build reports the
// read of the old array otherwise).
TEST(PodVector, PushesItsOwnLastElementAcrossGrowths) {
  util::PodVector<std::int64_t> offsets;
  offsets.push_back(0);
  for (std::int64_t i = 1; i < 5000; ++i) {
    offsets.push_back(offsets.back());
    offsets.back() += i;
  }
  ASSERT_EQ(offsets.size(), 5000u);
  for (std::size_t i = 1; i < offsets.size(); ++i) {
    EXPECT_EQ(offsets[i], offsets[i - 1] + static_cast<std::int64_t>(i));
  }
}

// Past a few megabytes an array moves to a large block and grows by
// remapping it: the elements must survive the move and every growth after
// it, a moved-from array must not free the block, and elements whose size
// does not divide the block (24 bytes here) must never be read past its end.
struct Triple {
  std::uint64_t a, b, c;
};

template <util::BlockUse kUse>
void check_large_growth() {
  util::PodVector<Triple, kUse> v;
  const std::size_t n = 3 * util::large_block_threshold(kUse) / sizeof(Triple) + 7;
  for (std::uint64_t i = 0; i < n; ++i) v.push_back(Triple{i, ~i, i * 3});
  ASSERT_EQ(v.size(), n);
  ASSERT_GE(v.capacity(), n);
  for (std::uint64_t i = 0; i < n; ++i) {
    ASSERT_EQ(v[i].a, i);
    ASSERT_EQ(v[i].b, ~i);
    ASSERT_EQ(v[i].c, i * 3);
  }
  // The last element of the capacity is writable.
  v.resize_uninitialised(v.capacity());
  v.back() = Triple{1, 2, 3};
  util::PodVector<Triple, kUse> moved(std::move(v));
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(moved[n - 1].a, n - 1);
  util::PodVector<Triple, kUse> copy = moved;
  EXPECT_EQ(copy[n / 2].c, (n / 2) * 3);
  moved = std::move(copy);
  moved.release();
  EXPECT_EQ(moved.capacity(), 0u);
  moved.push_back(Triple{4, 5, 6});
  EXPECT_EQ(moved[0].b, 5u);
}

TEST(PodVector, LargeArraysKeepTheirElementsThroughEveryGrowth) {
  check_large_growth<util::BlockUse::workspace>();
}

// Output blocks freed are kept and handed to the next arrays, which grow by
// copying into them: rounds over the same sizes reuse what the rounds
// before gave back, and each must read only what it wrote.
TEST(PodVector, OutputArraysGrowThroughKeptBlocks) {
  for (int round = 0; round < 4; ++round) check_large_growth<util::BlockUse::output>();
  std::vector<util::PodVector<std::uint32_t, util::BlockUse::output>> arrays(6);
  for (int round = 0; round < 3; ++round) {
    for (std::size_t k = 0; k < arrays.size(); ++k) {
      auto& array = arrays[k];
      array.release();
      const std::size_t n = (k + 1) * util::kLargeOutputBlockBytes / 3;
      for (std::size_t i = 0; i < n; ++i) array.push_back(static_cast<std::uint32_t>(i * 7 + k));
    }
    for (std::size_t k = 0; k < arrays.size(); ++k) {
      const auto& array = arrays[k];
      for (std::size_t i = 0; i < array.size(); ++i) ASSERT_EQ(array[i], i * 7 + k) << round << " " << k;
      // Never more than twice what the array needs.
      EXPECT_LE(array.capacity(), 4 * array.size()) << round << " " << k;
    }
  }
}

}  // namespace
