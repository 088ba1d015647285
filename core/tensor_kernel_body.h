// The tensor kernels, written once over a vector of doubles V. Included by
// each per-ISA file inside its own unnamed namespace (so no inline function
// built for one instruction set can stand in for another's at link time),
// after <cmath>, <cstdint>, <cstring> and core/tensor_kernels.h.
//
// V provides: kLanes; load/store (unaligned) of doubles; loadFloat (kLanes
// floats, widened exactly); broadcast; + - * /;
// sqrt; max(a, b) = a > b ? a : b (the x86 rule, also for NaN and zeros);
// abs and copySign (bit operations); greater(a, b) -> Mask; select(m, a, b);
// storeFloat (round to single, NaN stored as the canonical quiet NaN).
// Every operation is one correctly rounded IEEE operation per lane, so a lane
// gives the bits of Lane1 below on the same inputs.

#ifndef QUILLMERE_TENSOR_KERNEL_BODY_ONCE
#define QUILLMERE_TENSOR_KERNEL_BODY_ONCE
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
  static Mask greater(Lane1 a, Lane1 b) { return a.v > b.v; }
  static Lane1 select(Mask m, Lane1 a, Lane1 b) { return m ? a : b; }
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

// K * kLanes neighbouring outputs of one pass: vector k reads its centre at
// x + k kLanes and its taps `step` doubles apart (1 along a line in the
// buffer, kBlockColumns across lines held side by side); stored to target.
// K independent sums side by side keep the adder's latency hidden.
template <class V, int K>
inline void smoothRun(const double* x, const double* w, std::int32_t r, std::int64_t step,
                      double* target) {
  V acc[K];
  const V w0 = V::broadcast(w[0]);
  Unrolled<K>::run([&](int k) { acc[k] = w0 * V::load(x + k * V::kLanes); });
  for (std::int32_t t = 1; t <= r; ++t) {
    const V wt = V::broadcast(w[t]);
    const double* below = x - t * step;
    const double* above = x + t * step;
    Unrolled<K>::run([&](int k) {
      acc[k] = acc[k] + wt * (V::load(below + k * V::kLanes) + V::load(above + k * V::kLanes));
    });
  }
  Unrolled<K>::run([&](int k) { acc[k].store(target + k * V::kLanes); });
}

// Gaussian pass over items [begin, end); see SmoothPass.
template <class V>
void smoothLines(const SmoothPass& pass, std::int64_t begin, std::int64_t end, double* buffer) {
  const VolumeDims d = pass.dims;
  const std::int32_t r = pass.radius;
  const double* w = pass.weights;
  const std::int64_t n1 = d.n1, n2 = d.n2, n3 = d.n3;

  if (pass.axis == 1) {
    for (std::int64_t item = begin; item < end; ++item) {
      double* line = pass.data + item * n1;
      for (std::int64_t j = 0; j < r; ++j) buffer[j] = line[0];
      std::memcpy(buffer + r, line, static_cast<std::size_t>(n1) * sizeof(double));
      for (std::int64_t j = 0; j < r; ++j) buffer[r + n1 + j] = line[n1 - 1];
      const double* centre = buffer + r;
      std::int64_t j = 0;
      for (; j + 4 * V::kLanes <= n1; j += 4 * V::kLanes) {
        smoothRun<V, 4>(centre + j, w, r, 1, line + j);
      }
      for (; j + V::kLanes <= n1; j += V::kLanes) smoothRun<V, 1>(centre + j, w, r, 1, line + j);
      for (; j < n1; ++j) smoothRun<Lane1, 1>(centre + j, w, r, 1, line + j);
    }
    return;
  }

  // Axis 2 or 3: kBlockColumns neighbouring lines side by side in the buffer,
  // row (j + r) of the buffer holding sample j of each.
  const std::int64_t blocks = (n1 + kBlockColumns - 1) / kBlockColumns;
  const std::int64_t stride = pass.axis == 2 ? n1 : n1 * n2;
  const std::int64_t length = pass.axis == 2 ? n2 : n3;
  const std::int64_t otherStride = pass.axis == 2 ? n1 * n2 : n1;
  for (std::int64_t item = begin; item < end; ++item) {
    const std::int64_t block = item % blocks;
    const std::int64_t other = item / blocks;
    const std::int64_t first = block * kBlockColumns;
    const int width = static_cast<int>(n1 - first < kBlockColumns ? n1 - first : kBlockColumns);
    double* base = pass.data + first + other * otherStride;
    for (std::int64_t j = -r; j < length + r; ++j) {
      const std::int64_t src = j < 0 ? 0 : (j >= length ? length - 1 : j);
      double* row = buffer + (j + r) * kBlockColumns;
      const double* from = base + src * stride;
      if (width == kBlockColumns) {
        std::memcpy(row, from, sizeof(double) * kBlockColumns);  // a fixed size: inlined
      } else {
        for (int l = 0; l < width; ++l) row[l] = from[l];
      }
    }
    const double* centre = buffer + static_cast<std::int64_t>(r) * kBlockColumns;
    const int vectors = width / V::kLanes;
    for (std::int64_t j = 0; j < length; ++j) {
      const double* x = centre + j * kBlockColumns;
      double* target = base + j * stride;
      int v = 0;
      // Eight vectors of the row at once: independent sums side by side, in
      // registers.
      for (; v + 8 <= vectors; v += 8)
        smoothRun<V, 8>(x + v * V::kLanes, w, r, kBlockColumns, target + v * V::kLanes);
      for (; v < vectors; ++v)
        smoothRun<V, 1>(x + v * V::kLanes, w, r, kBlockColumns, target + v * V::kLanes);
      for (int lane = vectors * V::kLanes; lane < width; ++lane) {
        smoothRun<Lane1, 1>(x + lane, w, r, kBlockColumns, target + lane);
      }
    }
  }
}

// exp(x) for x <= 0: exp(x / 1024) by its Taylor polynomial (degree 11,
// truncation below 1e-17 on [-0.2, 0]), squared ten times. Below -200 the
// argument is held at -200 (exp(-200) ~ 1e-87, nothing a single result can
// hold apart from 0).
template <class V>
V expNonPositiveV(V x) {
  constexpr double f2 = 2.0, f3 = f2 * 3, f4 = f3 * 4, f5 = f4 * 5, f6 = f5 * 6, f7 = f6 * 7,
                   f8 = f7 * 8, f9 = f8 * 9, f10 = f9 * 10, f11 = f10 * 11;
  const V r = V::max(x, V::broadcast(-200.0)) * V::broadcast(1.0 / 1024.0);
  V p = V::broadcast(1.0 / f11);
  p = p * r + V::broadcast(1.0 / f10);
  p = p * r + V::broadcast(1.0 / f9);
  p = p * r + V::broadcast(1.0 / f8);
  p = p * r + V::broadcast(1.0 / f7);
  p = p * r + V::broadcast(1.0 / f6);
  p = p * r + V::broadcast(1.0 / f5);
  p = p * r + V::broadcast(1.0 / f4);
  p = p * r + V::broadcast(1.0 / f3);
  p = p * r + V::broadcast(1.0 / f2);
  p = p * r + V::broadcast(1.0);
  p = p * r + V::broadcast(1.0);
  for (int k = 0; k < 10; ++k) p = p * p;
  return p;
}

// Sweeps of cyclic Jacobi. Over 200000 random matrices with simple, double
// and triple clusters of eigenvalues, the worst off-diagonal left (of the
// matrix scaled to entries <= 1) was 0.1 after two sweeps, 2e-5 after three
// and 1e-15, rounding level, after four; more sweeps change nothing.
constexpr int kJacobiSweeps = 4;

// One Jacobi rotation in the plane (p, q), s the third index: zeroes A[p][q]
// and turns the columns p, q of the frame with it. With d = A[q][q] - A[p][p],
// h = sqrt(d^2 + 4 A[p][q]^2) and m = |d| + h, the smaller rotation has
//   tan = 2 A[p][q] sgn(d) / m,  cos = sqrt(m / (2h)),  sin = tan cos,
// which with w = 1 / (2 h m) is cos = m sqrt(w), sin = 2 A[p][q] sgn(d) sqrt(w),
// tan = 2 A[p][q] sgn(d) 2h w: two square roots and one division. Where h
// is below 1e-150 (nothing left to turn; 1/(2hm) could overflow) the
// rotation is the identity.
template <class V, int p, int q, int s>
inline void rotate(V (&a)[3][3], V (&vec)[3][3]) {
  const V zero = V::broadcast(0.0), one = V::broadcast(1.0);
  const V apq = a[p][q];
  const V d = a[q][q] - a[p][p];
  const V h = V::sqrt(d * d + (apq * apq) * V::broadcast(4.0));
  const V m = V::abs(d) + h;
  const auto turn = V::greater(h, V::broadcast(1e-150));
  const V w = one / ((h + h) * V::select(turn, m, one));
  const V root = V::sqrt(w);
  const V twice = (apq + apq) * V::copySign(one, d);
  const V c = V::select(turn, m * root, one);
  const V sn = V::select(turn, twice * root, zero);
  const V t = V::select(turn, (twice * (h + h)) * w, zero);
  const V tapq = t * apq;
  a[p][p] = a[p][p] - tapq;
  a[q][q] = a[q][q] + tapq;
  a[p][q] = zero;
  a[q][p] = zero;
  const V asp = a[s][p], asq = a[s][q];
  a[s][p] = c * asp - sn * asq;
  a[p][s] = a[s][p];
  a[s][q] = sn * asp + c * asq;
  a[q][s] = a[s][q];
  for (int k = 0; k < 3; ++k) {
    const V vkp = vec[k][p], vkq = vec[k][q];
    vec[k][p] = c * vkp - sn * vkq;
    vec[k][q] = sn * vkp + c * vkq;
  }
}

// The tensor of one voxel per lane from its six products.
template <class V>
void mapStart(const V (&j)[6], V& scale, V (&a)[3][3], V (&vec)[3][3]) {
  const V zero = V::broadcast(0.0), one = V::broadcast(1.0);
  // Scale by the largest entry, so tiny and huge tensors rotate alike.
  scale = V::abs(j[0]);
  for (int k = 1; k < 6; ++k) scale = V::max(scale, V::abs(j[k]));
  scale = V::select(V::greater(scale, zero), scale, one);
  const V inv = one / scale;
  a[0][0] = j[0] * inv;
  a[0][1] = j[1] * inv;
  a[0][2] = j[2] * inv;
  a[1][1] = j[3] * inv;
  a[1][2] = j[4] * inv;
  a[2][2] = j[5] * inv;
  a[1][0] = a[0][1];
  a[2][0] = a[0][2];
  a[2][1] = a[1][2];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) vec[r][c] = r == c ? one : zero;
  }
}

template <class V>
void mapFinish(const MapPass& pass, V scale, const V (&a)[3][3], const V (&vec)[3][3],
               V (&out)[6]) {
  const V zero = V::broadcast(0.0), one = V::broadcast(1.0);
  // J is semi-definite; rounding may dip below zero.
  V mu[3];
  for (int k = 0; k < 3; ++k) mu[k] = V::max(a[k][k] * scale, zero);
  V lam[3];
  if (pass.kind == TensorKind::Coherence) {
    // alpha + (1 - alpha) exp(-C / (mu1 - mu_k)^2), 0 for the exponential
    // where the gap is 0: the largest eigenvalue gets alpha, and so does any
    // equal to it, whatever order the eigenvalues come in.
    const V top = V::max(V::max(mu[0], mu[1]), mu[2]);
    for (int k = 0; k < 3; ++k) {
      const V gap = top - mu[k];
      const V e = expNonPositiveV(zero - V::broadcast(pass.c) / (gap * gap));
      const V coherence = V::select(V::greater(gap, zero), e, zero);
      lam[k] = V::broadcast(pass.alpha) + V::broadcast(pass.oneMinusAlpha) * coherence;
    }
  } else {
    // 1 - exp(-3.31488 / (mu / lambda^2)^4), 1 where mu is 0.
    for (int k = 0; k < 3; ++k) {
      const V q = mu[k] / V::broadcast(pass.lambdaSquared);
      const V q2 = q * q;
      const V g = one - expNonPositiveV(zero - V::broadcast(3.31488) / (q2 * q2));
      lam[k] = V::select(V::greater(mu[k], zero), g, one);
    }
  }
  constexpr int kRow[6] = {0, 0, 0, 1, 1, 2};
  constexpr int kCol[6] = {0, 1, 2, 1, 2, 2};
  for (int k = 0; k < 6; ++k) {
    const int ra = kRow[k], cb = kCol[k];
    out[k] = (lam[0] * vec[ra][0]) * vec[cb][0] + (lam[1] * vec[ra][1]) * vec[cb][1];
    out[k] = out[k] + (lam[2] * vec[ra][2]) * vec[cb][2];
  }
}

// G independent vectors of voxels at once: each rotation is a long chain of
// square roots and divisions, and independent chains side by side keep the
// divider busy. Lanes never mix, so G changes no bit.
template <class V, int G>
void mapGroups(const MapPass& pass, const V (&j)[G][6], V (&out)[G][6]) {
  if (pass.kind == TensorKind::Structure) {
    for (int g = 0; g < G; ++g) {
      for (int k = 0; k < 6; ++k) out[g][k] = j[g][k];
    }
    return;
  }
  V scale[G], a[G][3][3], vec[G][3][3];
  for (int g = 0; g < G; ++g) mapStart<V>(j[g], scale[g], a[g], vec[g]);
  for (int sweep = 0; sweep < kJacobiSweeps; ++sweep) {
    for (int g = 0; g < G; ++g) rotate<V, 0, 1, 2>(a[g], vec[g]);
    for (int g = 0; g < G; ++g) rotate<V, 0, 2, 1>(a[g], vec[g]);
    for (int g = 0; g < G; ++g) rotate<V, 1, 2, 0>(a[g], vec[g]);
  }
  for (int g = 0; g < G; ++g) mapFinish<V>(pass, scale[g], a[g], vec[g], out[g]);
}

template <class V>
void mapVoxels(const MapPass& pass, std::int64_t begin, std::int64_t end) {
  constexpr int G = 4;
  std::int64_t e = begin;
  for (; e + G * V::kLanes <= end; e += G * V::kLanes) {
    V j[G][6], out[G][6];
    for (int g = 0; g < G; ++g) {
      for (int k = 0; k < 6; ++k) j[g][k] = V::load(pass.j[k] + e + g * V::kLanes);
    }
    mapGroups<V, G>(pass, j, out);
    for (int g = 0; g < G; ++g) {
      for (int k = 0; k < 6; ++k) out[g][k].storeFloat(pass.out[k] + e + g * V::kLanes);
    }
  }
  for (; e + V::kLanes <= end; e += V::kLanes) {
    V j[1][6], out[1][6];
    for (int k = 0; k < 6; ++k) j[0][k] = V::load(pass.j[k] + e);
    mapGroups<V, 1>(pass, j, out);
    for (int k = 0; k < 6; ++k) out[0][k].storeFloat(pass.out[k] + e);
  }
  for (; e < end; ++e) {
    Lane1 j[1][6], out[1][6];
    for (int k = 0; k < 6; ++k) j[0][k] = Lane1::load(pass.j[k] + e);
    mapGroups<Lane1, 1>(pass, j, out);
    for (int k = 0; k < 6; ++k) out[0][k].storeFloat(pass.out[k] + e);
  }
}

// The bound's sum at one voxel per lane: tapValue(k, tap) reads component k
// at a first-derivative tap, centre(k) at the voxel itself.
template <class V, class TapValue, class Centre>
V radiusOf(const RadiusPass& pass, const TapValue& tapValue, const Centre& centre) {
  constexpr int kRow[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};  // tensor row i in t
  const V zero = V::broadcast(0.0);
  V q[3];
  for (int i = 0; i < 3; ++i) {
    V c[3];
    for (int j = 0; j < 3; ++j) {
      V sum = zero;
      for (int g = 0; g < pass.gradientTapCount[j]; ++g) {
        const GradientTap& tap = pass.gradientTaps[j][g];
        sum = sum + V::broadcast(tap.weight) * tapValue(kRow[i][j], tap);
      }
      c[j] = sum;
    }
    q[i] = (c[0] + c[1]) + c[2];
  }
  const V two = V::broadcast(2.0);
  const V coef[6] = {centre(0),       centre(3),       centre(5),
                     two * centre(1), two * centre(2), two * centre(4)};
  V radius = zero;
  for (int m = 0; m < pass.tapCount; ++m) {
    const RadiusTap& tap = pass.taps[m];
    V w = zero;
    for (int k = 0; k < tap.hessianCount; ++k) {
      w = w + V::broadcast(tap.hessianWeight[k]) * coef[tap.hessianIndex[k]];
    }
    for (int k = 0; k < tap.gradientCount; ++k) {
      w = w + V::broadcast(tap.gradientWeight[k]) * q[tap.gradientIndex[k]];
    }
    radius = radius + V::abs(w);
  }
  return radius;
}

template <class V>
void radiusRun(const RadiusPass& pass, std::int64_t e, std::int32_t count, double* radii) {
  std::int32_t i = 0;
  for (; i + V::kLanes <= count; i += V::kLanes) {
    const std::int64_t at = e + i;
    const V r = radiusOf<V>(
        pass,
        [&](int k, const GradientTap& tap) { return V::loadFloat(pass.t[k] + at + tap.delta); },
        [&](int k) { return V::loadFloat(pass.t[k] + at); });
    r.store(radii + i);
  }
  for (; i < count; ++i) {
    const std::int64_t at = e + i;
    const Lane1 r = radiusOf<Lane1>(
        pass,
        [&](int k, const GradientTap& tap) { return Lane1::loadFloat(pass.t[k] + at + tap.delta); },
        [&](int k) { return Lane1::loadFloat(pass.t[k] + at); });
    r.store(radii + i);
  }
}
