// The stream sweep on AVX-512F, included by sweep_kernel_avx512.cpp inside
// its instruction-set region (it uses that file's VecAvx512 and the kept
// divergence rows of the vector body). See streamStepAvx512 in
// core/sweep_kernels.h for what it computes and docs/design.md for why the
// skewed lanes give the plain sweep's bits.
//
// The volume is padded by two ghost columns, rows and planes on every side
// (copies of the edge voxel they clamp onto) and read as padded rows
// R = (i2 + 2) + P2 (i3 + 2) of P1 = n1 + 4 columns. Lane j takes every
// row R = 16 m + j one after the other (its stream), three columns behind
// lane j - 1: padded voxel (c, R) is done at step m P1 + c + 3 j. Each step
// runs one voxel per lane, and the state of the volume lives in a ring of
// steps x lanes, so the sample a tap (a, d2, d3) reads for all sixteen
// lanes is one two-vector permute of two ring entries.
#ifndef QUILLMERE_CORE_SWEEP_STREAM_AVX512_H
#define QUILLMERE_CORE_SWEEP_STREAM_AVX512_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace quillmere::sweep {
namespace {

constexpr int kStreamLanes = 16;
constexpr std::int64_t kStreamSkew = 3;
// Past this the ring of steps no longer stays near the caches; the wavefront
// kernel runs instead.
constexpr std::size_t kStreamMostRingBytes = std::size_t{64} << 20;
constexpr std::size_t kStreamSmallRingBytes = std::size_t{1} << 20;

inline std::int64_t floorDivide(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct StreamShape {
  VolumeDims d;
  std::int64_t p1, p2, p3, rows;  // padded extents; padded rows P2 P3
  std::int64_t reach;             // farthest step a read or ghost write reaches
  std::int64_t ringMask;          // ring of ringMask + 1 steps (a power of two)
};

// Where tap (a, d2, d3) reads for lane j at step x: lane j + r of ring step
// x + lo when j + r < 16, else lane j + r - 16 of step x + hi.
struct TapSource {
  std::int64_t lo, hi;
  int r;
};

inline TapSource tapSource(const StreamShape& s, int a, int d2, int d3) {
  const std::int64_t b = d2 + s.p2 * d3;
  const std::int64_t q = floorDivide(b, kStreamLanes);
  const std::int64_t lo = q * (s.p1 - kStreamLanes * kStreamSkew) + a + kStreamSkew * b;
  return {lo, lo + s.p1 - kStreamLanes * kStreamSkew, static_cast<int>(b - kStreamLanes * q)};
}

inline std::int64_t stepOf(const StreamShape& s, std::int64_t c, std::int64_t row) {
  return (row / kStreamLanes) * s.p1 + c + kStreamSkew * (row % kStreamLanes);
}

// Where one lane stands in its stream: position m P1 + c, on padded row
// 16 m + j = i2p + P2 i3p. Moved on a block (16 positions) at a time
// without dividing.
struct LaneCursor {
  std::int64_t m, c, i2p, i3p;
};

inline LaneCursor cursorAt(const StreamShape& s, int j, std::int64_t p) {
  const std::int64_t m = floorDivide(p, s.p1);
  const std::int64_t row = m * kStreamLanes + j;
  const std::int64_t i3p = floorDivide(row, s.p2);
  return {m, p - m * s.p1, row - i3p * s.p2, i3p};
}

inline void nextRow(const StreamShape& s, std::int64_t& i2p, std::int64_t& i3p) {
  i2p += kStreamLanes;
  while (i2p >= s.p2) {
    i2p -= s.p2;
    ++i3p;
  }
}

inline void moveOn(const StreamShape& s, LaneCursor& k) {
  k.c += kStreamLanes;
  if (k.c >= s.p1) {
    k.c -= s.p1;
    ++k.m;
    nextRow(s, k.i2p, k.i3p);
  }
}

constexpr unsigned kRealRow = 1, kFaceRow = 2;

// kRealRow: a row of the volume (not a ghost row, not past the padding);
// kFaceRow: one with ghost rows of its own, on a face along axis 2 or 3.
inline unsigned rowFlags(const StreamShape& s, std::int64_t i2p, std::int64_t i3p) {
  const std::int64_t i2 = i2p - 2, i3 = i3p - 2;
  if (i2 < 0 || i2 >= s.d.n2 || i3 < 0 || i3 >= s.d.n3) return 0;
  return kRealRow | ((i2 == 0 || i2 == s.d.n2 - 1 || i3 == 0 || i3 == s.d.n3 - 1) ? kFaceRow : 0u);
}

// The padded rows of one lane's stream (of u, or of q1..q3), two at a time:
// row m in slot m & 1, and the first 16 samples of slot 0 again after
// slot 1, so a window of 16 samples from any column of the older row is one
// contiguous load.
struct LaneRows {
  float* data;          // 1 or 3 components x (2 P1 + 16) floats
  std::int64_t loaded;  // the older of the two rows held
  bool ready;
  LaneCursor at;  // the next window's first position
};

// The skewed stream sweep of one step. Everything is sized at construction;
// run() returns whether a voxel met a non-finite value while probing.
class StreamSweep {
 public:
  StreamSweep(const SweepContext& c, const float* source, bool probe)
      : c_(c), source_(source), probing_(probe) {}

  bool prepare();
  bool run();

 private:
  static constexpr int kTensorParts = 9;  // t11..t33, then q1..q3
  // 6 when no tap reads the tensor: q1..q3 are then the +0 they start from.
  int tensorParts_ = kTensorParts;

  void fillRow(bool divergences, std::int64_t i2p, std::int64_t i3p, float* dst) const;
  void loadRows(LaneRows& lane, int components, std::int64_t m, std::int64_t i2p,
                std::int64_t i3p) const;
  const float* window(LaneRows& lane, int components) const;
  void fillRing(std::int64_t block);
  void fillTensorBlock();
  void setUp();
  void produce(std::int64_t block);
  void consume(std::int64_t block);
  void drainRing(std::int64_t block);
  void writeGhosts(std::int64_t c, std::int64_t i2p, std::int64_t i3p, float value);
  float* ringStep(std::int64_t x) { return ring_.get() + ((x & s_.ringMask) * kStreamLanes); }

  const SweepContext& c_;
  const float* source_;
  bool probing_;
  VecAvx512 probe_{};
  std::int64_t firstBlock_ = 0, endBlock_ = 0, reachBlocks_ = 0, filled_ = 0, drained_ = 0;
  LaneCursor runAt_[kStreamLanes]{};
  __m512i idx_[kStreamLanes];
  StreamShape s_{};
  std::int64_t laneFloats_ = 0;
  struct AlignedDelete {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t{64}); }
  };
  std::unique_ptr<float[], AlignedDelete> ring_;
  std::unique_ptr<float[], AlignedDelete> lanes_;
  LaneRows uLanes_[kStreamLanes]{};
  LaneRows qLanes_[kStreamLanes]{};  // divergences
  LaneCursor drainAt_[kStreamLanes]{};
  // The tensor and divergences of the block being stepped, lanes innermost.
  alignas(64) float tensorBlock_[kTensorParts][kStreamLanes][kStreamLanes];
  // The positions the lists read, p = (a + 2) + 5 (d2 + 2) + 25 (d3 + 2)
  // in increasing order (the order of the weights), with the lists that
  // weigh each: bits 0..5 the second-order lists, 6..8 the gradients.
  struct PositionTaps {
    TapSource source;
    unsigned lists;
    float weight[9];
  };
  int positionCount_ = 0;
  int ownPosition_ = 0;  // the voxel's own old value
  PositionTaps positions_[kHessianTaps];
  // The same lists with their taps as indices into positions_.
  bool byPosition_ = false;
  SparseTaps lists_;
  VecAvx512 samples_[kHessianTaps];

  VecAvx512 fetch(const TapSource& at, std::int64_t x) {
    const __m512 lo = _mm512_load_ps(ringStep(x + at.lo));
    return {at.r == 0
                ? lo
                : _mm512_permutex2var_ps(lo, idx_[at.r], _mm512_load_ps(ringStep(x + at.hi)))};
  }
};

// Padded row (i2p, i3p) of u, or of q1..q3 (divergences: dst + k laneFloats_
// for q(k+1)), into dst[0, P1). Ghost rows and columns of u are the samples
// they clamp onto; divergences outside the volume are zeros (their lanes are
// never stored), as are rows past the padding.
void StreamSweep::fillRow(bool divergences, std::int64_t i2p, std::int64_t i3p, float* dst) const {
  const VolumeDims d = s_.d;
  const std::int64_t p1 = s_.p1;
  const bool inside = i3p >= 0 && i3p < s_.p3;
  if (!inside || (divergences && rowFlags(s_, i2p, i3p) == 0)) {
    for (int k = 0; k < (divergences ? 3 : 1); ++k)
      std::memset(dst + k * laneFloats_, 0, p1 * sizeof(float));
    return;
  }
  const std::int32_t i2 = clampTo(static_cast<std::int32_t>(i2p) - 2, d.n2 - 1);
  const std::int32_t i3 = clampTo(static_cast<std::int32_t>(i3p) - 2, d.n3 - 1);
  if (divergences) {
    divergenceRow<VecAvx512>(c_, i2, i3, dst + 2, laneFloats_);
    for (int k = 0; k < 3; ++k) {
      float* q = dst + k * laneFloats_;
      q[0] = q[1] = q[p1 - 2] = q[p1 - 1] = 0.0f;
    }
    return;
  }
  const float* src = source_ + rowOffset(i2, i3, d);
  std::memcpy(dst + 2, src, static_cast<std::size_t>(d.n1) * sizeof(float));
  dst[0] = dst[1] = src[0];
  dst[p1 - 2] = dst[p1 - 1] = src[d.n1 - 1];
}

// Stream row m of a lane (padded row (i2p, i3p)) into its slot.
void StreamSweep::loadRows(LaneRows& lane, int components, std::int64_t m, std::int64_t i2p,
                           std::int64_t i3p) const {
  const std::int64_t p1 = s_.p1;
  float* slot = lane.data + (m & 1) * p1;
  fillRow(components == 3, i2p, i3p, slot);
  if ((m & 1) == 0)
    for (int k = 0; k < components; ++k)
      std::memcpy(lane.data + k * laneFloats_ + 2 * p1, lane.data + k * laneFloats_,
                  kStreamLanes * sizeof(float));
}

// The lane's next window of 16 positions, its rows loaded as needed.
const float* StreamSweep::window(LaneRows& lane, int components) const {
  LaneCursor& k = lane.at;
  if (!lane.ready || lane.loaded != k.m) {
    if (!lane.ready) loadRows(lane, components, k.m, k.i2p, k.i3p);
    std::int64_t i2p = k.i2p, i3p = k.i3p;
    nextRow(s_, i2p, i3p);
    loadRows(lane, components, k.m + 1, i2p, i3p);
    lane.loaded = k.m;
    lane.ready = true;
  }
  const float* p = lane.data + (k.m & 1) * s_.p1 + k.c;
  moveOn(s_, k);
  return p;
}

bool StreamSweep::prepare() {
  const VolumeDims d = c_.dims;
  s_.d = d;
  s_.p1 = d.n1 + 4;
  s_.p2 = d.n2 + 4;
  s_.p3 = d.n3 + 4;
  s_.rows = s_.p2 * s_.p3;
  // Lanes three columns apart see their neighbours' rows in the right state
  // only when a row is longer than the lanes' skew (docs/design.md).
  if (s_.p1 < kStreamSkew * (kStreamLanes - 1) + 3 || d.n2 <= 0 || d.n3 <= 0) return false;
  // Reads and ghost writes reach at most two columns, rows and planes away.
  std::int64_t reach = 0;
  for (int d3 = -2; d3 <= 2; ++d3)
    for (int d2 = -2; d2 <= 2; ++d2)
      for (int a = -2; a <= 2; ++a) {
        const TapSource t = tapSource(s_, a, d2, d3);
        const std::int64_t far[4] = {t.lo, -t.lo, t.hi, -t.hi};
        for (const std::int64_t f : far)
          if (f > reach) reach = f;
      }
  s_.reach = reach;
  // From the oldest step not yet drained to the newest filled, with a few
  // blocks to spare at both ends.
  std::int64_t steps = 64;
  while (steps < 2 * reach + 9 * kStreamLanes) steps *= 2;
  if (static_cast<std::size_t>(steps) * kStreamLanes * sizeof(float) > kStreamMostRingBytes)
    return false;
  s_.ringMask = steps - 1;
  // The positions read, from the lists.
  const SparseTaps& taps = *c_.taps;
  unsigned lists[kHessianTaps] = {};
  float weight[kHessianTaps][9] = {};
  auto positionOf = [](int at) { return (at / kWindow) * 5 + at % kWindow; };
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i < taps.hessianLength; ++i)
      if ((taps.hessianLive[i] >> j) & 1u) {
        const int p = positionOf(taps.hessianAt[j][i]);
        lists[p] |= 1u << j;
        weight[p][j] = taps.hessianWeight[j][i];
      }
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < taps.gradientLength; ++i)
      if ((taps.gradientLive[i] >> j) & 1u) {
        const int p = positionOf(taps.gradientAt[j][i]);
        lists[p] |= 1u << (6 + j);
        weight[p][6 + j] = taps.gradientWeight[j][i];
      }
  constexpr int kOwn = 62;  // a = d2 = d3 = 0
  std::int16_t indexOf[kHessianTaps] = {};
  int products = 0;
  for (int p = 0; p < kHessianTaps; ++p) {
    for (unsigned bits = lists[p]; bits != 0; bits &= bits - 1) ++products;
    if (lists[p] != 0 || p == kOwn) {
      PositionTaps& at = positions_[positionCount_];
      if (p == kOwn) ownPosition_ = positionCount_;
      at.source = tapSource(s_, p % 5 - 2, p / 5 % 5 - 2, p / 25 - 2);
      at.lists = lists[p];
      for (int k = 0; k < 9; ++k) at.weight[k] = weight[p][k];
      indexOf[p] = static_cast<std::int16_t>(positionCount_++);
    }
  }
  // (The padding at the end of the shorter lists is the voxel itself.)
  lists_ = taps;
  for (int i = 0; i < taps.hessianLength; ++i)
    for (int j = 0; j < 6; ++j) lists_.hessianAt[j][i] = indexOf[positionOf(taps.hessianAt[j][i])];
  for (int i = 0; i < taps.gradientLength; ++i)
    for (int j = 0; j < 3; ++j)
      lists_.gradientAt[j][i] = indexOf[positionOf(taps.gradientAt[j][i])];
  if (taps.tensorTapCount == 0) tensorParts_ = 6;
  // Measured: by position pays from about four products a position
  // (Scharr- and Sobel-type stencils), list by list below (central).
  byPosition_ = products >= 4 * positionCount_;
  // With next to no products (one weight, or none), a ring past the
  // second-level cache costs more than the wavefront kernel's staging
  // (measured on planes of 256 x 256).
  const std::size_t ringBytes = (static_cast<std::size_t>(s_.ringMask) + 1) * kStreamLanes * 4;
  if (products < 9 && ringBytes > kStreamSmallRingBytes) return false;

  laneFloats_ = 2 * s_.p1 + kStreamLanes;
  const std::size_t ringFloats = ringBytes / sizeof(float);
  const std::size_t laneTotal = static_cast<std::size_t>(laneFloats_) * kStreamLanes * (1 + 3);
  ring_.reset(static_cast<float*>(
      ::operator new[](ringFloats * sizeof(float), std::align_val_t{64}, std::nothrow)));
  lanes_.reset(static_cast<float*>(
      ::operator new[](laneTotal * sizeof(float), std::align_val_t{64}, std::nothrow)));
  if (!ring_ || !lanes_) return false;
  for (int j = 0; j < kStreamLanes; ++j) {
    uLanes_[j].data = lanes_.get() + j * laneFloats_;
    qLanes_[j].data = lanes_.get() + laneFloats_ * (kStreamLanes + j * 3);
  }
  return true;
}

__attribute__((noinline)) void StreamSweep::fillRing(std::int64_t block) {
  VecAvx512 v[kStreamLanes];
  const std::int64_t first = block * kStreamLanes;
  for (int j = 0; j < kStreamLanes; ++j) v[j] = VecAvx512::loadu(window(uLanes_[j], 1));
  VecAvx512::transpose(v);
  for (int t = 0; t < kStreamLanes; ++t) v[t].store(ringStep(first + t));
}

inline __mmask16 laneRange(std::int64_t lo, std::int64_t hi) {
  if (lo < 0) lo = 0;
  if (hi > kStreamLanes) hi = kStreamLanes;
  if (hi <= lo) return 0;
  return static_cast<__mmask16>(((1u << hi) - 1u) & ~((1u << lo) - 1u));
}

void StreamSweep::fillTensorBlock() {
  // The six components straight from the volume: each lane's window is the
  // end of its row and the start of its next (masked loads; columns and rows
  // outside the volume read nothing and stay zero, their lanes are never
  // stored). q1..q3 come from the lanes' rows of divergences.
  const VolumeDims d = s_.d;
  std::ptrdiff_t rowAt[2][kStreamLanes];
  __mmask16 mask[2][kStreamLanes];
  std::ptrdiff_t next[kStreamLanes];
  const float* q[kStreamLanes];
  for (int j = 0; j < kStreamLanes; ++j) {
    const LaneCursor k = qLanes_[j].at;
    std::int64_t i2p = k.i2p, i3p = k.i3p;
    // Two blocks on, the same lane reads this column: fetched now, as the
    // hardware does not follow sixteen rows of six components at once.
    const std::int64_t ahead = k.c + 2 * kStreamLanes;
    const int aheadPart = ahead < s_.p1 ? 0 : 1;
    next[j] = -1;
    for (int part = 0; part < 2; ++part) {
      if (part == 1) nextRow(s_, i2p, i3p);
      // Lane t of the window is column c + t - part P1 of this row.
      const std::int64_t shift = k.c - part * s_.p1;
      const bool real = rowFlags(s_, i2p, i3p) != 0;
      mask[part][j] = real ? laneRange(2 - shift, d.n1 + 2 - shift) : __mmask16{0};
      const std::ptrdiff_t row = real ? rowOffset(static_cast<std::int32_t>(i2p - 2),
                                                  static_cast<std::int32_t>(i3p - 2), d)
                                      : 0;
      rowAt[part][j] = mask[part][j] == 0 ? 0 : row + (shift - 2);
      if (real && part == aheadPart)
        next[j] = row + clampTo(static_cast<std::int32_t>(ahead - part * s_.p1 - 2), d.n1 - 1);
    }
    if (tensorParts_ > 6) {
      q[j] = window(qLanes_[j], 3);
    } else {
      moveOn(s_, qLanes_[j].at);
    }
  }
  for (int k = 0; k < tensorParts_; ++k) {
    VecAvx512 v[kStreamLanes];
    if (k < 6) {
      const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(c_.tensor[k]);
      for (int j = 0; j < kStreamLanes; ++j) {
        const auto at = [&](int part) {
          return reinterpret_cast<const void*>(base + static_cast<std::uintptr_t>(rowAt[part][j]) *
                                                          sizeof(float));
        };
        v[j].v = _mm512_mask_loadu_ps(_mm512_maskz_loadu_ps(mask[0][j], at(0)), mask[1][j], at(1));
        if (next[j] >= 0) prefetch(c_.tensor[k] + next[j]);
      }
    } else {
      for (int j = 0; j < kStreamLanes; ++j) v[j] = VecAvx512::loadu(q[j] + (k - 6) * laneFloats_);
    }
    VecAvx512::transpose(v);
    for (int t = 0; t < kStreamLanes; ++t) v[t].store(tensorBlock_[k][t]);
  }
}

// Real samples of lanes j's 16 positions of this block go back to the volume.
void StreamSweep::drainRing(std::int64_t block) {
  VecAvx512 v[kStreamLanes];
  const std::int64_t first = block * kStreamLanes;
  for (int t = 0; t < kStreamLanes; ++t) v[t] = VecAvx512::load(ringStep(first + t));
  VecAvx512::transpose(v);
  const VolumeDims d = s_.d;
  for (int j = 0; j < kStreamLanes; ++j) {
    LaneCursor& k = drainAt_[j];
    std::int64_t i2p = k.i2p, i3p = k.i3p;
    for (int part = 0; part < 2; ++part) {
      if (part == 1) nextRow(s_, i2p, i3p);
      if (rowFlags(s_, i2p, i3p) == 0) continue;
      // Lane t of the window is column c + t - part P1 of this row.
      const std::int64_t shift = k.c - part * s_.p1;
      const __mmask16 mask = laneRange(2 - shift, d.n1 + 2 - shift);
      if (mask == 0) continue;
      const float* row = c_.out + rowOffset(static_cast<std::int32_t>(i2p - 2),
                                            static_cast<std::int32_t>(i3p - 2), d);
      const std::uintptr_t at =
          reinterpret_cast<std::uintptr_t>(row) + static_cast<std::uintptr_t>((shift - 2) * 4);
      _mm512_mask_storeu_ps(reinterpret_cast<void*>(at), mask, v[j].v);
    }
    moveOn(s_, k);
  }
}

// The voxel at padded (c, row) got `value`: so do the ghosts that clamp
// onto it along axes 2 and 3 (with the column ghosts of those).
void StreamSweep::writeGhosts(std::int64_t c, std::int64_t i2p, std::int64_t i3p, float value) {
  const VolumeDims d = s_.d;
  const std::int64_t i1 = c - 2;
  auto ghosts = [](std::int64_t i, std::int64_t n, std::int64_t* out) {
    int k = 0;
    out[k++] = i + 2;
    if (i == 0) {
      out[k++] = 0;
      out[k++] = 1;
    }
    if (i == n - 1) {
      out[k++] = n + 2;
      out[k++] = n + 3;
    }
    return k;
  };
  std::int64_t g1[5], g2[5], g3[5];
  const int k1 = ghosts(i1, d.n1, g1), k2 = ghosts(i2p - 2, d.n2, g2),
            k3 = ghosts(i3p - 2, d.n3, g3);
  for (int a = 0; a < k3; ++a)
    for (int b = 0; b < k2; ++b)
      for (int e = 0; e < k1; ++e) {
        if (a == 0 && b == 0) continue;  // the voxel's own row: column ghosts done already
        const std::int64_t r = g2[b] + s_.p2 * g3[a];
        ringStep(stepOf(s_, g1[e], r))[r % kStreamLanes] = value;
      }
}

void StreamSweep::setUp() {
  const VolumeDims d = s_.d;
  const std::int64_t p1 = s_.p1;
  const std::int64_t firstRow = 2 + 2 * s_.p2;
  const std::int64_t lastRow = (d.n2 + 1) + s_.p2 * (d.n3 + 1);
  firstBlock_ = floorDivide((firstRow / kStreamLanes) * p1, kStreamLanes);
  const std::int64_t endStep = (lastRow / kStreamLanes + 1) * p1 + kStreamSkew * (kStreamLanes - 1);
  endBlock_ = floorDivide(endStep + kStreamLanes - 1, kStreamLanes);
  reachBlocks_ = s_.reach / kStreamLanes + 2;
  filled_ = firstBlock_ - reachBlocks_;
  drained_ = firstBlock_;
  for (int j = 0; j < kStreamLanes; ++j) {
    const std::int64_t p = firstBlock_ * kStreamLanes - kStreamSkew * j;
    uLanes_[j].at = cursorAt(s_, j, filled_ * kStreamLanes - kStreamSkew * j);
    uLanes_[j].ready = false;
    qLanes_[j].at = runAt_[j] = drainAt_[j] = cursorAt(s_, j, p);
    qLanes_[j].ready = false;
  }
  for (int r = 0; r < kStreamLanes; ++r)
    idx_[r] =
        _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                         _mm512_set1_epi32(r));
  probe_ = VecAvx512::broadcast(0.0f);
}

// What block `block` reads that is not made by the steps: the ring of u
// filled as far as its reads and ghost writes reach, and its tensor block.
__attribute__((noinline)) void StreamSweep::produce(std::int64_t block) {
  while (filled_ * kStreamLanes <= (block + 1) * kStreamLanes + s_.reach) fillRing(filled_++);
  fillTensorBlock();
}

// The steps of block `block`, then the blocks of the ring no step reads or
// writes any more go back to the volume.
__attribute__((noinline)) void StreamSweep::consume(std::int64_t block) {
  const VolumeDims d = s_.d;
  const std::int64_t p1 = s_.p1;
  const std::int64_t first = block * kStreamLanes;
  const VecAvx512 zero = VecAvx512::broadcast(0.0f);
  const VecAvx512 two = VecAvx512::broadcast(2.0f);
  const VecAvx512 dt = VecAvx512::broadcast(c_.dt);
  const __m512i p1v = _mm512_set1_epi32(static_cast<int>(p1));
  const __m512i twoV = _mm512_set1_epi32(2);
  const __m512i endColumn = _mm512_set1_epi32(d.n1 + 2);
  const __m512i lastColumn = _mm512_set1_epi32(d.n1 + 1);
  // Each lane's column at the block's first step, and its row's flags
  // before and after the lane passes into its next row.
  alignas(64) std::int32_t column[kStreamLanes];
  std::int64_t rowAt[2][kStreamLanes][2];
  __mmask16 real[2] = {0, 0}, face[2] = {0, 0};
  for (int j = 0; j < kStreamLanes; ++j) {
    LaneCursor& k = runAt_[j];
    column[j] = static_cast<std::int32_t>(k.c);
    std::int64_t i2p = k.i2p, i3p = k.i3p;
    for (int part = 0; part < 2; ++part) {
      if (part == 1) nextRow(s_, i2p, i3p);
      rowAt[part][j][0] = i2p;
      rowAt[part][j][1] = i3p;
      const unsigned flags = rowFlags(s_, i2p, i3p);
      if (flags & kRealRow) real[part] = static_cast<__mmask16>(real[part] | (1u << j));
      if (flags & kFaceRow) face[part] = static_cast<__mmask16>(face[part] | (1u << j));
    }
    moveOn(s_, k);
  }
  const __m512i column0 = _mm512_load_si512(column);
  for (int t = 0; t < kStreamLanes; ++t) {
    const std::int64_t x = first + t;
    __m512i col = _mm512_add_epi32(column0, _mm512_set1_epi32(t));
    const __mmask16 wrapped = _mm512_cmpge_epi32_mask(col, p1v);
    col = _mm512_mask_sub_epi32(col, wrapped, col, p1v);
    const __mmask16 rowReal = static_cast<__mmask16>((real[0] & ~wrapped) | (real[1] & wrapped));
    const __mmask16 inRow = static_cast<__mmask16>(_mm512_cmpge_epi32_mask(col, twoV) &
                                                   _mm512_cmplt_epi32_mask(col, endColumn));
    const __mmask16 live = static_cast<__mmask16>(rowReal & inRow);
    if (live == 0) continue;

    VecAvx512 h[6] = {zero, zero, zero, zero, zero, zero};
    VecAvx512 g[3] = {zero, zero, zero};
    VecAvx512 old = zero;
    if (byPosition_) {
      // Position by position in the order of the weights, so each list
      // still adds its products in its own order; a sample is read once
      // for every list that weighs it.
      for (int e = 0; e < positionCount_; ++e) {
        const PositionTaps& at = positions_[e];
        const VecAvx512 sample = fetch(at.source, x);
        if (e == ownPosition_) old = sample;
        QUILLMERE_UNROLL_FULL
        for (int j = 0; j < 6; ++j)
          if ((at.lists >> j) & 1u) h[j] = h[j] + sample * VecAvx512::broadcast(at.weight[j]);
        QUILLMERE_UNROLL_FULL
        for (int j = 0; j < 3; ++j)
          if ((at.lists >> (6 + j)) & 1u)
            g[j] = g[j] + sample * VecAvx512::broadcast(at.weight[6 + j]);
      }
    } else {
      // Few products a position: the samples first, then list by list
      // (fewer branches the processor cannot foresee).
      for (int e = 0; e < positionCount_; ++e) samples_[e] = fetch(positions_[e].source, x);
      old = samples_[ownPosition_];
      for (int i = 0; i < lists_.hessianLength; ++i) {
        const unsigned liveLists = lists_.hessianLive[i];
        QUILLMERE_UNROLL_FULL
        for (int j = 0; j < 6; ++j)
          if ((liveLists >> j) & 1u)
            h[j] = h[j] + samples_[lists_.hessianAt[j][i]] *
                              VecAvx512::broadcast(lists_.hessianWeight[j][i]);
      }
      for (int i = 0; i < lists_.gradientLength; ++i) {
        const unsigned liveLists = lists_.gradientLive[i];
        QUILLMERE_UNROLL_FULL
        for (int j = 0; j < 3; ++j)
          if ((liveLists >> j) & 1u)
            g[j] = g[j] + samples_[lists_.gradientAt[j][i]] *
                              VecAvx512::broadcast(lists_.gradientWeight[j][i]);
      }
    }
    VecAvx512 tv[kTensorParts] = {zero, zero, zero, zero, zero, zero, zero, zero, zero};
    for (int k = 0; k < tensorParts_; ++k) tv[k] = VecAvx512::load(tensorBlock_[k][t]);
    const VecAvx512 firstOrder = ((tv[6] * g[0]) + (tv[7] * g[1])) + (tv[8] * g[2]);
    VecAvx512 second = h[0] * tv[0];
    second = second + h[1] * tv[3];
    second = second + h[2] * tv[5];
    second = second + (two * tv[1]) * h[3];
    second = second + (two * tv[2]) * h[4];
    second = second + (two * tv[4]) * h[5];
    const VecAvx512 total = second + firstOrder;
    const VecAvx512 fresh = VecAvx512::canonicalizeNaN(total * dt + old);

    _mm512_mask_store_ps(ringStep(x), live, fresh.v);
    const __mmask16 left = static_cast<__mmask16>(rowReal & _mm512_cmpeq_epi32_mask(col, twoV));
    const __mmask16 right =
        static_cast<__mmask16>(rowReal & _mm512_cmpeq_epi32_mask(col, lastColumn));
    if (left != 0) {
      _mm512_mask_store_ps(ringStep(x - 1), left, fresh.v);
      _mm512_mask_store_ps(ringStep(x - 2), left, fresh.v);
    }
    if (right != 0) {
      _mm512_mask_store_ps(ringStep(x + 1), right, fresh.v);
      _mm512_mask_store_ps(ringStep(x + 2), right, fresh.v);
    }
    const __mmask16 faces =
        static_cast<__mmask16>(live & ((face[0] & ~wrapped) | (face[1] & wrapped)));
    if (faces != 0) {
      alignas(64) float values[kStreamLanes];
      alignas(64) std::int32_t cols[kStreamLanes];
      fresh.store(values);
      _mm512_store_si512(cols, col);
      for (int j = 0; j < kStreamLanes; ++j)
        if ((faces >> j) & 1u) {
          const std::int64_t* r = rowAt[(wrapped >> j) & 1u][j];
          writeGhosts(cols[j], r[0], r[1], values[j]);
        }
    }
    if (probing_) {
      VecAvx512 seen = (old - old) + (fresh - fresh);
      for (int k = 0; k < 6; ++k) seen = seen + (tv[k] - tv[k]);
      probe_.v = _mm512_mask_add_ps(probe_.v, live, probe_.v, seen.v);
    }
  }
  while ((drained_ + 1) * kStreamLanes + s_.reach < first + kStreamLanes) drainRing(drained_++);
}

bool StreamSweep::run() {
  setUp();
  for (std::int64_t block = firstBlock_; block < endBlock_; ++block) {
    produce(block);
    consume(block);
  }
  while (drained_ < endBlock_) drainRing(drained_++);
  return _mm512_cmp_ps_mask(probe_.v, probe_.v, _CMP_UNORD_Q) != 0;
}

}  // namespace

StreamOutcome streamStepAvx512(const SweepContext& context, const float* source, bool probe) {
  // The sweep's state is some 200 KB: on the heap, not the caller's stack.
  std::unique_ptr<StreamSweep> sweep(new (std::nothrow) StreamSweep(context, source, probe));
  if (!sweep || !sweep->prepare()) return StreamOutcome::NotRun;
  return sweep->run() ? StreamOutcome::Tripped : StreamOutcome::Done;
}

}  // namespace quillmere::sweep

#endif  // QUILLMERE_CORE_SWEEP_STREAM_AVX512_H
