// The generator of the drivers' recorded cases: splitmix64 and exact integer
// to float steps, not the standard distributions, whose output the C++
// standard leaves to each library. The native build and the Windows build
// must make the same inputs, and the results file carries a hash of each
// call's inputs to prove it.
#ifndef QUILLMERE_TESTS_WINDOWS_CASE_RANDOM_H
#define QUILLMERE_TESTS_WINDOWS_CASE_RANDOM_H

#include <cstdint>

namespace quillmere::testing {

// Callers take at most one draw per full expression (or sequence them, as
// ?: and braced lists do): the order of operands is each compiler's choice.
class CaseRandom {
 public:
  explicit CaseRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  std::uint32_t bits() { return static_cast<std::uint32_t>(next() >> 32); }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
  // 24 random bits scaled by 2^-24: exact, so no rounding choices differ.
  float unit() { return static_cast<float>(bits() >> 8) * 0x1p-24f; }
  float between(float lo, float hi) { return lo + (hi - lo) * unit(); }
  float sign() { return (bits() & 1u) ? -1.0f : 1.0f; }

 private:
  std::uint64_t state_;
};

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_WINDOWS_CASE_RANDOM_H
