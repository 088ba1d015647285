// The tensor kernels on SSE2, which every x86-64 processor has: two doubles
// side by side. Built with the baseline flags.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/tensor_kernels.h"

#ifdef QUILLMERE_SWEEP_X86
#include <emmintrin.h>

namespace quillmere::tensor {
namespace {

struct VecSse2d {
  static constexpr int kLanes = 2;
  using Mask = VecSse2d;
  __m128d v;

  static __m128d signMask() { return _mm_set1_pd(-0.0); }
  static VecSse2d load(const double* p) { return {_mm_loadu_pd(p)}; }
  static VecSse2d loadFloat(const float* p) {
    return {_mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))))};
  }
  void store(double* p) const { _mm_storeu_pd(p, v); }
  static VecSse2d broadcast(double x) { return {_mm_set1_pd(x)}; }
  friend VecSse2d operator+(VecSse2d a, VecSse2d b) { return {_mm_add_pd(a.v, b.v)}; }
  friend VecSse2d operator-(VecSse2d a, VecSse2d b) { return {_mm_sub_pd(a.v, b.v)}; }
  friend VecSse2d operator*(VecSse2d a, VecSse2d b) { return {_mm_mul_pd(a.v, b.v)}; }
  friend VecSse2d operator/(VecSse2d a, VecSse2d b) { return {_mm_div_pd(a.v, b.v)}; }
  static VecSse2d sqrt(VecSse2d a) { return {_mm_sqrt_pd(a.v)}; }
  static VecSse2d max(VecSse2d a, VecSse2d b) { return {_mm_max_pd(a.v, b.v)}; }
  static VecSse2d abs(VecSse2d a) { return {_mm_andnot_pd(signMask(), a.v)}; }
  static VecSse2d copySign(VecSse2d magnitude, VecSse2d sign) {
    return {_mm_or_pd(_mm_andnot_pd(signMask(), magnitude.v), _mm_and_pd(signMask(), sign.v))};
  }
  static VecSse2d powerOfTwoBelow(VecSse2d a) {
    const __m128i e = _mm_set1_epi64x(static_cast<long long>(kExponentBits));
    return {_mm_and_pd(_mm_castsi128_pd(e), a.v)};
  }
  static VecSse2d reciprocalOfPowerOfTwo(VecSse2d s) {
    const __m128i r = _mm_set1_epi64x(static_cast<long long>(kReciprocalBits));
    return {_mm_castsi128_pd(_mm_sub_epi64(r, _mm_castpd_si128(s.v)))};
  }
  static Mask greater(VecSse2d a, VecSse2d b) { return {_mm_cmpgt_pd(a.v, b.v)}; }
  static VecSse2d select(Mask m, VecSse2d a, VecSse2d b) {
    return {_mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v))};
  }
  static bool all(Mask m) { return _mm_movemask_pd(m.v) == 3; }
  static bool any(Mask m) { return _mm_movemask_pd(m.v) != 0; }
  void storeFloat(float* p) const {
    const __m128 f = _mm_cvtpd_ps(v);
    const __m128 nan = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(kCanonicalNaNBits)));
    const __m128 unordered = _mm_cmpunord_ps(f, f);
    const __m128 r = _mm_or_ps(_mm_and_ps(unordered, nan), _mm_andnot_ps(unordered, f));
    _mm_storel_pi(reinterpret_cast<__m64*>(p), r);
  }
};

#include "core/tensor_kernel_body.h"

}  // namespace

void planeBaseline(const PlanePass& pass) { smoothPlane<VecSse2d>(pass); }
void acrossBaseline(const AcrossPass& pass, double* target) {
  acrossPlanes<VecSse2d>(pass, target);
}
void mapBaseline(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapVoxels<VecSse2d>(pass, begin, end);
}
double radiusBaseline(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                      std::int32_t n1) {
  return radiusRow<VecSse2d>(pass, deltas, row, n1);
}

}  // namespace quillmere::tensor

#else

namespace quillmere::tensor {
void planeBaseline(const PlanePass& pass) { planeOneLane(pass); }
void acrossBaseline(const AcrossPass& pass, double* target) { acrossOneLane(pass, target); }
void mapBaseline(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  mapOneLane(pass, begin, end);
}
double radiusBaseline(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                      std::int32_t n1) {
  return radiusOneLane(pass, deltas, row, n1);
}
}  // namespace quillmere::tensor

#endif
