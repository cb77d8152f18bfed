#include "types/pod_vector.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Offsets columns append their own last entry; each growth moves the array,
// and the value must be read before it does (a sanitized build reports the
// read of the old array otherwise).
TEST(PodVector, PushesItsOwnLastElementAcrossGrowths) {
  types::PodVector<std::int64_t> offsets;
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

}  // namespace
