// The stencil families of toolbox/quillmere_stencils.m (unit spacing), built
// the same way (outer products in double, then rounded to single), plus the
// families that exercise sparse tap lists: dense random weights, a single
// non-zero weight and all zeros.
#ifndef QUILLMERE_TESTS_STENCIL_FAMILIES_H
#define QUILLMERE_TESTS_STENCIL_FAMILIES_H

#include <random>
#include <string>
#include <vector>

#include "tests/support/sweep_problem.h"

namespace quillmere::testing {

enum class StencilFamily { Central, Scharr, Sobel, DenseRandom, SingleWeight, AllZero };

inline const char* familyName(StencilFamily f) {
  switch (f) {
    case StencilFamily::Central:
      return "central";
    case StencilFamily::Scharr:
      return "scharr";
    case StencilFamily::Sobel:
      return "sobel";
    case StencilFamily::DenseRandom:
      return "dense";
    case StencilFamily::SingleWeight:
      return "single";
    case StencilFamily::AllZero:
      return "zero";
  }
  return "?";
}

// k[a + n*b + n*n*c] = z[c] * (y[b] * x[a]) in double, as kron(z, kron(y, x)).
inline void outer3(std::vector<float>& k, const std::vector<double>& x,
                   const std::vector<double>& y, const std::vector<double>& z) {
  const std::size_t n = x.size();
  for (std::size_t c = 0; c < n; ++c)
    for (std::size_t b = 0; b < n; ++b)
      for (std::size_t a = 0; a < n; ++a)
        k[a + n * b + n * n * c] = static_cast<float>(z[c] * (y[b] * x[a]));
}

// Overwrites p's nine stencils with the family's weights.
inline void setStencils(SweepProblem& p, StencilFamily f, std::mt19937& rng) {
  for (auto& s : p.k) s.assign(kGradientTaps, 0.0f);
  for (auto& s : p.h) s.assign(kHessianTaps, 0.0f);
  std::vector<double> profile;
  switch (f) {
    case StencilFamily::Central:
      profile = {0.0, 1.0, 0.0};
      break;
    case StencilFamily::Scharr:
      profile = {3.0 / 16, 10.0 / 16, 3.0 / 16};
      break;
    case StencilFamily::Sobel:
      profile = {0.25, 0.5, 0.25};
      break;
    case StencilFamily::DenseRandom:
      for (auto& s : p.k) fillUniform(s, rng, -0.5f, 0.5f);
      for (auto& s : p.h) fillUniform(s, rng, -0.25f, 0.25f);
      return;
    case StencilFamily::SingleWeight:
      p.h[3][std::uniform_int_distribution<int>(0, kHessianTaps - 1)(rng)] = 0.5f;
      return;
    case StencilFamily::AllZero:
      return;
  }
  const std::vector<double> d1 = {-0.5, 0.0, 0.5}, d2 = {1.0, -2.0, 1.0};
  const auto pad = [](const std::vector<double>& v) {
    return std::vector<double>{0.0, v[0], v[1], v[2], 0.0};
  };
  const std::vector<double>& q = profile;
  outer3(p.k[0], d1, q, q);
  outer3(p.k[1], q, d1, q);
  outer3(p.k[2], q, q, d1);
  outer3(p.h[0], pad(d2), pad(q), pad(q));
  outer3(p.h[1], pad(q), pad(d2), pad(q));
  outer3(p.h[2], pad(q), pad(q), pad(d2));
  outer3(p.h[3], pad(d1), pad(d1), pad(q));
  outer3(p.h[4], pad(d1), pad(q), pad(d1));
  outer3(p.h[5], pad(q), pad(d1), pad(d1));
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_STENCIL_FAMILIES_H
