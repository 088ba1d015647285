// The floating-point environments a host may leave set when it calls us:
// each directed rounding mode, and on x86-64 flush-to-zero with
// denormals-are-zero under every rounding mode. A scope sets one and puts
// the caller's whole environment back when it ends, so a failing check
// cannot leak a mode into the next test.
//
// Elsewhere only the rounding modes exist here: <cfenv> reaches them on
// every machine, while the flush bits live in a register of each
// architecture's own.
#ifndef QUILLMERE_TESTS_SUPPORT_HOSTILE_FP_H
#define QUILLMERE_TESTS_SUPPORT_HOSTILE_FP_H

#include <cfenv>
#include <cstdint>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QUILLMERE_TEST_MXCSR 1
#endif

namespace quillmere::testing {

struct FpSetting {
  const char* name;
  int rounding;  // FE_TONEAREST, FE_UPWARD, FE_DOWNWARD or FE_TOWARDZERO
  bool flush;    // flush-to-zero and denormals-are-zero (x86-64 only)
};

#if defined(QUILLMERE_TEST_MXCSR)
constexpr unsigned int kMxcsrDenormalsAreZero = 0x0040u;
constexpr unsigned int kMxcsrFlushToZero = 0x8000u;
constexpr unsigned int kMxcsrFlags = 0x003Fu;  // sticky exception flags
#endif

// Every hostile setting this machine can make.
inline const std::vector<FpSetting>& hostileFpSettings() {
  static const std::vector<FpSetting> settings = {
    {"rounding upward", FE_UPWARD, false},
    {"rounding downward", FE_DOWNWARD, false},
    {"rounding toward zero", FE_TOWARDZERO, false},
#if defined(QUILLMERE_TEST_MXCSR)
    {"FTZ and DAZ", FE_TONEAREST, true},
    {"FTZ and DAZ, rounding upward", FE_UPWARD, true},
    {"FTZ and DAZ, rounding downward", FE_DOWNWARD, true},
    {"FTZ and DAZ, rounding toward zero", FE_TOWARDZERO, true},
#endif
  };
  return settings;
}

// The control state a callee must hand back: the rounding mode and, on
// x86-64, MXCSR without its sticky flags (checks before a sweep may raise
// "inexact" like any caller code).
inline std::uint64_t fpControlState() {
  std::uint64_t state = static_cast<std::uint64_t>(static_cast<unsigned>(std::fegetround())) << 32;
#if defined(QUILLMERE_TEST_MXCSR)
  state |= _mm_getcsr() & ~kMxcsrFlags;
#endif
  return state;
}

// Sets `s` for its lifetime; restores the environment it found.
class FpEnvironmentScope {
 public:
  explicit FpEnvironmentScope(const FpSetting& s) {
    std::fegetenv(&saved_);
#if defined(QUILLMERE_TEST_MXCSR)
    savedMxcsr_ = _mm_getcsr();
#endif
    std::fesetround(s.rounding);
#if defined(QUILLMERE_TEST_MXCSR)
    if (s.flush) _mm_setcsr(_mm_getcsr() | kMxcsrFlushToZero | kMxcsrDenormalsAreZero);
#endif
  }
  ~FpEnvironmentScope() {
    std::fesetenv(&saved_);
#if defined(QUILLMERE_TEST_MXCSR)
    _mm_setcsr(savedMxcsr_);
#endif
  }
  FpEnvironmentScope(const FpEnvironmentScope&) = delete;
  FpEnvironmentScope& operator=(const FpEnvironmentScope&) = delete;

 private:
  std::fenv_t saved_;
#if defined(QUILLMERE_TEST_MXCSR)
  unsigned int savedMxcsr_ = 0;
#endif
};

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_SUPPORT_HOSTILE_FP_H
