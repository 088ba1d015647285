// The tensor kernels, written once over a vector of doubles V. Included by
// each per-ISA file inside its own unnamed namespace (so no inline function
// built for one instruction set can stand in for another's at link time),
// after <cmath>, <cstdint>, <cstring> and core/tensor_kernels.h.
//
// V provides: kLanes; load/store (unaligned) of doubles; loadFloat (kLanes
// floats, widened exactly); broadcast; + - * /;
// sqrt; max(a, b) = a > b ? a : b (the x86 rule, also for NaN and zeros);
// abs and copySign (bit operations); powerOfTwoBelow(a) (a with its
// significand cleared: 2^floor(log2 a) for a positive normal a) and
// reciprocalOfPowerOfTwo(s) (1 / s exactly, from the exponent bits, for a
// power of two 2^-1022 < s < 2^1023); greater(a, b) -> Mask; select(m, a, b);
// all(m), any(m) (every lane's, some lane's mask set);
// storeFloat (round to single, NaN stored as the canonical quiet NaN).
// Every operation is one correctly rounded IEEE operation per lane, so a lane
// gives the bits of Lane1 below on the same inputs.

#ifndef QUILLMERE_TENSOR_KERNEL_BODY_ONCE
#define QUILLMERE_TENSOR_KERNEL_BODY_ONCE
// A rotation left out of line keeps its matrices in memory: a store and a
// reload per entry per rotation.
#if defined(__GNUC__) || defined(__clang__)
#define QUILLMERE_TENSOR_INLINE inline __attribute__((always_inline))
#else
#define QUILLMERE_TENSOR_INLINE inline
#endif
#endif

// One lane: a double, with the same operations as the vector types.
struct Lane1 {
  static constexpr int kLanes = 1;
  using Mask = bool;
  double v;

  static Lane1 load(const double* p) { return {*p}; }
  static Lane1 loadFloat(const float* p) { return {static_cast<double>(*p)}; }
  void store(double* p) const { *p = v; }
  static Lane1 broadcast(double x) { return {x}; }
  friend Lane1 operator+(Lane1 a, Lane1 b) { return {a.v + b.v}; }
  friend Lane1 operator-(Lane1 a, Lane1 b) { return {a.v - b.v}; }
  friend Lane1 operator*(Lane1 a, Lane1 b) { return {a.v * b.v}; }
  friend Lane1 operator/(Lane1 a, Lane1 b) { return {a.v / b.v}; }
  static Lane1 sqrt(Lane1 a) { return {std::sqrt(a.v)}; }
  static Lane1 max(Lane1 a, Lane1 b) { return {a.v > b.v ? a.v : b.v}; }
  static Lane1 abs(Lane1 a) { return {std::fabs(a.v)}; }
  static Lane1 copySign(Lane1 magnitude, Lane1 sign) {
    return {std::copysign(magnitude.v, sign.v)};
  }
  static Lane1 powerOfTwoBelow(Lane1 a) {
    std::uint64_t bits;
    std::memcpy(&bits, &a.v, sizeof bits);
    bits &= kExponentBits;
    Lane1 r;
    std::memcpy(&r.v, &bits, sizeof bits);
    return r;
  }
  static Lane1 reciprocalOfPowerOfTwo(Lane1 s) {
    std::uint64_t bits;
    std::memcpy(&bits, &s.v, sizeof bits);
    bits = kReciprocalBits - bits;
    Lane1 r;
    std::memcpy(&r.v, &bits, sizeof bits);
    return r;
  }
  static Mask greater(Lane1 a, Lane1 b) { return a.v > b.v; }
  static Lane1 select(Mask m, Lane1 a, Lane1 b) { return m ? a : b; }
  static bool all(Mask m) { return m; }
  static bool any(Mask m) { return m; }
  void storeFloat(float* p) const {
    const float f = static_cast<float>(v);
    if (f != f) {
      std::memcpy(p, &kCanonicalNaNBits, sizeof *p);
    } else {
      *p = f;
    }
  }
};

// f(0), f(1), ..., f(N - 1), written out: with the index a constant in each
// call, arrays indexed by it stay in registers (a loop over them is left
// rolled at -O2 and keeps them in memory, a store and reload per tap).
template <int N>
struct Unrolled {
  template <class F>
  static void run(const F& f) {
    Unrolled<N - 1>::run(f);
    f(N - 1);
  }
};
template <>
struct Unrolled<0> {
  template <class F>
  static void run(const F&) {}
};

// A pass's centre term w0 x; with UnitCentre (w0 = 1) x as it is: 1 x = x.
template <class V, bool UnitCentre>
QUILLMERE_TENSOR_INLINE V centreTerm(V w0, V x) {
  return UnitCentre ? x : w0 * x;
}

// K * kLanes neighbouring outputs of one pass along a line: vector k reads
// its centre at x + k kLanes and its taps 1 double apart; stored to target.
// K independent sums side by side keep the adder's latency hidden.
template <class V, int K, bool UnitCentre>
inline void smoothRun(const double* x, const double* w, std::int32_t r, double* target) {
  V acc[K];
  const V w0 = V::broadcast(w[0]);
  Unrolled<K>::run(
      [&](int k) { acc[k] = centreTerm<V, UnitCentre>(w0, V::load(x + k * V::kLanes)); });
  for (std::int32_t t = 1; t <= r; ++t) {
    const V wt = V::broadcast(w[t]);
    const double* below = x - t;
    const double* above = x + t;
    Unrolled<K>::run([&](int k) {
      acc[k] = acc[k] + wt * (V::load(below + k * V::kLanes) + V::load(above + k * V::kLanes));
    });
  }
  Unrolled<K>::run([&](int k) { acc[k].store(target + k * V::kLanes); });
}

// Plane k of an AcrossPass, k clamped to the volume.
inline const double* acrossPlane(const AcrossPass& pass, std::int64_t k) {
  k = k < 0 ? 0 : (k >= pass.n3 ? pass.n3 - 1 : k);
  return pass.ring + (k % pass.ringPlanes) * pass.slotStride;
}

// K * kLanes neighbouring outputs from offset x on, with the arithmetic of
// smoothRun, to target; plane(i) is plane centre - radius + i.
template <class V, int K, bool UnitCentre, class Planes>
inline void acrossRun(const AcrossPass& pass, const Planes& plane, std::int64_t x, double* target) {
  const std::int32_t r = pass.radius;
  V acc[K];
  const V w0 = V::broadcast(pass.weights[0]);
  const double* centre = plane(r) + x;
  Unrolled<K>::run(
      [&](int k) { acc[k] = centreTerm<V, UnitCentre>(w0, V::load(centre + k * V::kLanes)); });
  for (std::int32_t t = 1; t <= r; ++t) {
    const V wt = V::broadcast(pass.weights[t]);
    const double* below = plane(r - t) + x;
    const double* above = plane(r + t) + x;
    Unrolled<K>::run([&](int k) {
      acc[k] = acc[k] + wt * (V::load(below + k * V::kLanes) + V::load(above + k * V::kLanes));
    });
  }
  Unrolled<K>::run([&](int k) { acc[k].store(target + k * V::kLanes); });
}

// The samples [begin, end) in pieces that are contiguous in the ring (one
// piece when the ring is planar, a row's part otherwise); each piece is
// done for all `count` planes in turn while the ring's samples there are in
// the first-level cache. Sixteen sums side by side in registers.
template <class V, bool UnitCentre, class Planes>
void acrossWith(const AcrossPass& pass, const Planes& plane, int count, double* target) {
  const std::int64_t n1 = pass.rowLength, begin = pass.begin;
  const bool planar = pass.rowStride == n1;
  constexpr int K = 16;
  for (std::int64_t x = begin; x < pass.end;) {
    const std::int64_t row = x / n1;
    const std::int64_t stop = planar || pass.end < (row + 1) * n1 ? pass.end : (row + 1) * n1;
    const std::int64_t shift = planar ? 0 : row * (pass.rowStride - n1);
    for (; x + K * V::kLanes <= stop; x += K * V::kLanes) {
      for (int b = 0; b < count; ++b) {
        const auto from = [&](std::int32_t i) { return plane(i + b); };
        acrossRun<V, K, UnitCentre>(pass, from, x + shift,
                                    target + b * pass.targetStride + (x - begin));
      }
    }
    for (; x + V::kLanes <= stop; x += V::kLanes) {
      for (int b = 0; b < count; ++b) {
        const auto from = [&](std::int32_t i) { return plane(i + b); };
        acrossRun<V, 1, UnitCentre>(pass, from, x + shift,
                                    target + b * pass.targetStride + (x - begin));
      }
    }
    for (; x < stop; ++x) {
      for (int b = 0; b < count; ++b) {
        const auto from = [&](std::int32_t i) { return plane(i + b); };
        acrossRun<Lane1, 1, UnitCentre>(pass, from, x + shift,
                                        target + b * pass.targetStride + (x - begin));
      }
    }
  }
}

// The usual radii have their planes looked up once; wider ones on the fly
// (the same planes, so the same bits).
constexpr std::int32_t kAcrossListed = 32;

template <class V, bool UnitCentre>
void acrossPlanesWith(const AcrossPass& pass, double* target) {
  if (pass.radius <= kAcrossListed) {
    struct Listed {
      const double* planes[2 * kAcrossListed + kAcrossPlanes];
      const double* operator()(std::int32_t i) const { return planes[i]; }
    } listed;
    for (std::int32_t i = 0; i < 2 * pass.radius + pass.count; ++i) {
      listed.planes[i] = acrossPlane(pass, pass.centre - pass.radius + i);
    }
    acrossWith<V, UnitCentre>(pass, listed, pass.count, target);
    return;
  }
  for (int b = 0; b < pass.count; ++b) {
    const std::int64_t first = pass.centre + b - pass.radius;
    const auto onTheFly = [&](std::int32_t i) { return acrossPlane(pass, first + i); };
    acrossWith<V, UnitCentre>(pass, onTheFly, 1, target + b * pass.targetStride);
  }
}

template <class V>
void acrossPlanes(const AcrossPass& pass, double* target) {
  if (pass.weights[0] == 1.0) {
    acrossPlanesWith<V, true>(pass, target);
  } else {
    acrossPlanesWith<V, false>(pass, target);
  }
}

// The products of voxels i1 .. i1 + kLanes - 1 of a row (p the row in the
// plane, s the row stride of the source) into line[0..5] + i1; dn1, up1
// the offsets of the axis-1 neighbours (1, or 0 at a face, where the formula
// is the same with the edge sample), dn2, up2 those along axis 2.
template <class V>
QUILLMERE_TENSOR_INLINE void productsAt(const PlanePass& pass, std::int64_t p, std::int64_t i1,
                                        std::int64_t dn1, std::int64_t up1, std::int64_t dn2,
                                        std::int64_t up2, double* const* line) {
  const std::int64_t e = p + i1;
  const V g1 =
      (V::load(pass.plane + e + up1) - V::load(pass.plane + e - dn1)) * V::broadcast(pass.scale[0]);
  const V g2 =
      (V::load(pass.plane + e + up2) - V::load(pass.plane + e - dn2)) * V::broadcast(pass.scale[1]);
  const V g3 = (V::load(pass.above + e) - V::load(pass.below + e)) * V::broadcast(pass.scale[2]);
  (g1 * g1).store(line[0] + i1);
  (g1 * g2).store(line[1] + i1);
  (g1 * g3).store(line[2] + i1);
  (g2 * g2).store(line[3] + i1);
  (g2 * g3).store(line[4] + i1);
  (g3 * g3).store(line[5] + i1);
}

template <class V>
void rowProducts(const PlanePass& pass, std::int64_t i2, double* const* line) {
  const std::int64_t n1 = pass.n1, s = pass.sourceRowStride;
  const std::int64_t p = s * i2;
  const std::int64_t up2 = i2 + 1 < pass.n2 ? s : 0, dn2 = i2 > 0 ? s : 0;
  // The faces along axis 1 one voxel at a time, the rest in vectors.
  productsAt<Lane1>(pass, p, 0, 0, n1 > 1 ? 1 : 0, dn2, up2, line);
  if (n1 < 2) return;
  std::int64_t i1 = 1;
  for (; i1 + V::kLanes <= n1 - 1; i1 += V::kLanes)
    productsAt<V>(pass, p, i1, 1, 1, dn2, up2, line);
  for (; i1 < n1 - 1; ++i1) productsAt<Lane1>(pass, p, i1, 1, 1, dn2, up2, line);
  productsAt<Lane1>(pass, p, n1 - 1, 1, 0, dn2, up2, line);
}

// The runs of one line (see smoothLine): eight sums side by side with
// AVX-512's 32 registers, four otherwise.
template <class V, bool UnitCentre>
void smoothLineRuns(const double* x, std::int64_t n1, const double* w, std::int32_t r,
                    double* target) {
  constexpr int K = V::kLanes >= 8 ? 8 : 4;
  std::int64_t j = 0;
  for (; j + K * V::kLanes <= n1; j += K * V::kLanes)
    smoothRun<V, K, UnitCentre>(x + j, w, r, target + j);
  for (; j + V::kLanes <= n1; j += V::kLanes) smoothRun<V, 1, UnitCentre>(x + j, w, r, target + j);
  for (; j < n1; ++j) smoothRun<Lane1, 1, UnitCentre>(x + j, w, r, target + j);
}

// One line of n1 samples at x (with r samples of room before and after,
// filled here with the edge samples) smoothed to target.
template <class V>
void smoothLine(double* x, std::int64_t n1, const double* w, std::int32_t r, double* target) {
  for (std::int32_t j = 1; j <= r; ++j) {
    x[-j] = x[0];
    x[n1 - 1 + j] = x[n1 - 1];
  }
  if (w[0] == 1.0) {
    smoothLineRuns<V, true>(x, n1, w, r, target);
  } else {
    smoothLineRuns<V, false>(x, n1, w, r, target);
  }
}

// See PlanePass: rows are produced and smoothed along axis 1 as the next
// kAcrossPlanes rows along axis 2 first need them.
template <class V>
void smoothPlane(const PlanePass& pass) {
  const std::int64_t n1 = pass.n1, n2 = pass.n2;
  const std::int32_t r1 = pass.radius[0], r2 = pass.radius[1];
  const int components = pass.u ? 1 : 6;
  const std::int64_t ringRows = planeRingRows(n2, r2), pitch = alignedDoubles(n1);
  const std::int64_t lineLength = alignedDoubles(n1 + 2 * r1);
  double* const rings = pass.scratch + 6 * lineLength;
  double* line[6];
  for (int c = 0; c < 6; ++c) line[c] = pass.scratch + c * lineLength + r1;
  std::int64_t next = 0;  // the next row to produce
  for (std::int64_t j = 0; j < n2; j += kAcrossPlanes) {
    const int count = static_cast<int>(n2 - j < kAcrossPlanes ? n2 - j : kAcrossPlanes);
    const std::int64_t last = j + count - 1 + r2 < n2 ? j + count - 1 + r2 : n2 - 1;
    for (; next <= last; ++next) {
      if (pass.u) {
        const float* from = pass.u + next * n1;
        std::int64_t x = 0;
        for (; x + V::kLanes <= n1; x += V::kLanes) V::loadFloat(from + x).store(line[0] + x);
        for (; x < n1; ++x) line[0][x] = static_cast<double>(from[x]);
      } else {
        rowProducts<V>(pass, next, line);
      }
      for (int c = 0; c < components; ++c) {
        smoothLine<V>(line[c], n1, pass.weights[0], r1,
                      rings + (c * ringRows + next % ringRows) * pitch);
      }
    }
    for (int c = 0; c < components; ++c) {
      const AcrossPass along2{rings + c * ringRows * pitch,
                              pitch,
                              ringRows,
                              n2,
                              j,
                              count,
                              pass.weights[1],
                              r2,
                              0,
                              n1,
                              n1,
                              n1,
                              pass.targetRowStride};
      acrossPlanes<V>(along2, pass.target[c] + j * pass.targetRowStride);
    }
  }
}

// exp(x) for x <= 0: exp(x / 1024) by its Taylor polynomial (degree 11,
// truncation below 1e-17 on [-0.2, 0]), squared ten times. Below -200 the
// argument is held at -200 (exp(-200) ~ 1e-87, nothing a single result can
// hold apart from 0). K arguments side by side, in place: one argument's
// evaluation is a chain of 33 dependent operations, and K independent
// chains keep the multiplier busy instead of waiting on each.
template <class V, int K>
QUILLMERE_TENSOR_INLINE void expNonPositiveRun(V* x) {
  constexpr double f2 = 2.0, f3 = f2 * 3, f4 = f3 * 4, f5 = f4 * 5, f6 = f5 * 6, f7 = f6 * 7,
                   f8 = f7 * 8, f9 = f8 * 9, f10 = f9 * 10, f11 = f10 * 11;
  constexpr double kCoefficient[11] = {1.0 / f10, 1.0 / f9, 1.0 / f8, 1.0 / f7, 1.0 / f6, 1.0 / f5,
                                       1.0 / f4,  1.0 / f3, 1.0 / f2, 1.0,      1.0};
  V r[K], p[K];
  Unrolled<K>::run([&](int k) {
    r[k] = V::max(x[k], V::broadcast(-200.0)) * V::broadcast(1.0 / 1024.0);
    p[k] = V::broadcast(1.0 / f11);
  });
  Unrolled<11>::run([&](int c) {
    const V coefficient = V::broadcast(kCoefficient[c]);
    Unrolled<K>::run([&](int k) { p[k] = p[k] * r[k] + coefficient; });
  });
  Unrolled<10>::run([&](int) { Unrolled<K>::run([&](int k) { p[k] = p[k] * p[k]; }); });
  Unrolled<K>::run([&](int k) { x[k] = p[k]; });
}

template <class V>
V expNonPositiveV(V x) {
  expNonPositiveRun<V, 1>(&x);
  return x;
}

// exp of n arguments in place, the same bits as expNonPositiveV on each.
template <class V>
void expNonPositiveMany(V* x, int n) {
  // Enough chains to cover the multiplier's latency, within the registers
  // (32 vector registers with AVX-512, 16 otherwise).
  constexpr int K = V::kLanes >= 8 ? 8 : 4;
  int i = 0;
  for (; i + K <= n; i += K) expNonPositiveRun<V, K>(x + i);
  for (; i < n; ++i) expNonPositiveRun<V, 1>(x + i);
}

// Sweeps of cyclic Jacobi. Over 200000 random matrices with simple, double
// and triple clusters of eigenvalues, the worst off-diagonal left (of the
// matrix scaled to entries below 2) was 0.1 after two sweeps, 2e-5 after three
// and 1e-15, rounding level, after four; more sweeps change nothing.
constexpr int kJacobiSweeps = 4;

// One Jacobi rotation in the plane (p, q), s the third index: zeroes A[p][q]
// (up to rounding) and turns the columns p, q of the frame with it. With
// d = A[q][q] - A[p][p], each lane takes one of three rules, chosen by its
// own values only, so that a lane's bits never depend on its neighbours:
//  - negligible, |A[p][q]| < 2^-30 |d| + 1e-100: A[p][q] is set to zero and
//    nothing else changes. The rotation left out would turn the frame by
//    less than |A[p][q] / d| and move the eigenvalues by less than
//    A[p][q]^2 / |d|; the maps are bounded by 1, so the tensor moves by less
//    than about 1e-9 of its largest entry (the tested bound is 1e-6). Once
//    Jacobi has converged (in the fourth sweep nearly everywhere) whole
//    vectors skip their rotation.
//  - near the diagonal, |A[p][q]| < |d| / 128: the rotation by its series
//    in r = A[p][q] / d, x = r^2: tangent t = r (1 - x + 2 x^2 - 5 x^3),
//    cos = 1 - x/2 + 11/8 x^2 - 69/16 x^3 + 1843/128 x^4, sin = t cos (the
//    terms left out are below 1e-18): one division. The frame stays
//    orthogonal to rounding.
//  - otherwise: with h = sqrt(d^2 + 4 A[p][q]^2), m = |d| + h and
//    w = 1 / (2 h m), cos = m sqrt(w), sin = 2 A[p][q] sgn(d) sqrt(w) and
//    t = 2 A[p][q] sgn(d) 2h w: two square roots and one division. Where h
//    is below 1e-150 (nothing left to turn; 1/(2hm) could overflow) the
//    rotation is the identity.
// The divider bounds the solve; a vector computes only the rules its lanes
// take.
template <class V>
struct Rotation {
  V c, s, t;
};

template <class V>
QUILLMERE_TENSOR_INLINE typename V::Mask negligible(V apq, V d) {
  return V::greater(V::abs(d) * V::broadcast(0x1p-30) + V::broadcast(1e-100), V::abs(apq));
}

template <class V>
QUILLMERE_TENSOR_INLINE typename V::Mask nearDiagonal(V apq, V d) {
  return V::greater(V::abs(d), V::abs(apq) * V::broadcast(128.0));
}

// The near rule from r = A[p][q] / d. Horner's scheme: no power of r beyond
// r^2 is formed, so no lane underflows into subnormals (slow).
template <class V>
QUILLMERE_TENSOR_INLINE Rotation<V> nearFromQuotient(V r) {
  const V one = V::broadcast(1.0);
  const V x = r * r;
  const V t = r * (one - x * (one - x * (V::broadcast(2.0) - x * V::broadcast(5.0))));
  const V c = one - x * (V::broadcast(0.5) -
                         x * (V::broadcast(11.0 / 8.0) -
                              x * (V::broadcast(69.0 / 16.0) - x * V::broadcast(1843.0 / 128.0))));
  return {c, t * c, t};
}

// The other rule given h and w = 1 / (2 h m) (any value where h is tiny).
template <class V>
QUILLMERE_TENSOR_INLINE Rotation<V> farFromRoot(V apq, V d, V h, V w) {
  const V zero = V::broadcast(0.0), one = V::broadcast(1.0);
  const auto turn = V::greater(h, V::broadcast(1e-150));
  const V root = V::sqrt(w);
  const V twice = (apq + apq) * V::copySign(one, d);
  const V m = V::abs(d) + h;
  return {V::select(turn, m * root, one), V::select(turn, twice * root, zero),
          V::select(turn, (twice * (h + h)) * w, zero)};
}

// The rotation of lanes that are near or far (negligible lanes are given
// the identity by the caller): only the rules some lane needs are computed.
template <class V>
QUILLMERE_TENSOR_INLINE Rotation<V> rotationOf(V apq, V d) {
  const V one = V::broadcast(1.0);
  const auto near = nearDiagonal<V>(apq, d);
  if (V::all(near)) return nearFromQuotient<V>(apq / d);
  const V h = V::sqrt(d * d + (apq * apq) * V::broadcast(4.0));
  const auto turn = V::greater(h, V::broadcast(1e-150));
  const V denominator = (h + h) * V::select(turn, V::abs(d) + h, one);
  if (!V::any(near)) return farFromRoot<V>(apq, d, h, one / denominator);
  // One division serves both rules: A[p][q] / d in the near lanes, w in
  // the others.
  const V quotient = V::select(near, apq, one) / V::select(near, d, denominator);
  const Rotation<V> n = nearFromQuotient<V>(quotient);
  const Rotation<V> f = farFromRoot<V>(apq, d, h, quotient);
  return {V::select(near, n.c, f.c), V::select(near, n.s, f.s), V::select(near, n.t, f.t)};
}

// Off-diagonal entries below 1e-100 (of a matrix scaled to entries below 2)
// are set to zero: they change no eigenvalue or frame beyond rounding, and
// the rotations would otherwise square them on into subnormal numbers,
// which cost the processor a hundred cycles each. NaN stays NaN.
template <class V>
QUILLMERE_TENSOR_INLINE V negligibleToZero(V x) {
  return V::select(V::greater(V::broadcast(1e-100), V::abs(x)), V::broadcast(0.0), x);
}

// Applies r. A lane whose rotation is the identity (c = 1, s = t = 0, as
// negligible lanes beside turning ones are given) keeps its values, but for
// A[p][q] = 0 and the sign of a zero (x - 0 y = x for finite y; a NaN
// elsewhere in its matrix reaches the entries it turns).
template <class V, int p, int q, int s>
QUILLMERE_TENSOR_INLINE void applyRotation(const Rotation<V>& r, V (&a)[3][3], V (&vec)[3][3]) {
  const V zero = V::broadcast(0.0);
  const V tapq = r.t * a[p][q];
  a[p][p] = a[p][p] - tapq;
  a[q][q] = a[q][q] + tapq;
  a[p][q] = zero;
  a[q][p] = zero;
  const V asp = a[s][p], asq = a[s][q];
  a[s][p] = negligibleToZero(r.c * asp - r.s * asq);
  a[p][s] = a[s][p];
  a[s][q] = negligibleToZero(r.s * asp + r.c * asq);
  a[q][s] = a[s][q];
  for (int k = 0; k < 3; ++k) {
    const V vkp = vec[k][p], vkq = vec[k][q];
    vec[k][p] = r.c * vkp - r.s * vkq;
    vec[k][q] = r.s * vkp + r.c * vkq;
  }
}

// The scale of one voxel per lane: the power of two 2^floor(log2 x) of its
// largest entry x, so that tiny and huge tensors rotate alike, with entries
// scaled into [0, 2) exactly and no division. Largest entries below 2^-1000
// (0 and NaN included) or above 2^1000 take those bounds, whose reciprocals
// are normal numbers too.
template <class V>
QUILLMERE_TENSOR_INLINE V mapScale(const V (&j)[6]) {
  const V low = V::broadcast(0x1p-1000), high = V::broadcast(0x1p1000);
  V x = V::abs(j[0]);
  for (int k = 1; k < 6; ++k) x = V::max(x, V::abs(j[k]));
  x = V::select(V::greater(x, low), x, low);
  x = V::select(V::greater(x, high), high, x);
  return V::powerOfTwoBelow(x);
}

// The scaled matrix of one voxel per lane from its six products.
template <class V>
void mapStart(const V (&j)[6], V& scale, V (&a)[3][3]) {
  scale = mapScale<V>(j);
  const V inv = V::reciprocalOfPowerOfTwo(scale);
  a[0][0] = j[0] * inv;
  a[0][1] = negligibleToZero(j[1] * inv);
  a[0][2] = negligibleToZero(j[2] * inv);
  a[1][1] = j[3] * inv;
  a[1][2] = negligibleToZero(j[4] * inv);
  a[2][2] = j[5] * inv;
  a[1][0] = a[0][1];
  a[2][0] = a[0][2];
  a[2][1] = a[1][2];
}

// Jacobi starts from the unit frame.
template <class V>
void unitFrame(V (&vec)[3][3]) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) vec[r][c] = V::broadcast(r == c ? 1.0 : 0.0);
  }
}

// The closed form, for lanes whose eigenvalues are spread out; the others
// keep Jacobi. With B the scaled matrix (entries below 2, the largest at
// least 1: see mapScale), q = tr(B) / 3 and
// p = sqrt(tr((B - q I)^2) / 6), the eigenvalues are q + 2 p cos(phi +
// 2 pi k / 3), phi = acos(r) / 3, r = det(B - q I) / (2 p^3). The end of
// the spectrum on the side of r's sign (the largest for r >= 0, else the
// smallest) is isolated: its gap to the nearest other is at least sqrt(3) p
// (2 sqrt(3) p sin(pi/3 - phi) with phi in [0, pi/6]), whatever the other
// two do. Its projector is adj(B - m I) / tr(adj(B - m I)); the other two
// span Q = I - P, and with t = tr(B) - m,
//   N = B - (t/2) I - (m - t/2) P = (g/2) (P_hi - P_lo),  g = sqrt(2 |N|^2)
// their gap g and eigenvalues t/2 +- g/2 come from N directly, accurate
// however close the two are. The tensor is then the map f applied as
//   f(m) P + (f_hi + f_lo)/2 Q + ((f_hi - f_lo) / g) N,
// a divided difference that stays bounded as g -> 0 (N shrinks with g):
// no eigenvector of the pair is ever needed.
//
// Why p > 2^-10 keeps the tensor within its bound. Entries of B carry
// rounding of about eps = 2^-53; B - q I has norm sqrt(6) p, so
// det(B - q I) is off by a few eps p^2 and r by a few eps / p; dm/dr is at
// most 2 p / 6 on the isolated end, so m is good to a few eps (cos(acos(s)
// / 3) below is a polynomial good to 3.3e-16). The cofactors are products
// of two entries of B - m I (each within 5 p of zero: the deviator's are
// within sqrt(6) p, and |m - q| <= 2 p) and good to about 20 eps p, and
// tr(adj), the product of the isolated end's two gaps, is at least 3 p^2,
// so P is good to about 10 eps / p and N and g to a few tens of eps. The
// maps are at most 1, and 'ced' moves by at most 0.74 times the relative
// error of a gap (those of the isolated end exceed sqrt(3) p; the pair's
// enters only through the bounded divided difference), 'eed' by 1.5 times
// that of an eigenvalue, as with Jacobi's. So the tensor moves by about
// 10 eps / p of its largest entry beyond what Jacobi's rounding does:
// 1e-12 at the threshold, against the 1e-6 the tests hold it to (and 6e-8
// from the one rounding to single). Lanes at or below the threshold
// (near-isotropic J, J = 0, NaN or inf anywhere: the comparison is false)
// take Jacobi.
constexpr double kClosedFormSpread = 0x1p-10;

// cos(acos(s) / 3) for s in [0, 1], in t = 2 s - 1: the Chebyshev series
// of degree 18 (error 1e-17) written in powers of t, evaluated by Estrin's
// scheme (five levels of dependent operations rather than Horner's
// eighteen; 3.3e-16 with its rounding, against 1.2e-16 for Horner's). The
// function is analytic on [-1, 1] (its nearest singularity is at t = -3),
// so the coefficients fall steadily.
template <class V>
QUILLMERE_TENSOR_INLINE V cosThirdOfArccos(V t) {
  constexpr double kCoefficient[19] = {
      0.9396926207859084,      0.06582180727244992,     -0.006431413987664382,
      0.0011066549558273362,   -0.00023364527940431342, 5.4914418804086046e-05,
      -1.3791278413055884e-05, 3.6232881929592767e-06,  -9.83536685199323e-07,
      2.736826734516379e-07,   -7.764966127211011e-08,  2.236164973247703e-08,
      -6.5260819301388265e-09, 1.9511274729472492e-09,  -5.829728042072709e-10,
      1.5183725396925284e-10,  -4.4871347530066337e-11, 2.521845450983593e-11,
      -7.934756266692924e-12};
  const auto c = [&](int k) { return V::broadcast(kCoefficient[k]); };
  const V t2 = t * t, t4 = t2 * t2, t8 = t4 * t4, t16 = t8 * t8;
  V pairs[9];
  Unrolled<9>::run([&](int k) { pairs[k] = c(2 * k) + c(2 * k + 1) * t; });
  V quads[5];
  Unrolled<4>::run([&](int k) { quads[k] = pairs[2 * k] + pairs[2 * k + 1] * t2; });
  quads[4] = pairs[8] + c(18) * t2;
  const V low = (quads[0] + quads[1] * t4) + (quads[2] + quads[3] * t4) * t8;
  return low + quads[4] * t16;
}

// The closed form's state of one vector between its steps and its tensor.
template <class V>
struct ClosedForm {
  typename V::Mask applies;  // p > kClosedFormSpread
  V b[6];                    // B, its entries in the order of the outputs
  V q, p, r;                 // p is 1 where the closed form does not apply
  V m;                       // the isolated eigenvalue
  V trace;                   // tr(adj(B - m I))
  V projector[6];            // adj(B - m I), then P; in the order of the outputs
  V pair[6];                 // N / g (0 where g is)
  V gap;                     // g
};

// Diagonal entries below 1e-100 as the off-diagonal ones (see
// negligibleToZero): no product of two entries goes subnormal.
template <class V>
QUILLMERE_TENSOR_INLINE void closedFormEntries(const V (&a)[3][3], V (&b)[6]) {
  b[0] = negligibleToZero(a[0][0]);
  b[1] = a[0][1];
  b[2] = a[0][2];
  b[3] = negligibleToZero(a[1][1]);
  b[4] = a[1][2];
  b[5] = negligibleToZero(a[2][2]);
}

// The steps of the closed form, each over a whole block before the next,
// each with one square root or division at most: one vector's steps are a
// chain of them and of a polynomial, and independent vectors side by side
// keep the units busy. First q and p (and whether the closed form applies).
template <class V>
QUILLMERE_TENSOR_INLINE void closedFormSpread(const V (&a)[3][3], ClosedForm<V>& cf) {
  const V one = V::broadcast(1.0);
  V(&b)[6] = cf.b;
  closedFormEntries<V>(a, b);
  const V q = ((b[0] + b[3]) + b[5]) * V::broadcast(1.0 / 3.0);
  const V c0 = b[0] - q, c1 = b[3] - q, c2 = b[5] - q;
  const V off = (b[1] * b[1] + b[2] * b[2]) + b[4] * b[4];
  const V p2 = (((c0 * c0 + c1 * c1) + c2 * c2) + (off + off)) * V::broadcast(1.0 / 6.0);
  const V p = V::sqrt(p2);
  cf.applies = V::greater(p, V::broadcast(kClosedFormSpread));
  // Lanes that keep Jacobi compute on ones, not on values that could be
  // subnormal.
  cf.q = q;
  cf.p = V::select(cf.applies, p, one);
  cf.r = V::select(cf.applies, p2, one);
}

// r = det(B - q I) / (2 p^3).
template <class V>
QUILLMERE_TENSOR_INLINE void closedFormRatio(ClosedForm<V>& cf) {
  const V(&b)[6] = cf.b;
  const V q = cf.q;
  const V c0 = b[0] - q, c1 = b[3] - q, c2 = b[5] - q;
  const V det = (c0 * (c1 * c2 - b[4] * b[4]) - b[1] * (b[1] * c2 - b[4] * b[2])) +
                b[2] * (b[1] * b[4] - c1 * b[2]);
  cf.r = det / ((cf.r * cf.p) * V::broadcast(2.0));  // cf.r held p^2
}

// The isolated eigenvalue and its projector.
template <class V>
QUILLMERE_TENSOR_INLINE void closedFormProjector(ClosedForm<V>& cf) {
  const V zero = V::broadcast(0.0), one = V::broadcast(1.0);
  const V(&b)[6] = cf.b;
  V s = V::abs(cf.r);
  s = V::select(V::greater(s, one), one, s);
  const V twoPh = (cf.p + cf.p) * cosThirdOfArccos<V>((s + s) - one);
  const V m = V::select(V::greater(zero, cf.r), cf.q - twoPh, cf.q + twoPh);
  // adj(B - m I), its entries in output order.
  const V d0 = b[0] - m, d1 = b[3] - m, d2 = b[5] - m;
  const V adj[6] = {d1 * d2 - b[4] * b[4], b[2] * b[4] - b[1] * d2, b[1] * b[4] - b[2] * d1,
                    d0 * d2 - b[2] * b[2], b[1] * b[2] - d0 * b[4], d0 * d1 - b[1] * b[1]};
  for (int k = 0; k < 6; ++k) cf.projector[k] = adj[k];
  cf.trace = (adj[0] + adj[3]) + adj[5];
  cf.m = m;
}

// The pair's direction and gap, P, and the eigenvalues (isolated, higher
// of the pair, lower). With T = tr(adj), T N = T (B - (t/2) I) -
// (m - t/2) adj and T g is its norm (T > 0), so that one division,
// 1 / (T^2 g), gives P, N / g and g. First T N and T g.
template <class V>
QUILLMERE_TENSOR_INLINE void closedFormPair(ClosedForm<V>& cf) {
  const V zero = V::broadcast(0.0);
  const V(&b)[6] = cf.b;
  const V m = cf.m, trace = cf.trace;
  const V h = (((b[0] + b[3]) + b[5]) - m) * V::broadcast(0.5);
  const V w = m - h;
  const V entry[6] = {b[0] - h, b[1], b[2], b[3] - h, b[4], b[5] - h};
  V diagonal = zero, offDiagonal = zero;
  for (int k = 0; k < 6; ++k) {
    cf.pair[k] = negligibleToZero(trace * entry[k] - w * cf.projector[k]);
    const V square = cf.pair[k] * cf.pair[k];
    if (k == 0 || k == 3 || k == 5) {
      diagonal = diagonal + square;
    } else {
      offDiagonal = offDiagonal + square;
    }
  }
  cf.gap = V::sqrt((diagonal + (offDiagonal + offDiagonal)) * V::broadcast(2.0));
}

// Then the division, and the eigenvalues unscaled as jacobiEigenvalues
// gives them into mu.
template <class V>
QUILLMERE_TENSOR_INLINE void closedFormFinish(V scale, ClosedForm<V>& cf, V (&mu)[3]) {
  const V zero = V::broadcast(0.0), one = V::broadcast(1.0), half = V::broadcast(0.5);
  const V(&b)[6] = cf.b;
  const V m = cf.m, trace = cf.trace;
  const V h = (((b[0] + b[3]) + b[5]) - m) * half;
  const V traceGap = cf.gap;
  const V safeGap = V::select(V::greater(traceGap, zero), traceGap, one);
  const V inv = one / (trace * safeGap);
  const V byTrace = safeGap * inv, byTraceGap = trace * inv;
  for (int k = 0; k < 6; ++k) {
    cf.projector[k] = cf.projector[k] * byTrace;
    cf.pair[k] = cf.pair[k] * byTraceGap;
  }
  cf.gap = traceGap * byTrace;
  const V halfGap = cf.gap * half;
  mu[0] = V::max(m * scale, zero);
  mu[1] = V::max((h + halfGap) * scale, zero);
  mu[2] = V::max((h - halfGap) * scale, zero);
}

// The exponentials each map takes per vector: 'ced' of the two gaps that
// can be nonzero, 'eed' of the three eigenvalues.
constexpr int kMapExps = 3;
inline int mapExps(TensorKind kind) { return kind == TensorKind::Coherence ? 2 : 3; }

// The gaps mu1 - mu_k of 'ced'. One is always 0 (the largest's own): a and
// b are the other two, in index order; p0 and p1 say whether gaps 0 and 1
// are positive.
template <class V>
struct CoherenceGaps {
  explicit CoherenceGaps(const V (&mu)[3]) {
    const V zero = V::broadcast(0.0);
    const V top = V::max(V::max(mu[0], mu[1]), mu[2]);
    V gap[3];
    for (int k = 0; k < 3; ++k) gap[k] = top - mu[k];
    p0 = V::greater(gap[0], zero);
    p1 = V::greater(gap[1], zero);
    a = V::select(p0, gap[0], gap[1]);
    b = V::select(p0, V::select(p1, gap[1], gap[2]), gap[2]);
  }
  typename V::Mask p0, p1;
  V a, b;
};

// The eigenvalues of one vector's converged matrix (J is semi-definite;
// rounding may dip below zero).
template <class V>
void jacobiEigenvalues(V scale, const V (&a)[3][3], V (&mu)[3]) {
  for (int k = 0; k < 3; ++k) mu[k] = V::max(a[k][k] * scale, V::broadcast(0.0));
}

// The arguments of the exponentials of the eigenvalues mu (scale: the
// voxel's, see mapScale).
template <class V>
void mapArguments(const MapPass& pass, const V (&mu)[3], V scale, V* arg) {
  const V zero = V::broadcast(0.0);
  if (pass.kind == TensorKind::Coherence) {
    // -C / a^2 and -C / b^2 from one division, C / (a^2 b^2), in the scaled
    // units (exact: the scale is a power of two), where the squares neither
    // overflow nor underflow unless a gap is 0 or far below rounding. A
    // square that is 0 takes 1 in the product, and its own argument is
    // -inf (exp 0, as -C / 0 gave; the map ignores it where the gap is 0).
    const CoherenceGaps<V> g(mu);
    const V inv = V::reciprocalOfPowerOfTwo(scale), one = V::broadcast(1.0);
    const V sa = g.a * inv, sb = g.b * inv;
    const V a2 = sa * sa, b2 = sb * sb;
    const auto pa = V::greater(a2, zero), pb = V::greater(b2, zero);
    const V safeA = V::select(pa, a2, one), safeB = V::select(pb, b2, one);
    const V d = ((V::broadcast(pass.c) * inv) * inv) / (safeA * safeB);
    const V gone = V::broadcast(-HUGE_VAL);
    arg[0] = V::select(pa, zero - d * safeB, gone);
    arg[1] = V::select(pb, zero - d * safeA, gone);
  } else {
    for (int k = 0; k < 3; ++k) {
      const V q = mu[k] / V::broadcast(pass.lambdaSquared);
      const V q2 = q * q;
      arg[k] = zero - V::broadcast(3.31488) / (q2 * q2);
    }
  }
}

// The mapped eigenvalues from the eigenvalues and the exponentials of
// mapArguments.
template <class V>
void mapEigenvalues(const MapPass& pass, const V (&mu)[3], const V* e, V (&lam)[3]) {
  const V zero = V::broadcast(0.0), one = V::broadcast(1.0);
  if (pass.kind == TensorKind::Coherence) {
    // alpha + (1 - alpha) exp(-C / (mu1 - mu_k)^2), 0 for the exponential
    // where the gap is 0: the largest eigenvalue gets alpha, and so does any
    // equal to it, whatever order the eigenvalues come in.
    const CoherenceGaps<V> g(mu);
    const auto p0 = g.p0, p1 = g.p1;
    const V ca = V::select(V::greater(g.a, zero), e[0], zero);
    const V cb = V::select(V::greater(g.b, zero), e[1], zero);
    const V c[3] = {V::select(p0, ca, zero), V::select(p0, V::select(p1, cb, zero), ca),
                    V::select(p0, V::select(p1, zero, cb), cb)};
    for (int k = 0; k < 3; ++k) {
      lam[k] = V::broadcast(pass.alpha) + V::broadcast(pass.oneMinusAlpha) * c[k];
    }
  } else {
    // 1 - exp(-3.31488 / (mu / lambda^2)^4), 1 where mu is 0.
    for (int k = 0; k < 3; ++k) lam[k] = V::select(V::greater(mu[k], zero), one - e[k], one);
  }
}

// The tensor sum_k lam_k v_k v_k' of Jacobi's frame.
template <class V>
void frameTensor(const V (&lam)[3], const V (&vec)[3][3], V (&out)[6]) {
  constexpr int kRow[6] = {0, 0, 0, 1, 1, 2};
  constexpr int kCol[6] = {0, 1, 2, 1, 2, 2};
  for (int k = 0; k < 6; ++k) {
    const int ra = kRow[k], cb = kCol[k];
    out[k] = (lam[0] * vec[ra][0]) * vec[cb][0] + (lam[1] * vec[ra][1]) * vec[cb][1];
    out[k] = out[k] + (lam[2] * vec[ra][2]) * vec[cb][2];
  }
}

// The tensor of the closed form from lam = f(isolated), f(higher),
// f(lower) of the pair (see kClosedFormSpread).
template <class V>
void closedFormTensor(const V (&lam)[3], const ClosedForm<V>& cf, V (&out)[6]) {
  const V mean = (lam[1] + lam[2]) * V::broadcast(0.5);
  const V toIsolated = lam[0] - mean;
  const V spread = lam[1] - lam[2];
  for (int k = 0; k < 6; ++k) {
    out[k] = toIsolated * cf.projector[k] + spread * cf.pair[k];
    if (k == 0 || k == 3 || k == 5) out[k] = mean + out[k];
  }
}

// The voxels of one block, kMapBlock vectors, rotation by rotation: a
// voxel's solve is one long chain of square roots and divisions, and the
// block's vectors, independent of each other, keep the divider busy (their
// states stay in the first-level cache). Lanes never mix, so neither the
// block nor the vector width changes a bit.
constexpr int kMapBlock = 16;

template <class V>
struct JacobiState {
  V scale;
  V a[3][3];
  V vec[3][3];
};

template <class V, int p, int q, int s>
void rotateBlock(JacobiState<V>* state, const int* index, int count) {
  for (int i = 0; i < count; ++i) {
    JacobiState<V>& st = state[index[i]];
    V(&a)[3][3] = st.a;
    const V apq = a[p][q], d = a[q][q] - a[p][p];
    const auto skip = negligible<V>(apq, d);
    if (V::all(skip)) {
      a[p][q] = V::broadcast(0.0);
      a[q][p] = a[p][q];
      continue;
    }
    Rotation<V> r = rotationOf<V>(apq, d);
    if (V::any(skip)) {
      // Three selects instead of one per entry changed.
      r = {V::select(skip, V::broadcast(1.0), r.c), V::select(skip, V::broadcast(0.0), r.s),
           V::select(skip, V::broadcast(0.0), r.t)};
    }
    applyRotation<V, p, q, s>(r, a, st.vec);
  }
}

// Voxels e .. e + count kLanes - 1, count <= kMapBlock. Each lane takes the
// closed form or Jacobi by its own values; a vector runs Jacobi only when
// one of its lanes needs it, and both where its lanes differ (one
// selection per eigenvalue and per output, lane by lane).
template <class V>
void mapBlock(const MapPass& pass, std::int64_t e, int count) {
  if (pass.kind == TensorKind::Structure) {
    for (int b = 0; b < count; ++b) {
      for (int k = 0; k < 6; ++k) {
        V::load(pass.j[k] + e + b * V::kLanes).storeFloat(pass.out[k] + e + b * V::kLanes);
      }
    }
    return;
  }
  JacobiState<V> state[kMapBlock];
  ClosedForm<V> closed[kMapBlock];
  V mu[kMapBlock][3];
  bool allClosed[kMapBlock], anyClosed[kMapBlock];
  int jacobi[kMapBlock];
  int jacobiCount = 0;
  for (int b = 0; b < count; ++b) {
    V j[6];
    for (int k = 0; k < 6; ++k) j[k] = V::load(pass.j[k] + e + b * V::kLanes);
    mapStart<V>(j, state[b].scale, state[b].a);
  }
  for (int b = 0; b < count; ++b) {
    closedFormSpread<V>(state[b].a, closed[b]);
    allClosed[b] = V::all(closed[b].applies);
    anyClosed[b] = V::any(closed[b].applies);
    if (!allClosed[b]) jacobi[jacobiCount++] = b;
  }
  // The closed form before Jacobi turns the matrices.
  for (int b = 0; b < count; ++b) {
    if (anyClosed[b]) closedFormRatio<V>(closed[b]);
  }
  for (int b = 0; b < count; ++b) {
    if (anyClosed[b]) closedFormProjector<V>(closed[b]);
  }
  for (int b = 0; b < count; ++b) {
    if (anyClosed[b]) closedFormPair<V>(closed[b]);
  }
  for (int b = 0; b < count; ++b) {
    if (anyClosed[b]) closedFormFinish<V>(state[b].scale, closed[b], mu[b]);
  }
  for (int i = 0; i < jacobiCount; ++i) unitFrame<V>(state[jacobi[i]].vec);
  for (int sweep = 0; sweep < kJacobiSweeps && jacobiCount > 0; ++sweep) {
    rotateBlock<V, 0, 1, 2>(state, jacobi, jacobiCount);
    rotateBlock<V, 0, 2, 1>(state, jacobi, jacobiCount);
    rotateBlock<V, 1, 2, 0>(state, jacobi, jacobiCount);
  }
  // The exponentials of the whole block together (see expNonPositiveRun).
  const int exps = mapExps(pass.kind);
  V arg[kMapBlock * kMapExps];
  for (int b = 0; b < count; ++b) {
    if (!allClosed[b]) {
      V frame[3];
      jacobiEigenvalues<V>(state[b].scale, state[b].a, frame);
      for (int k = 0; k < 3; ++k) {
        mu[b][k] = anyClosed[b] ? V::select(closed[b].applies, mu[b][k], frame[k]) : frame[k];
      }
    }
    mapArguments<V>(pass, mu[b], state[b].scale, arg + b * exps);
  }
  expNonPositiveMany<V>(arg, count * exps);
  for (int b = 0; b < count; ++b) {
    V lam[3];
    mapEigenvalues<V>(pass, mu[b], arg + b * exps, lam);
    V out[6];
    if (anyClosed[b]) closedFormTensor<V>(lam, closed[b], out);
    if (!allClosed[b]) {
      V frame[6];
      frameTensor<V>(lam, state[b].vec, frame);
      for (int k = 0; k < 6; ++k) {
        out[k] = anyClosed[b] ? V::select(closed[b].applies, out[k], frame[k]) : frame[k];
      }
    }
    for (int k = 0; k < 6; ++k) out[k].storeFloat(pass.out[k] + e + b * V::kLanes);
  }
}

template <class V>
void mapVoxels(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  std::int64_t e = begin;
  for (; e + V::kLanes <= end;) {
    const std::int64_t vectors = (end - e) / V::kLanes;
    const int count = static_cast<int>(vectors < kMapBlock ? vectors : kMapBlock);
    mapBlock<V>(pass, e, count);
    e += count * V::kLanes;
  }
  if (e < end) mapBlock<Lane1>(pass, e, static_cast<int>(end - e));
}

// Voxels of a row whose sources one buffer holds (4.5 KB on the stack).
constexpr std::int32_t kRadiusStride = 64;

// The bound's sources (see RadiusPass) of one vector of voxels from `at` on,
// stored at src[k * kRadiusStride] for k = 0..8. G > 0: every
// first-derivative stencil has G taps (the loops unroll); 0: any count.
// D (G = 2): every stencil's weights are -w and w, w a power of two, and
// -w a + w b is taken as (b - a) w: the products are exact (floats widened),
// so both round the exact w (b - a) once, scaling by w commutes with the
// rounding, and b - a is +0 exactly where w b - w a is.
// Sums start at their first term rather than at 0: 0 + x differs from x only
// in the sign of a zero, and every sum ends in an absolute value.
template <class V, int G, bool D>
QUILLMERE_TENSOR_INLINE void radiusSources(const RadiusPass& pass, const RadiusDeltas& deltas,
                                           std::int64_t at, double* src) {
  constexpr int kRow[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};  // tensor row i in t
  const V two = V::broadcast(2.0);
  V::loadFloat(pass.t[0] + at).store(src);
  V::loadFloat(pass.t[3] + at).store(src + kRadiusStride);
  V::loadFloat(pass.t[5] + at).store(src + 2 * kRadiusStride);
  (two * V::loadFloat(pass.t[1] + at)).store(src + 3 * kRadiusStride);
  (two * V::loadFloat(pass.t[2] + at)).store(src + 4 * kRadiusStride);
  (two * V::loadFloat(pass.t[4] + at)).store(src + 5 * kRadiusStride);
  // c_ij, written out for every i and j so that the sums stay in registers.
  auto c = [&](int i, int j) {
    const float* t = pass.t[kRow[i][j]] + at;
    const int taps = G > 0 ? G : pass.gradientTapCount[j];
    if (taps == 0) return V::broadcast(0.0);
    if (D) {
      return (V::loadFloat(t + deltas.delta[j][1]) - V::loadFloat(t + deltas.delta[j][0])) *
             V::broadcast(pass.differenceWeight[i][j]);
    }
    V sum = V::broadcast(pass.gradientWeight[j][0]) * V::loadFloat(t + deltas.delta[j][0]);
    for (int g = 1; g < taps; ++g) {
      sum = sum + V::broadcast(pass.gradientWeight[j][g]) * V::loadFloat(t + deltas.delta[j][g]);
    }
    return sum;
  };
  ((c(0, 0) + c(0, 1)) + c(0, 2)).store(src + 6 * kRadiusStride);
  ((c(1, 0) + c(1, 1)) + c(1, 2)).store(src + 7 * kRadiusStride);
  ((c(2, 0) + c(2, 1)) + c(2, 2)).store(src + 8 * kRadiusStride);
}

// The sums of K vectors of voxels whose sources start at src (see
// RadiusPass), and their largest that is not NaN, into best. The taps are the
// outer loop, so what a tap costs to look up is paid once for K vectors.
// Weights of +-1 are not multiplied by (x * 1 is x, and a NaN stays NaN).
template <class V, int K>
QUILLMERE_TENSOR_INLINE void radiusSums(const RadiusPass& pass, const double* src, V& best) {
  V radius[K];
  Unrolled<K>::run([&](int b) { radius[b] = V::broadcast(0.0); });
  auto at = [&](int source, int b) {
    return V::load(src + source * kRadiusStride + b * V::kLanes);
  };
  for (int m = 0; m < pass.tapCount; ++m) {
    const RadiusTap& tap = pass.taps[m];
    V w[K];
    if (tap.weight[0] == 1.0) {
      Unrolled<K>::run([&](int b) { w[b] = at(tap.source[0], b); });
    } else {
      const V w0 = V::broadcast(tap.weight[0]);
      Unrolled<K>::run([&](int b) { w[b] = w0 * at(tap.source[0], b); });
    }
    for (int k = 1; k < tap.termCount; ++k) {
      if (tap.weight[k] == 1.0) {
        Unrolled<K>::run([&](int b) { w[b] = w[b] + at(tap.source[k], b); });
      } else if (tap.weight[k] == -1.0) {  // w + (-1) x is w - x
        Unrolled<K>::run([&](int b) { w[b] = w[b] - at(tap.source[k], b); });
      } else {
        const V wk = V::broadcast(tap.weight[k]);
        Unrolled<K>::run([&](int b) { w[b] = w[b] + wk * at(tap.source[k], b); });
      }
    }
    if (m == 0) {
      Unrolled<K>::run([&](int b) { radius[b] = V::abs(w[b]); });
    } else {
      Unrolled<K>::run([&](int b) { radius[b] = radius[b] + V::abs(w[b]); });
    }
  }
  for (int k = 0; k < pass.singleCount; ++k) {
    const int source = pass.singleSource[k];
    if (pass.single[source] == 1.0) {
      Unrolled<K>::run([&](int b) { radius[b] = radius[b] + V::abs(at(source, b)); });
    } else {
      const V weight = V::broadcast(pass.single[source]);
      Unrolled<K>::run([&](int b) { radius[b] = radius[b] + V::abs(at(source, b)) * weight; });
    }
  }
  // NaN compares false: such sums never replace best.
  Unrolled<K>::run([&](int b) { best = V::select(V::greater(radius[b], best), radius[b], best); });
}

// The sums of a segment of `count` voxels whose sources are in src: padded to
// whole vectors with copies of the last voxel (the maximum takes it twice
// unchanged), then the sums in vectors, K at a time.
template <class V>
void radiusSegmentSums(const RadiusPass& pass, double* src, std::int32_t count, V& best) {
  constexpr int L = V::kLanes;
  constexpr int K = 8;
  const std::int32_t padded = (count + L - 1) / L * L;
  for (int k = 0; k < 9; ++k) {
    double* s = src + k * kRadiusStride;
    for (std::int32_t x = count; x < padded; ++x) s[x] = s[count - 1];
  }
  std::int32_t x = 0;
  for (; x + K * L <= padded; x += K * L) radiusSums<V, K>(pass, src + x, best);
  for (; x < padded; x += L) radiusSums<V, 1>(pass, src + x, best);
}

template <class V>
double largestLane(const V& best) {
  double lanes[V::kLanes];
  best.store(lanes);
  double top = -1.0;
  for (double v : lanes) top = v > top ? v : top;
  return top;
}

// One row of n1 voxels from linear index `row` on, in segments of at most
// kRadiusStride voxels: their sources into a buffer (voxels 0 and n1 - 1
// with deltas[0] and deltas[2] on single lanes, the rest with deltas[1] in
// vectors, the last overlapping the one before: a voxel's sources have the
// same bits in any lane), padded to whole vectors with copies of the last
// voxel (the maximum takes it twice unchanged), then the sums in vectors.
template <class V, int G, bool D>
double radiusRowOf(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                   std::int32_t n1) {
  constexpr int L = V::kLanes;
  alignas(64) double src[9 * kRadiusStride];
  V best = V::broadcast(-1.0);
  for (std::int32_t first = 0; first < n1; first += kRadiusStride) {
    const std::int32_t end = n1 - first > kRadiusStride ? first + kRadiusStride : n1;
    const std::int32_t inner = end < n1 - 1 ? end : n1 - 1;  // interior voxels end here
    std::int32_t i = first;
    if (i == 0) radiusSources<Lane1, G, D>(pass, deltas[0], row, src), i = 1;
    if (inner - i >= L) {
      for (; i + L <= inner; i += L)
        radiusSources<V, G, D>(pass, deltas[1], row + i, src + (i - first));
      if (i < inner)
        radiusSources<V, G, D>(pass, deltas[1], row + inner - L, src + (inner - L - first));
      i = inner;
    }
    for (; i < inner; ++i) radiusSources<Lane1, G, D>(pass, deltas[1], row + i, src + (i - first));
    if (end == n1 && n1 > 1) {
      radiusSources<Lane1, G, D>(pass, deltas[2], row + n1 - 1, src + (n1 - 1 - first));
    }
    radiusSegmentSums<V>(pass, src, end - first, best);
  }
  return largestLane(best);
}

// Two taps per first derivative (central differences, the demo's) unrolled;
// the order of operations is the same either way.
template <class V>
double radiusRow(const RadiusPass& pass, const RadiusDeltas* deltas, std::int64_t row,
                 std::int32_t n1) {
  const int* taps = pass.gradientTapCount;
  if (taps[0] == 2 && taps[1] == 2 && taps[2] == 2) {
    if (pass.difference) return radiusRowOf<V, 2, true>(pass, deltas, row, n1);
    return radiusRowOf<V, 2, false>(pass, deltas, row, n1);
  }
  return radiusRowOf<V, 0, false>(pass, deltas, row, n1);
}
