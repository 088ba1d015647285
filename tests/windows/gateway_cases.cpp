#include "tests/windows/gateway_cases.h"

#include "tests/support/call_rules.h"
#include "tests/support/sweep_problem.h"
#include "tests/windows/case_random.h"

namespace quillmere::testing {
namespace {

constexpr std::uint64_t kSeed = 0x5eed0f9a1e77a7e5u;
// Past the small shapes: long runs along each axis and a few thousand voxels.
const VolumeDims kLargeShapes[kLargeCases] = {{40, 33, 21}, {97, 3, 2},  {1, 1, 300},
                                              {2, 150, 3},  {64, 1, 1},  {17, 17, 17},
                                              {9, 70, 9},   {64, 48, 64}};

// The values fast paths and careless builds get wrong. Overflow, infinities
// and NaN spread through the rest of an in-place sweep (inf - inf, 0 * inf),
// so they come on their own switches, to keep the other kinds visible in
// the results.
enum class Specials { kSmall, kFinite, kAll };

float specialValue(CaseRandom& r, Specials kinds) {
  switch (r.below(kinds == Specials::kAll ? 9 : kinds == Specials::kFinite ? 7 : 6)) {
    case 0:
      return 0.0f;
    case 1:
      return -0.0f;
    case 2:
      return floatOf(1u + r.bits() % 0x7fffffu);  // +subnormal
    case 3:
      return floatOf(0x80000000u | (1u + r.bits() % 0x7fffffu));  // -subnormal
    case 4: {
      const float sign = r.sign();
      return sign * floatOf(0x00800000u + r.bits() % 1024u);  // smallest normals
    }
    case 5:
      return r.sign();
    case 6: {
      const float sign = r.sign();
      return sign * r.between(1.0e38f, 3.4e38f);  // near overflow
    }
    case 7:
      return r.sign() * floatOf(0x7f800000u);  // infinity
    default: {
      const std::uint32_t b = r.bits();
      return floatOf((b & 0x80000000u) | 0x7fc00000u | (b & 0x3fffffu));  // NaN, any payload
    }
  }
}

void fill(std::vector<float>& v, CaseRandom& r, float scale, int specialPercent,
          Specials kinds = Specials::kSmall) {
  for (float& x : v) {
    x = r.below(100) < specialPercent ? specialValue(r, kinds) : scale * r.between(-1.0f, 1.0f);
  }
}

// Replaces about `percent` of the values with +0 or -0.
void sprinkleZeros(std::vector<float>& v, CaseRandom& r, int percent) {
  for (float& x : v) {
    if (r.below(100) < percent) x = r.sign() * 0.0f;
  }
}

float pickDt(CaseRandom& r) {
  const float choices[] = {0.01f,
                           0.1f,
                           1.0f,
                           0.3f,
                           -0.05f,
                           0.0f,
                           -0.0f,
                           1.0e-40f,
                           floatOf(0x7f800000u),
                           floatOf(0x7fc00000u)};
  const int n = static_cast<int>(sizeof choices / sizeof choices[0]);
  // Mostly a random ordinary step; now and then one of the odd ones.
  return r.below(3) == 0 ? choices[r.below(n)] : r.between(0.0f, 0.2f);
}

VolumeDims pickShape(int index, CaseRandom& r) {
  if (index >= kSmallCases) return kLargeShapes[index - kSmallCases];
  VolumeDims d{1 + r.below(9), 1 + r.below(9), 1 + r.below(9)};
  // Now and then a plane (the host reports it with two extents), a line, or
  // an empty volume.
  switch (r.below(12)) {
    case 0:
      d.n3 = 1;
      break;
    case 1:
      d.n2 = 1;
      d.n3 = 1;
      break;
    case 2:
      (r.below(3) == 0 ? d.n1 : r.below(2) == 0 ? d.n2 : d.n3) = 0;
      break;
    default:
      break;
  }
  return d;
}

}  // namespace

GoodCase makeCase(int index) {
  CaseRandom r(kSeed ^ (0x100000001b3u * static_cast<std::uint64_t>(index + 1)));
  const VolumeDims d = pickShape(index, r);
  SweepProblem p(d);
  int stencilSpecials = 0;
  switch (index % 6) {
    case 0:  // ordinary data
      fill(p.u, r, 1.0f, 0);
      for (auto& c : p.t) fill(c, r, 1.0f, 0);
      break;
    case 1:  // small specials in u: signed zeros, subnormals, smallest normals
      fill(p.u, r, 1.0f, 25);
      for (auto& c : p.t) fill(c, r, 1.0f, 0);
      break;
    case 2:  // a few infinities and NaN anywhere
      fill(p.u, r, 2.0f, 2, Specials::kAll);
      for (auto& c : p.t) fill(c, r, 1.0f, 1, Specials::kAll);
      stencilSpecials = 2;
      break;
    case 3:  // subnormal samples, sums and products
      fill(p.u, r, 1.0e-38f, 10);
      for (auto& c : p.t) fill(c, r, 1.0f, 10);
      break;
    case 4:  // mostly zeros of either sign: signed-zero arithmetic
      fill(p.u, r, 1.0f, 10);
      sprinkleZeros(p.u, r, 70);
      for (auto& c : p.t) {
        fill(c, r, 1.0f, 0);
        sprinkleZeros(c, r, 50);
      }
      break;
    default:  // overflow on the way
      fill(p.u, r, 1.0e26f, 2, Specials::kFinite);
      for (auto& c : p.t) fill(c, r, 1.0e10f, 0);
      break;
  }
  for (auto& s : p.k) fill(s, r, 0.5f, stencilSpecials, Specials::kAll);
  for (auto& s : p.h) fill(s, r, 0.25f, stencilSpecials, Specials::kAll);
  p.dt = pickDt(r);

  GoodCase c{CallInputs(p), reportedExtents(d), index % 3 == 0 ? 0 : 1};

  // What callers may rely on: a longer u and tensor, longer stencils and dt.
  // Whatever lies past the part that is read is NaN, so reading it shows.
  const float nan = floatOf(0x7fc00000u);
  if (index % 11 == 5) {
    c.inputs.args[U] = makeSingle({d.n1, d.n2, d.n3, 2}, p.u, nan);
    c.inputs.args[T12] = makeSingle({d.n1, d.n2, d.n3, 3}, p.t[1], nan);
  }
  if (index % 7 == 3) {
    c.inputs.args[K2] = makeSingle({1, 30}, p.k[1], nan);
    c.inputs.args[K13] = makeSingle({5, 5, 5, 2}, p.h[4], nan);
    c.inputs.args[DT] = makeSingle({3, 1}, {p.dt}, nan);
  }
  return c;
}

}  // namespace quillmere::testing
