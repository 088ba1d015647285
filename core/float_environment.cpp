#include "core/float_environment.h"

#if defined(__x86_64__) || defined(_M_X64)
#define QUILLMERE_HAVE_MXCSR 1
#include <immintrin.h>
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define QUILLMERE_HAVE_FPCR 1
#endif

namespace quillmere {

namespace {
#if defined(QUILLMERE_HAVE_MXCSR)
// MXCSR fields: sticky exception flags (bits 0-5), denormals-are-zero (6),
// exception masks (7-12), rounding control (13-14), flush-to-zero (15).
constexpr unsigned int kFlagBits = 0x003Fu;
constexpr unsigned int kDenormalsAreZero = 0x0040u;
constexpr unsigned int kMaskBits = 0x1F80u;
constexpr unsigned int kRoundingBits = 0x6000u;
constexpr unsigned int kFlushToZero = 0x8000u;
#elif defined(QUILLMERE_HAVE_FPCR)
// FPCR fields that change results or can stop the sweep: flush inputs to
// zero (bit 0) and alternate handling (1), which only exist with the
// alternate floating-point behaviour and read as zero elsewhere; the trap
// enables (8-12, 15); half-precision flush-to-zero (19); rounding mode
// (22-23, 0 = to nearest); flush-to-zero (24).
constexpr std::uint64_t kFpcrCleared =
    0x1u | 0x2u | 0x1F00u | 0x8000u | (1u << 19) | (3u << 22) | (1u << 24);
// FPSR cumulative flags: invalid, divide by zero, overflow, underflow,
// inexact (bits 0-4) and input denormal (7).
constexpr std::uint64_t kFpsrFlags = 0x9Fu;

std::uint64_t readFpcr() {
  std::uint64_t v;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(v));
  return v;
}
std::uint64_t readFpsr() {
  std::uint64_t v;
  __asm__ __volatile__("mrs %0, fpsr" : "=r"(v));
  return v;
}
// The memory clobber keeps loads and stores of the sweep's data on their
// side of the change.
void writeFpcr(std::uint64_t v) { __asm__ __volatile__("msr fpcr, %0" : : "r"(v) : "memory"); }
void writeFpsr(std::uint64_t v) { __asm__ __volatile__("msr fpsr, %0" : : "r"(v) : "memory"); }
#endif
}  // namespace

// Both functions live out of line on purpose: the compiler does not track the
// environment, and an opaque call keeps it from moving arithmetic across them.
FloatEnvironmentGuard::FloatEnvironmentGuard()
    : savedEnvironment_(), savedControl_(0), savedStatus_(0) {
#if defined(QUILLMERE_HAVE_MXCSR)
  savedControl_ = _mm_getcsr();
#elif defined(QUILLMERE_HAVE_FPCR)
  savedControl_ = readFpcr();
  savedStatus_ = readFpsr();
#endif
  // Saves the environment, clears the flags and masks the traps.
  std::feholdexcept(&savedEnvironment_);
  std::fesetround(FE_TONEAREST);
#if defined(QUILLMERE_HAVE_MXCSR)
  // Round-to-nearest is rounding field 0; subnormals kept; all traps masked.
  unsigned int csr = static_cast<unsigned int>(savedControl_);
  csr &= ~(kFlagBits | kDenormalsAreZero | kRoundingBits | kFlushToZero);
  csr |= kMaskBits;
  _mm_setcsr(csr);
#elif defined(QUILLMERE_HAVE_FPCR)
  writeFpcr(savedControl_ & ~kFpcrCleared);
  writeFpsr(savedStatus_ & ~kFpsrFlags);
#endif
}

FloatEnvironmentGuard::~FloatEnvironmentGuard() {
  std::fesetenv(&savedEnvironment_);
#if defined(QUILLMERE_HAVE_MXCSR)
  // fesetenv need not restore FTZ/DAZ, so the register is put back whole.
  _mm_setcsr(static_cast<unsigned int>(savedControl_));
#elif defined(QUILLMERE_HAVE_FPCR)
  // Likewise FZ, FZ16 and the alternate-handling bits: both registers back
  // whole.
  writeFpcr(savedControl_);
  writeFpsr(savedStatus_);
#endif
}

}  // namespace quillmere
