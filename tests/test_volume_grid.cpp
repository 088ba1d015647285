// Tap addresses on axes close to 2^31 long: a coordinate plus an offset must
// clamp, never wrap past the largest 32-bit integer.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/volume_grid.h"

namespace quillmere {
namespace {

constexpr std::int32_t kLargest = 2147483647;

struct TapCase {
  const char* what;
  VolumeDims dims;
  std::int32_t i[3];
  std::int32_t d[3];
  std::int32_t expected;
};

// clang-format off
const TapCase kTapCases[] = {
    {"last voxel of the longest axis 1, +2", {kLargest, 1, 1}, {kLargest - 1, 0, 0}, {2, 0, 0},
     kLargest - 1},
    {"last voxel of the longest axis 1, +1", {kLargest, 1, 1}, {kLargest - 1, 0, 0}, {1, 0, 0},
     kLargest - 1},
    {"one before the last, +2", {kLargest, 1, 1}, {kLargest - 2, 0, 0}, {2, 0, 0}, kLargest - 1},
    {"last voxel, -2", {kLargest, 1, 1}, {kLargest - 1, 0, 0}, {-2, 0, 0}, kLargest - 3},
    {"first voxel, -2", {kLargest, 1, 1}, {0, 0, 0}, {-2, 0, 0}, 0},
    {"longest axis 2", {1, kLargest, 1}, {0, kLargest - 1, 0}, {0, 2, 0}, kLargest - 1},
    {"longest axis 3", {1, 1, kLargest}, {0, 0, kLargest - 1}, {0, 0, 2}, kLargest - 1},
    {"every axis clamped at once", {2, 3, 4}, {1, 2, 3}, {2, 2, 2}, 1 + 2 * 2 + 6 * 3},
    {"every axis clamped below", {2, 3, 4}, {0, 0, 0}, {-2, -2, -2}, 0},
};
// clang-format on

TEST(VolumeGrid, TapsClampWithoutOverflowOnTheLongestAxes) {
  for (const TapCase& c : kTapCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(tapIndex(c.i[0], c.i[1], c.i[2], c.d[0], c.d[1], c.d[2], c.dims), c.expected);
  }
}

}  // namespace
}  // namespace quillmere
