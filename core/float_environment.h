// Pins the floating-point environment of the calling thread for the length of
// a scope, so that a sweep gives the same bits whatever state its caller left
// behind.
//
// On entry the guard saves the thread's whole environment (rounding mode,
// exception flags and traps; on x86-64 the MXCSR register with its
// flush-to-zero and denormals-are-zero bits; on AArch64 the FPCR and FPSR
// registers with flush-to-zero, half-precision flush-to-zero and the
// alternate-handling bits), then sets round-to-nearest-even, keeps subnormals
// (every flush-to-zero bit off), clears the flags and disables every trap so
// that NaN or overflow in the data can never stop the host. On exit it puts
// the saved environment back exactly, flags included: the caller sees no trace
// of the sweep.
//
// The guard affects only the thread that constructs it; a sweep that runs on
// several threads needs one guard per worker. Elsewhere than x86-64 and
// AArch64 (with GCC or Clang) only the <cfenv> state (rounding, flags, traps)
// is handled.
#ifndef QUILLMERE_CORE_FLOAT_ENVIRONMENT_H
#define QUILLMERE_CORE_FLOAT_ENVIRONMENT_H

#include <cfenv>
#include <cstdint>

namespace quillmere {

class FloatEnvironmentGuard {
 public:
  FloatEnvironmentGuard();
  ~FloatEnvironmentGuard();
  FloatEnvironmentGuard(const FloatEnvironmentGuard&) = delete;
  FloatEnvironmentGuard& operator=(const FloatEnvironmentGuard&) = delete;

 private:
  std::fenv_t savedEnvironment_;
  std::uint64_t savedControl_;  // MXCSR on x86-64, FPCR on AArch64
  std::uint64_t savedStatus_;   // FPSR on AArch64
};

}  // namespace quillmere

#endif  // QUILLMERE_CORE_FLOAT_ENVIRONMENT_H
