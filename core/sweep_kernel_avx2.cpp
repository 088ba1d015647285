// The vector sweep on AVX2: eight rows side by side. The file selects its own
// instruction set (below), so one compiler command builds every path; the
// dispatcher calls it only where AVX2 and the operating system's saving of the
// ymm registers are both present.
#include "core/sweep_kernels.h"

#ifdef QUILLMERE_SWEEP_X86
// The standard headers the body uses come first, outside the instruction-set
// region, so none of their inline functions is compiled for it.
#include <cstddef>
#include <cstdint>
#include <cstring>

// Everything from here to the end of the file is compiled for AVX2 without
// FMA (GCC is told so; Clang's AVX2 does not include FMA), and
// -ffp-contract=off keeps contraction out in any case: the FMA scan checks
// every object. MSVC on x64 compiles these intrinsics without any flag, and
// must get no /arch: option (older versions contract under it even with
// /fp:precise).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2,no-fma")
#endif
// GCC leaves friends defined inside a class out of the pragma: they carry
// the same target themselves.
#if defined(__GNUC__) && !defined(__clang__)
#define QUILLMERE_KERNEL_TARGET __attribute__((target("avx2,no-fma")))
#else
#define QUILLMERE_KERNEL_TARGET
#endif
#include <immintrin.h>

namespace quillmere::sweep {
namespace {

struct VecAvx2 {
  static constexpr int kLanes = 8;
  static constexpr int kRegisters = 16;
  __m256 v;

  static VecAvx2 load(const float* p) { return {_mm256_load_ps(p)}; }
  static VecAvx2 loadu(const float* p) { return {_mm256_loadu_ps(p)}; }
  // A load the compiler must keep in a register instead of folding it into
  // every instruction that uses it (which would repeat the load).
  static VecAvx2 loaduOnce(const float* p) {
    VecAvx2 r{_mm256_loadu_ps(p)};
#if defined(__GNUC__) && !defined(__clang__)
    __asm__("" : "+x"(r.v));
#endif
    return r;
  }
  static VecAvx2 broadcast(float x) { return {_mm256_set1_ps(x)}; }
  void store(float* p) const { _mm256_store_ps(p, v); }
  void storeu(float* p) const { _mm256_storeu_ps(p, v); }
  friend QUILLMERE_KERNEL_TARGET VecAvx2 operator+(VecAvx2 a, VecAvx2 b) {
    return {_mm256_add_ps(a.v, b.v)};
  }
  friend QUILLMERE_KERNEL_TARGET VecAvx2 operator*(VecAvx2 a, VecAvx2 b) {
    return {_mm256_mul_ps(a.v, b.v)};
  }
  friend QUILLMERE_KERNEL_TARGET VecAvx2 operator-(VecAvx2 a, VecAvx2 b) {
    return {_mm256_sub_ps(a.v, b.v)};
  }
  static VecAvx2 select(VecAvx2 mask, VecAvx2 a, VecAvx2 b) {
    return {_mm256_or_ps(_mm256_and_ps(mask.v, a.v), _mm256_andnot_ps(mask.v, b.v))};
  }
  static VecAvx2 canonicalizeNaN(VecAvx2 x) {
    const __m256 nan = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(kCanonicalNaNBits)));
    return select({_mm256_cmp_ps(x.v, x.v, _CMP_UNORD_Q)}, {nan}, x);
  }
  // 4x4 transposes inside each 128-bit half, then the halves swapped.
  QUILLMERE_ALWAYS_INLINE static void transpose(VecAvx2* r) {
    __m256 t[8], u[8];
    for (int p = 0; p < 4; ++p) {
      t[2 * p] = _mm256_unpacklo_ps(r[2 * p].v, r[2 * p + 1].v);
      t[2 * p + 1] = _mm256_unpackhi_ps(r[2 * p].v, r[2 * p + 1].v);
    }
    for (int g = 0; g < 2; ++g) {
      u[4 * g + 0] = _mm256_shuffle_ps(t[4 * g], t[4 * g + 2], 0x44);
      u[4 * g + 1] = _mm256_shuffle_ps(t[4 * g], t[4 * g + 2], 0xEE);
      u[4 * g + 2] = _mm256_shuffle_ps(t[4 * g + 1], t[4 * g + 3], 0x44);
      u[4 * g + 3] = _mm256_shuffle_ps(t[4 * g + 1], t[4 * g + 3], 0xEE);
    }
    for (int c = 0; c < 4; ++c) {
      r[c].v = _mm256_permute2f128_ps(u[c], u[4 + c], 0x20);
      r[4 + c].v = _mm256_permute2f128_ps(u[c], u[4 + c], 0x31);
    }
  }
};

}  // namespace
}  // namespace quillmere::sweep

#include "core/sweep_kernel_body.h"

namespace quillmere::sweep {

bool sweepRegionAvx2(const SweepContext& context, const SweepRegion& region) {
  return sweepRegionWith<VecAvx2, 1>(context, region);
}

}  // namespace quillmere::sweep

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif
#endif
