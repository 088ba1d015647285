#include "core/float_environment.h"

#if defined(__x86_64__) || defined(_M_X64)
#define QUILLMERE_HAVE_MXCSR 1
#include <immintrin.h>
#endif

namespace quillmere {

#if defined(QUILLMERE_HAVE_MXCSR)
namespace {
// MXCSR fields: sticky exception flags (bits 0-5), denormals-are-zero (6),
// exception masks (7-12), rounding control (13-14), flush-to-zero (15).
constexpr unsigned int kFlagBits = 0x003Fu;
constexpr unsigned int kDenormalsAreZero = 0x0040u;
constexpr unsigned int kMaskBits = 0x1F80u;
constexpr unsigned int kRoundingBits = 0x6000u;
constexpr unsigned int kFlushToZero = 0x8000u;
}  // namespace
#endif

// Both functions live out of line on purpose: the compiler does not track the
// environment, and an opaque call keeps it from moving arithmetic across them.
FloatEnvironmentGuard::FloatEnvironmentGuard() : savedEnvironment_(), savedControlStatus_(0) {
#if defined(QUILLMERE_HAVE_MXCSR)
  savedControlStatus_ = _mm_getcsr();
#endif
  // Saves the environment, clears the flags and masks the traps.
  std::feholdexcept(&savedEnvironment_);
  std::fesetround(FE_TONEAREST);
#if defined(QUILLMERE_HAVE_MXCSR)
  // Round-to-nearest is rounding field 0; subnormals kept; all traps masked.
  unsigned int csr = savedControlStatus_;
  csr &= ~(kFlagBits | kDenormalsAreZero | kRoundingBits | kFlushToZero);
  csr |= kMaskBits;
  _mm_setcsr(csr);
#endif
}

FloatEnvironmentGuard::~FloatEnvironmentGuard() {
  std::fesetenv(&savedEnvironment_);
#if defined(QUILLMERE_HAVE_MXCSR)
  // fesetenv need not restore FTZ/DAZ, so the register is put back whole.
  _mm_setcsr(savedControlStatus_);
#endif
}

}  // namespace quillmere
