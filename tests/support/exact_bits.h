// The one comparison of results: every sample's bits equal, and every NaN
// the one canonical quiet NaN the sweep stores. A NaN of any other sign or
// payload is a difference, so a path that skipped the canonical store fails
// even where the plain sweep's NaN sits.
#ifndef QUILLMERE_TESTS_SUPPORT_EXACT_BITS_H
#define QUILLMERE_TESTS_SUPPORT_EXACT_BITS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/update_sweep.h"
#include "tests/support/sweep_problem.h"

namespace quillmere::testing {

inline bool isNaNBits(std::uint32_t bits) { return (bits & 0x7fffffffu) > 0x7f800000u; }

// Where a sample sits, for messages: (i1,i2,i3) when the extents are known.
inline std::string sampleName(std::size_t e, VolumeDims d) {
  char text[64];
  if (d.n1 > 0 && d.n2 > 0) {
    const std::size_t n1 = static_cast<std::size_t>(d.n1), n2 = static_cast<std::size_t>(d.n2);
    std::snprintf(text, sizeof text, "voxel (%zu,%zu,%zu)", e % n1, e / n1 % n2, e / (n1 * n2));
  } else {
    std::snprintf(text, sizeof text, "sample %zu", e);
  }
  return text;
}

// "" when `actual` holds `expected`'s bits and every NaN in either is the
// canonical one; otherwise the first difference, named.
inline std::string bitDifference(const std::uint32_t* expected, std::size_t expectedCount,
                                 const std::uint32_t* actual, std::size_t actualCount,
                                 VolumeDims d = {0, 0, 0}) {
  char text[160];
  if (expectedCount != actualCount) {
    std::snprintf(text, sizeof text, "%zu samples, expected %zu", actualCount, expectedCount);
    return text;
  }
  for (std::size_t e = 0; e < expectedCount; ++e) {
    const std::uint32_t x = expected[e], y = actual[e];
    const bool strayNaN =
        (isNaNBits(x) && x != kCanonicalNaNBits) || (isNaNBits(y) && y != kCanonicalNaNBits);
    if (x != y || strayNaN) {
      std::snprintf(text, sizeof text, "%s: expected %08x, got %08x%s", sampleName(e, d).c_str(),
                    static_cast<unsigned>(x), static_cast<unsigned>(y),
                    strayNaN ? " (a NaN other than the canonical 7fc00000)" : "");
      return text;
    }
  }
  return "";
}

inline std::string bitDifference(const std::vector<std::uint32_t>& expected,
                                 const std::vector<std::uint32_t>& actual,
                                 VolumeDims d = {0, 0, 0}) {
  return bitDifference(expected.data(), expected.size(), actual.data(), actual.size(), d);
}

inline std::string bitDifference(const std::vector<float>& expected,
                                 const std::vector<float>& actual, VolumeDims d = {0, 0, 0}) {
  std::vector<std::uint32_t> x(expected.size()), y(actual.size());
  for (std::size_t e = 0; e < x.size(); ++e) x[e] = bitsOf(expected[e]);
  for (std::size_t e = 0; e < y.size(); ++e) y[e] = bitsOf(actual[e]);
  return bitDifference(x, y, d);
}

inline bool sameBits(const std::vector<float>& expected, const std::vector<float>& actual) {
  return bitDifference(expected, actual).empty();
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_SUPPORT_EXACT_BITS_H
