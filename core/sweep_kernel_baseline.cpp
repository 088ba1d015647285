// The vector sweep on SSE2, which every x86-64 processor has: four rows side
// by side. Built with the baseline flags. Also the one-lane form of the same
// body (a float for a vector), which needs no instruction set at all: it
// runs sparse groups unit by unit, and regions of the Plain path.
#include "core/sweep_kernels.h"

#include <cstdint>
#include <cstring>

#ifdef QUILLMERE_SWEEP_X86
#include <emmintrin.h>
#endif

namespace quillmere::sweep {
namespace {

#ifdef QUILLMERE_SWEEP_X86
struct VecSse2 {
  static constexpr int kLanes = 4;
  static constexpr int kRegisters = 16;
  __m128 v;

  static VecSse2 load(const float* p) { return {_mm_load_ps(p)}; }
  static VecSse2 loadu(const float* p) { return {_mm_loadu_ps(p)}; }
  // A load the compiler must keep in a register instead of folding it into
  // every instruction that uses it (which would repeat the load).
  static VecSse2 loaduOnce(const float* p) {
    VecSse2 r{_mm_loadu_ps(p)};
#if defined(__GNUC__) && !defined(__clang__)
    __asm__("" : "+x"(r.v));
#endif
    return r;
  }
  static VecSse2 broadcast(float x) { return {_mm_set1_ps(x)}; }
  void store(float* p) const { _mm_store_ps(p, v); }
  void storeu(float* p) const { _mm_storeu_ps(p, v); }
  friend VecSse2 operator+(VecSse2 a, VecSse2 b) { return {_mm_add_ps(a.v, b.v)}; }
  friend VecSse2 operator-(VecSse2 a, VecSse2 b) { return {_mm_sub_ps(a.v, b.v)}; }
  friend VecSse2 operator*(VecSse2 a, VecSse2 b) { return {_mm_mul_ps(a.v, b.v)}; }
  // Bits of a where mask is set, of b elsewhere.
  static VecSse2 select(VecSse2 mask, VecSse2 a, VecSse2 b) {
    return {_mm_or_ps(_mm_and_ps(mask.v, a.v), _mm_andnot_ps(mask.v, b.v))};
  }
  static VecSse2 canonicalizeNaN(VecSse2 x) {
    const __m128 nan = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(kCanonicalNaNBits)));
    return select({_mm_cmpunord_ps(x.v, x.v)}, {nan}, x);
  }
  QUILLMERE_ALWAYS_INLINE static void transpose(VecSse2* r) {
    const __m128 t0 = _mm_unpacklo_ps(r[0].v, r[1].v), t1 = _mm_unpackhi_ps(r[0].v, r[1].v);
    const __m128 t2 = _mm_unpacklo_ps(r[2].v, r[3].v), t3 = _mm_unpackhi_ps(r[2].v, r[3].v);
    r[0].v = _mm_movelh_ps(t0, t2);
    r[1].v = _mm_movehl_ps(t2, t0);
    r[2].v = _mm_movelh_ps(t1, t3);
    r[3].v = _mm_movehl_ps(t3, t1);
  }
};
#endif

// One lane in a plain float: the same kernel body, on a single unit.
struct VecScalar {
  static constexpr int kLanes = 1;
  static constexpr int kRegisters = 16;
  float v;

  static VecScalar load(const float* p) { return {*p}; }
  static VecScalar loadu(const float* p) { return {*p}; }
  static VecScalar loaduOnce(const float* p) { return {*p}; }
  static VecScalar broadcast(float x) { return {x}; }
  static VecScalar canonicalizeNaN(VecScalar x) { return {quillmere::canonicalizeNaN(x.v)}; }
  void store(float* p) const { *p = v; }
  void storeu(float* p) const { *p = v; }
  friend VecScalar operator+(VecScalar a, VecScalar b) { return {a.v + b.v}; }
  friend VecScalar operator-(VecScalar a, VecScalar b) { return {a.v - b.v}; }
  friend VecScalar operator*(VecScalar a, VecScalar b) { return {a.v * b.v}; }
  static VecScalar select(VecScalar mask, VecScalar a, VecScalar b) {
    std::uint32_t m, x, y;
    std::memcpy(&m, &mask.v, sizeof m);
    std::memcpy(&x, &a.v, sizeof x);
    std::memcpy(&y, &b.v, sizeof y);
    const std::uint32_t r = (m & x) | (~m & y);
    VecScalar out;
    std::memcpy(&out.v, &r, sizeof r);
    return out;
  }
  static void transpose(VecScalar*) {}
};

}  // namespace
}  // namespace quillmere::sweep

#include "core/sweep_kernel_body.h"

namespace quillmere::sweep {

#ifdef QUILLMERE_SWEEP_X86
bool sweepRegionBaseline(const SweepContext& context, const SweepRegion& region) {
  return sweepRegionWith<VecSse2, 1>(context, region);
}
#endif

bool sweepRegionOneLane(const SweepContext& context, const SweepRegion& region) {
  return sweepRegionWith<VecScalar, 1>(context, region);
}

bool runUnitsOneByOne(const SweepContext& context, const SweepUnit* units, int count) {
  Stage<VecScalar> stage;
  Stage<VecScalar>* stages[1] = {&stage};
  VecScalar probe = VecScalar::broadcast(0.0f);
  for (int i = 0; i < count; ++i) {
    stage.units[0] = units[i];
    stage.keptQ[0] = nullptr;
    stage.unitCount = 1;
    runGroups<VecScalar, 1>(context, stages, probe);
  }
  return probeTripped(probe);
}

}  // namespace quillmere::sweep
