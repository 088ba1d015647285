// The vector sweep on AVX-512F: sixteen rows side by side, two groups in
// lock step. The file selects its own instruction set (below); the
// dispatcher calls it only where AVX-512F and the operating system's saving
// of the opmask and zmm registers are both present. Uses AVX-512F only.
#include "core/sweep_kernels.h"

#ifdef QUILLMERE_SWEEP_X86
// The standard headers the body uses come first, outside the instruction-set
// region, so none of their inline functions is compiled for it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

// Everything from here to the end of the file is compiled for AVX-512F
// without FMA: GCC is told so outright; Clang counts FMA inside AVX-512F, so
// there -ffp-contract=off alone keeps it out (the FMA scan checks every
// object).
// MSVC on x64 compiles these intrinsics without any flag, and must get no
// /arch: option (older versions contract under it even with /fp:precise).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx512f,no-fma")
#endif
// GCC leaves friends defined inside a class out of the pragma: they carry
// the same target themselves.
#if defined(__GNUC__) && !defined(__clang__)
#define QUILLMERE_KERNEL_TARGET __attribute__((target("avx512f,no-fma")))
#else
#define QUILLMERE_KERNEL_TARGET
#endif
#include <immintrin.h>

// GCC 12's avx512fintrin.h fills don't-care inputs with self-initialised
// variables (_mm512_undefined_ps) and then warns about them in our code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quillmere::sweep {
namespace {

struct VecAvx512 {
  static constexpr int kLanes = 16;
  static constexpr int kRegisters = 32;
  __m512 v;

  static VecAvx512 load(const float* p) { return {_mm512_load_ps(p)}; }
  static VecAvx512 loadu(const float* p) { return {_mm512_loadu_ps(p)}; }
  // A load the compiler must keep in a register instead of folding it into
  // every instruction that uses it (which would repeat the load).
  static VecAvx512 loaduOnce(const float* p) {
    VecAvx512 r{_mm512_loadu_ps(p)};
#if defined(__GNUC__) && !defined(__clang__)
    __asm__("" : "+v"(r.v));
#endif
    return r;
  }
  static VecAvx512 broadcast(float x) { return {_mm512_set1_ps(x)}; }
  void store(float* p) const { _mm512_store_ps(p, v); }
  void storeu(float* p) const { _mm512_storeu_ps(p, v); }
  friend QUILLMERE_KERNEL_TARGET VecAvx512 operator+(VecAvx512 a, VecAvx512 b) {
    return {_mm512_add_ps(a.v, b.v)};
  }
  friend QUILLMERE_KERNEL_TARGET VecAvx512 operator*(VecAvx512 a, VecAvx512 b) {
    return {_mm512_mul_ps(a.v, b.v)};
  }
  friend QUILLMERE_KERNEL_TARGET VecAvx512 operator-(VecAvx512 a, VecAvx512 b) {
    return {_mm512_sub_ps(a.v, b.v)};
  }
  // Integer logic: the float forms of and/andnot/or need AVX-512DQ.
  static VecAvx512 select(VecAvx512 mask, VecAvx512 a, VecAvx512 b) {
    const __m512i m = _mm512_castps_si512(mask.v);
    return {_mm512_castsi512_ps(_mm512_or_si512(_mm512_and_si512(m, _mm512_castps_si512(a.v)),
                                                _mm512_andnot_si512(m, _mm512_castps_si512(b.v))))};
  }
  static VecAvx512 canonicalizeNaN(VecAvx512 x) {
    const __m512 nan = _mm512_castsi512_ps(_mm512_set1_epi32(static_cast<int>(kCanonicalNaNBits)));
    return {_mm512_mask_mov_ps(x.v, _mm512_cmp_ps_mask(x.v, x.v, _CMP_UNORD_Q), nan)};
  }
  // 4x4 transposes inside each 128-bit quarter, then a 4x4 transpose of the
  // quarters.
  QUILLMERE_ALWAYS_INLINE static void transpose(VecAvx512* r) {
    __m512 t[16], u[16];
    for (int p = 0; p < 8; ++p) {
      t[2 * p] = _mm512_unpacklo_ps(r[2 * p].v, r[2 * p + 1].v);
      t[2 * p + 1] = _mm512_unpackhi_ps(r[2 * p].v, r[2 * p + 1].v);
    }
    for (int g = 0; g < 4; ++g) {
      u[4 * g + 0] = _mm512_shuffle_ps(t[4 * g], t[4 * g + 2], 0x44);
      u[4 * g + 1] = _mm512_shuffle_ps(t[4 * g], t[4 * g + 2], 0xEE);
      u[4 * g + 2] = _mm512_shuffle_ps(t[4 * g + 1], t[4 * g + 3], 0x44);
      u[4 * g + 3] = _mm512_shuffle_ps(t[4 * g + 1], t[4 * g + 3], 0xEE);
    }
    // u[4g + c], quarter L, holds column 4L + c of rows 4g..4g+3.
    for (int c = 0; c < 4; ++c) {
      const __m512 x0 = _mm512_shuffle_f32x4(u[c], u[4 + c], 0x44);
      const __m512 x1 = _mm512_shuffle_f32x4(u[c], u[4 + c], 0xEE);
      const __m512 y0 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], 0x44);
      const __m512 y1 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], 0xEE);
      r[c].v = _mm512_shuffle_f32x4(x0, y0, 0x88);
      r[4 + c].v = _mm512_shuffle_f32x4(x0, y0, 0xDD);
      r[8 + c].v = _mm512_shuffle_f32x4(x1, y1, 0x88);
      r[12 + c].v = _mm512_shuffle_f32x4(x1, y1, 0xDD);
    }
  }
};

}  // namespace
}  // namespace quillmere::sweep

#include "core/sweep_kernel_body.h"

namespace quillmere::sweep {

bool sweepRegionAvx512(const SweepContext& context, const SweepRegion& region) {
  return sweepRegionWith<VecAvx512, 2>(context, region);
}

}  // namespace quillmere::sweep

#include "core/sweep_stream_avx512.h"

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif
#endif
