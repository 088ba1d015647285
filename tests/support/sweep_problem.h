// Owns every array of one sweep (volume, tensor, stencils) so tests and
// benchmarks can build inputs in a line or two and hand out core views.
#ifndef QUILLMERE_TESTS_SUPPORT_SWEEP_PROBLEM_H
#define QUILLMERE_TESTS_SUPPORT_SWEEP_PROBLEM_H

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/update_sweep.h"

namespace quillmere::testing {

struct SweepProblem {
  VolumeDims dims{0, 0, 0};
  std::vector<float> u;
  std::vector<float> t[6];  // t11, t12, t13, t22, t23, t33
  std::vector<float> k[3];  // k1, k2, k3 (27 weights)
  std::vector<float> h[6];  // k11, k22, k33, k12, k13, k23 (125 weights)
  float dt = 0.0f;

  explicit SweepProblem(VolumeDims d) : dims(d) {
    const std::size_t n = sampleCount();
    u.assign(n, 0.0f);
    for (auto& c : t) c.assign(n, 0.0f);
    for (auto& s : k) s.assign(kGradientTaps, 0.0f);
    for (auto& s : h) s.assign(kHessianTaps, 0.0f);
  }

  std::size_t sampleCount() const {
    if (dims.n1 <= 0 || dims.n2 <= 0 || dims.n3 <= 0) return 0;
    return static_cast<std::size_t>(dims.n1) * static_cast<std::size_t>(dims.n2) *
           static_cast<std::size_t>(dims.n3);
  }
  std::size_t at(int i1, int i2, int i3) const {
    return static_cast<std::size_t>(linearIndex(i1, i2, i3, dims));
  }

  VolumeView view(const std::vector<float>& v) const { return {v.data(), dims}; }
  TensorField tensor() const {
    return {view(t[0]), view(t[1]), view(t[2]), view(t[3]), view(t[4]), view(t[5])};
  }
  GradientStencils gradient() const { return {k[0].data(), k[1].data(), k[2].data()}; }
  HessianStencils hessian() const {
    return {h[0].data(), h[1].data(), h[2].data(), h[3].data(), h[4].data(), h[5].data()};
  }

  // Steps a copy of u with the given sweep and returns it.
  template <typename Sweep>
  std::vector<float> step(Sweep sweep) const {
    std::vector<float> out = u;
    sweep(MutableVolumeView{out.data(), dims}, tensor(), gradient(), hessian(), dt, dims);
    return out;
  }
  std::vector<float> stepPlain() const { return step(updateVolumePlain); }
};

inline std::uint32_t bitsOf(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}
inline float floatOf(std::uint32_t b) {
  float x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// Smooth-ish random data of moderate size: the usual case.
inline void fillUniform(std::vector<float>& v, std::mt19937& rng, float lo, float hi) {
  std::uniform_real_distribution<float> d(lo, hi);
  for (float& x : v) x = d(rng);
}

// Mostly ordinary values, with a sprinkling of signed zeros, subnormals,
// huge values, infinities and NaN: the values fast paths get wrong.
inline void fillNasty(std::vector<float>& v, std::mt19937& rng, int specialPercent) {
  std::uniform_real_distribution<float> ordinary(-2.0f, 2.0f);
  std::uniform_int_distribution<int> pick(0, 99), kind(0, 7);
  std::uniform_int_distribution<std::uint32_t> mantissa(1, 0x7fffffu);
  for (float& x : v) {
    if (pick(rng) >= specialPercent) {
      x = ordinary(rng);
      continue;
    }
    switch (kind(rng)) {
      case 0:
        x = 0.0f;
        break;
      case 1:
        x = -0.0f;
        break;
      case 2:
        x = floatOf(mantissa(rng));
        break;  // +subnormal
      case 3:
        x = floatOf(0x80000000u | mantissa(rng));
        break;  // -subnormal
      case 4:
        x = (pick(rng) & 1 ? 1.0f : -1.0f) * 3.0e38f;
        break;
      case 5:
        x = (pick(rng) & 1 ? 1.0f : -1.0f) * 1.0e-38f;
        break;
      case 6:
        x = (pick(rng) & 1 ? 1.0f : -1.0f) * 1.0f / 0.0f;
        break;
      default:
        x = floatOf(0x7fc00000u | (mantissa(rng) & 0x3fffffu));
        break;  // NaN
    }
  }
}

// Random values everywhere, tensor and stencils included, scaled so a step
// stays finite on ordinary data.
inline void fillRandom(SweepProblem& p, std::mt19937& rng) {
  fillUniform(p.u, rng, -1.0f, 1.0f);
  for (auto& c : p.t) fillUniform(c, rng, -1.0f, 1.0f);
  for (auto& s : p.k) fillUniform(s, rng, -0.5f, 0.5f);
  for (auto& s : p.h) fillUniform(s, rng, -0.25f, 0.25f);
  p.dt = 0.01f;
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_SUPPORT_SWEEP_PROBLEM_H
