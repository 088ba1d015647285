// The tensor kernels on AVX-512F: eight doubles side by side. The
// instruction set is chosen here, for this file's own functions only: GCC is
// told no FMA; Clang counts FMA in AVX-512F, and there -ffp-contract=off
// keeps it out (the FMA scan of the build checks both). The dispatcher calls
// these only where AVX-512F and the operating system's saving of the opmask
// and zmm registers are both present. Uses AVX-512F only.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/tensor_kernels.h"

#ifdef QUILLMERE_SWEEP_X86
#include <immintrin.h>

// GCC 12's avx512fintrin.h fills don't-care inputs with self-initialised
// variables (_mm512_undefined_*) and then warns about them in our code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx512f,no-fma")
#endif

namespace quillmere::tensor {
namespace {

struct VecAvx512d {
  static constexpr int kLanes = 8;
  using Mask = __mmask8;
  __m512d v;

  static __m512i signMask() {
    return _mm512_set1_epi64(static_cast<long long>(0x8000000000000000ull));
  }
  static VecAvx512d load(const double* p) { return {_mm512_loadu_pd(p)}; }
  static VecAvx512d loadFloat(const float* p) { return {_mm512_cvtps_pd(_mm256_loadu_ps(p))}; }
  void store(double* p) const { _mm512_storeu_pd(p, v); }
  static VecAvx512d broadcast(double x) { return {_mm512_set1_pd(x)}; }
  static VecAvx512d sqrt(VecAvx512d a) { return {_mm512_sqrt_pd(a.v)}; }
  static VecAvx512d max(VecAvx512d a, VecAvx512d b) { return {_mm512_max_pd(a.v, b.v)}; }
  static VecAvx512d abs(VecAvx512d a) {
    return {_mm512_castsi512_pd(_mm512_andnot_si512(signMask(), _mm512_castpd_si512(a.v)))};
  }
  static VecAvx512d copySign(VecAvx512d magnitude, VecAvx512d sign) {
    const __m512i m = _mm512_andnot_si512(signMask(), _mm512_castpd_si512(magnitude.v));
    const __m512i s = _mm512_and_si512(signMask(), _mm512_castpd_si512(sign.v));
    return {_mm512_castsi512_pd(_mm512_or_si512(m, s))};
  }
  static VecAvx512d powerOfTwoBelow(VecAvx512d a) {
    const __m512i e = _mm512_set1_epi64(static_cast<long long>(kExponentBits));
    return {_mm512_castsi512_pd(_mm512_and_si512(e, _mm512_castpd_si512(a.v)))};
  }
  static VecAvx512d reciprocalOfPowerOfTwo(VecAvx512d s) {
    const __m512i r = _mm512_set1_epi64(static_cast<long long>(kReciprocalBits));
    return {_mm512_castsi512_pd(_mm512_sub_epi64(r, _mm512_castpd_si512(s.v)))};
  }
  static Mask greater(VecAvx512d a, VecAvx512d b) {
    return _mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ);
  }
  static VecAvx512d select(Mask m, VecAvx512d a, VecAvx512d b) {
    return {_mm512_mask_blend_pd(m, b.v, a.v)};
  }
  static bool all(Mask m) { return m == 0xFF; }
  static bool any(Mask m) { return m != 0; }
  static_assert(kCanonicalNaNBits == 0x7fc00000u, "the quiet NaN a double 0x7ff8... rounds to");
  // NaN lanes take the double quiet NaN first, which rounds to the single
  // kCanonicalNaNBits exactly: a compare into a mask and a masked move, in
  // place of a blend of three micro-operations after the conversion.
  void storeFloat(float* p) const {
    const __mmask8 nan = _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q);
    const __m512d quiet = _mm512_castsi512_pd(_mm512_set1_epi64(0x7ff8000000000000ll));
    _mm256_storeu_ps(p, _mm512_cvtpd_ps(_mm512_mask_mov_pd(v, nan, quiet)));
  }
};

inline VecAvx512d operator+(VecAvx512d a, VecAvx512d b) { return {_mm512_add_pd(a.v, b.v)}; }
inline VecAvx512d operator-(VecAvx512d a, VecAvx512d b) { return {_mm512_sub_pd(a.v, b.v)}; }
inline VecAvx512d operator*(VecAvx512d a, VecAvx512d b) { return {_mm512_mul_pd(a.v, b.v)}; }
inline VecAvx512d operator/(VecAvx512d a, VecAvx512d b) { return {_mm512_div_pd(a.v, b.v)}; }

#include "core/tensor_kernel_body.h"

}  // namespace

void planeAvx512(const PlanePass& pass) { smoothPlane<VecAvx512d>(pass); }
void acrossAvx512(const AcrossPass& pass, double* target) {
  acrossPlanes<VecAvx512d>(pass, target);
}
void mapAvx512(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapVoxels<VecAvx512d>(pass, begin, end);
}
double radiusAvx512(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                    std::int32_t n1) {
  return radiusRow<VecAvx512d>(pass, deltas, row, n1);
}

}  // namespace quillmere::tensor

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif

#else

namespace quillmere::tensor {
void planeAvx512(const PlanePass& pass) { planeOneLane(pass); }
void acrossAvx512(const AcrossPass& pass, double* target) { acrossOneLane(pass, target); }
void mapAvx512(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapOneLane(pass, begin, end);
}
double radiusAvx512(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                    std::int32_t n1) {
  return radiusOneLane(pass, deltas, row, n1);
}
}  // namespace quillmere::tensor

#endif
