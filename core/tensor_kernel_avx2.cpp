// The tensor kernels on AVX2: four doubles side by side. The instruction set
// is chosen here, for this file's own functions only (FMA stays off); the
// dispatcher calls them only where AVX2 and the operating system's saving of
// the ymm registers are both present.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/tensor_kernels.h"

#ifdef QUILLMERE_SWEEP_X86
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2,no-fma")
#endif

namespace quillmere::tensor {
namespace {

struct VecAvx2d {
  static constexpr int kLanes = 4;
  using Mask = VecAvx2d;
  __m256d v;

  static __m256d signMask() { return _mm256_set1_pd(-0.0); }
  static VecAvx2d load(const double* p) { return {_mm256_loadu_pd(p)}; }
  static VecAvx2d loadFloat(const float* p) { return {_mm256_cvtps_pd(_mm_loadu_ps(p))}; }
  void store(double* p) const { _mm256_storeu_pd(p, v); }
  static VecAvx2d broadcast(double x) { return {_mm256_set1_pd(x)}; }
  static VecAvx2d sqrt(VecAvx2d a) { return {_mm256_sqrt_pd(a.v)}; }
  static VecAvx2d max(VecAvx2d a, VecAvx2d b) { return {_mm256_max_pd(a.v, b.v)}; }
  static VecAvx2d abs(VecAvx2d a) { return {_mm256_andnot_pd(signMask(), a.v)}; }
  static VecAvx2d copySign(VecAvx2d magnitude, VecAvx2d sign) {
    return {
        _mm256_or_pd(_mm256_andnot_pd(signMask(), magnitude.v), _mm256_and_pd(signMask(), sign.v))};
  }
  static VecAvx2d powerOfTwoBelow(VecAvx2d a) {
    const __m256i e = _mm256_set1_epi64x(static_cast<long long>(kExponentBits));
    return {_mm256_and_pd(_mm256_castsi256_pd(e), a.v)};
  }
  static VecAvx2d reciprocalOfPowerOfTwo(VecAvx2d s) {
    const __m256i r = _mm256_set1_epi64x(static_cast<long long>(kReciprocalBits));
    return {_mm256_castsi256_pd(_mm256_sub_epi64(r, _mm256_castpd_si256(s.v)))};
  }
  static Mask greater(VecAvx2d a, VecAvx2d b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
  static VecAvx2d select(Mask m, VecAvx2d a, VecAvx2d b) {
    return {_mm256_blendv_pd(b.v, a.v, m.v)};
  }
  static bool all(Mask m) { return _mm256_movemask_pd(m.v) == 15; }
  static bool any(Mask m) { return _mm256_movemask_pd(m.v) != 0; }
  void storeFloat(float* p) const {
    const __m128 f = _mm256_cvtpd_ps(v);
    const __m128 nan = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(kCanonicalNaNBits)));
    _mm_storeu_ps(p, _mm_blendv_ps(f, nan, _mm_cmp_ps(f, f, _CMP_UNORD_Q)));
  }
};

inline VecAvx2d operator+(VecAvx2d a, VecAvx2d b) { return {_mm256_add_pd(a.v, b.v)}; }
inline VecAvx2d operator-(VecAvx2d a, VecAvx2d b) { return {_mm256_sub_pd(a.v, b.v)}; }
inline VecAvx2d operator*(VecAvx2d a, VecAvx2d b) { return {_mm256_mul_pd(a.v, b.v)}; }
inline VecAvx2d operator/(VecAvx2d a, VecAvx2d b) { return {_mm256_div_pd(a.v, b.v)}; }

#include "core/tensor_kernel_body.h"

}  // namespace

void planeAvx2(const PlanePass& pass) { smoothPlane<VecAvx2d>(pass); }
void acrossAvx2(const AcrossPass& pass, double* target) { acrossPlanes<VecAvx2d>(pass, target); }
void mapAvx2(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapVoxels<VecAvx2d>(pass, begin, end);
}
double radiusAvx2(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                  std::int32_t n1) {
  return radiusRow<VecAvx2d>(pass, deltas, row, n1);
}

}  // namespace quillmere::tensor

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif

#else

namespace quillmere::tensor {
void planeAvx2(const PlanePass& pass) { planeOneLane(pass); }
void acrossAvx2(const AcrossPass& pass, double* target) { acrossOneLane(pass, target); }
void mapAvx2(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapOneLane(pass, begin, end);
}
double radiusAvx2(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                  std::int32_t n1) {
  return radiusOneLane(pass, deltas, row, n1);
}
}  // namespace quillmere::tensor

#endif
