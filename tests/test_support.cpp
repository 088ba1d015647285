// The shared test support itself: every bit test leans on the comparison
// and the FP scope, so a comparison grown lenient or a scope that leaks a
// mode would weaken all of them at once without a failure.
#include <gtest/gtest.h>

#include <cfenv>
#include <cstdint>
#include <vector>

#include "tests/support/exact_bits.h"
#include "tests/support/hostile_fp.h"

namespace quillmere {
namespace {

using namespace quillmere::testing;

TEST(ExactBits, NamesEveryDifferenceAndEveryStrayNaN) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> expected, actual;
    bool same;
  };
  const Case cases[] = {
      {"equal", {0x3f800000u, 0x00000001u}, {0x3f800000u, 0x00000001u}, true},
      {"empty", {}, {}, true},
      {"canonical NaN both", {0x7fc00000u}, {0x7fc00000u}, true},
      {"signed zeros", {0x00000000u}, {0x80000000u}, false},
      {"last sample", {1u, 2u, 3u}, {1u, 2u, 4u}, false},
      {"negative NaN both", {0xffc00000u}, {0xffc00000u}, false},
      {"payload NaN both", {0x7fc00001u}, {0x7fc00001u}, false},
      {"signalling NaN both", {0x7fa00000u}, {0x7fa00000u}, false},
      {"NaN for the canonical one", {0x7fc00000u}, {0xffc00000u}, false},
      {"shorter", {1u, 2u}, {1u}, false},
      {"infinity is no NaN", {0x7f800000u}, {0x7f800000u}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bitDifference(c.expected, c.actual).empty(), c.same) << c.what;
  }
  EXPECT_EQ(bitDifference(std::vector<std::uint32_t>{0u, 0u, 0u, 0u, 0u, 0u},
                          std::vector<std::uint32_t>{0u, 0u, 0u, 0u, 0u, 1u}, {2, 3, 1}),
            "voxel (1,2,0): expected 00000000, got 00000001");
}

// Each setting is in force inside its scope, and the scope hands back the
// caller's state even when that was itself not the default.
TEST(HostileFp, ScopeSetsAndRestores) {
  ASSERT_EQ(std::fesetround(FE_DOWNWARD), 0);
  const std::uint64_t outside = fpControlState();
  for (const FpSetting& s : hostileFpSettings()) {
    {
      const FpEnvironmentScope scope(s);
      EXPECT_EQ(std::fegetround(), s.rounding) << s.name;
#if defined(QUILLMERE_TEST_MXCSR)
      const unsigned int flush = kMxcsrFlushToZero | kMxcsrDenormalsAreZero;
      EXPECT_EQ(_mm_getcsr() & flush, s.flush ? flush : 0u) << s.name;
#endif
    }
    EXPECT_EQ(fpControlState(), outside) << s.name;
  }
  std::fesetround(FE_TONEAREST);
  EXPECT_GE(hostileFpSettings().size(), 3u);
}

}  // namespace
}  // namespace quillmere
