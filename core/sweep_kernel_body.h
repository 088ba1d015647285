// The vector sweep, written once over a small vector type V and included by
// each per-ISA file (sweep_kernel_<isa>.cpp) after it defines V. See
// core/sweep_kernels.h for why it gives the plain sweep's bits.
//
// V provides: kLanes (W) and kRegisters (vector registers of the ISA);
// load/store (aligned), loadu/storeu, loaduOnce (a load kept in a register)
// and broadcast; operator+ and operator* (one rounded IEEE operation per
// lane, no contraction); select(mask, a, b) by bits; canonicalizeNaN (NaN
// lanes become the quiet NaN kCanonicalNaNBits, others unchanged); transpose(V[W]) of a
// W x W block in registers.
//
// Everything here has internal linkage: each ISA file gets its own copy, so
// the linker can never hand one ISA's code to another's caller.
#ifndef QUILLMERE_CORE_SWEEP_KERNEL_BODY_H
#define QUILLMERE_CORE_SWEEP_KERNEL_BODY_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/sweep_kernels.h"

namespace quillmere::sweep {
namespace {

static_assert(kChunkColumns + 2 * kHalo <= kWindow, "stage too narrow for a chunk");

using Unit = SweepUnit;

// Loops over the groups or units run side by side must be unrolled, so that
// their accumulators live in registers rather than in a stack array.
#if defined(__GNUC__)
#define QUILLMERE_DO_PRAGMA(x) _Pragma(#x)
#define QUILLMERE_UNROLL QUILLMERE_DO_PRAGMA(GCC unroll 8)
#define QUILLMERE_UNROLL_FULL QUILLMERE_DO_PRAGMA(GCC unroll 16)
#else
#define QUILLMERE_UNROLL
#define QUILLMERE_UNROLL_FULL
#endif

// A hint to fetch the cache line holding p; no effect on any value.
inline void prefetch(const float* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

inline std::int32_t clampTo(std::int32_t i, std::int32_t hi) {
  return i > hi ? hi : (i < 0 ? 0 : i);
}

inline std::ptrdiff_t rowOffset(std::int32_t i2, std::int32_t i3, VolumeDims d) {
  return static_cast<std::ptrdiff_t>(d.n1) *
         (static_cast<std::ptrdiff_t>(i2) + static_cast<std::ptrdiff_t>(d.n2) * i3);
}

// Returns p with p[j] = row[clamp(start + j)] for j in [0, count), count <=
// N: the row itself when no clamp is needed, else a clamped copy in tmp.
template <class V, int N>
inline const float* rowWindow(const float* row, std::int32_t start, int count, std::int32_t n1,
                              float (&tmp)[N]) {
  if (start >= 0 && start + count <= n1) return row + start;
  // Edge sample repeated before column 0 and after column n1 - 1: the last
  // sample everywhere first (a few vector stores), then the first sample
  // and the row itself over it. The last sample is read only when the
  // window passes the row's end: at the row's start it would be a cache
  // miss for nothing.
  static_assert(N >= V::kLanes, "clamped copy narrower than a vector");
  if (start + count > n1) {
    const V last = V::broadcast(row[n1 - 1]);
    for (int j = 0; j + V::kLanes <= N; j += V::kLanes) last.storeu(tmp + j);
    if (N % V::kLanes != 0) last.storeu(tmp + N - V::kLanes);
  }
  const int head = start >= 0 ? 0 : (-start < count ? static_cast<int>(-start) : count);
  for (int j = 0; j < head; ++j) tmp[j] = row[0];
  const std::int32_t first = start + head;
  if (first < n1 && head < count) {
    const int inside = n1 - first < count - head ? static_cast<int>(n1 - first) : count - head;
    std::memcpy(tmp + head, row + first, static_cast<std::size_t>(inside) * sizeof(float));
  }
  return tmp;
}

// dst[j][lane] = src[lane][j] for j in [0, columns), columns a multiple of W.
template <class V>
QUILLMERE_ALWAYS_INLINE void transposeIn(const float* const* src, float* dst, int columns) {
  constexpr int W = V::kLanes;
  for (int b = 0; b < columns; b += W) {
    V r[W];
    for (int l = 0; l < W; ++l) r[l] = V::loadu(src[l] + b);
    V::transpose(r);
    for (int j = 0; j < W; ++j) r[j].store(dst + (b + j) * W);
  }
}

// dst[lane][j] = src[j][lane] for j in [0, columns).
template <class V>
QUILLMERE_ALWAYS_INLINE void transposeOut(const float* src, float* const* dst, int columns) {
  constexpr int W = V::kLanes;
  for (int b = 0; b < columns; b += W) {
    V r[W];
    for (int j = 0; j < W; ++j) r[j] = V::load(src + (b + j) * W);
    V::transpose(r);
    for (int l = 0; l < W; ++l) r[l].storeu(dst[l] + b);
  }
}

// Everything one group of W units reads while it runs, lanes innermost.
template <class V>
struct Stage {
  static constexpr int W = V::kLanes;
  static constexpr int kRowColumns = (kChunkColumns + W - 1) / W * W;  // q, tensor
  alignas(64) float u[kSlots][kWindow][W];
  alignas(64) float q[3][kRowColumns][W];
  alignas(64) float tensor[6][kRowColumns][W];  // t11 t22 t33 2t12 2t13 2t23 at the voxel
  alignas(64) float alias[kSlots][W];           // all-ones bits: slot row is the lane's own
  alignas(64) float firstChunk[W];              // all-ones bits: lane's chunk starts at column 0
  int aliasSlots[kSlots];                       // slots other than self with any alias lane
  int aliasCount;
  int steps;          // longest chunk of the group
  int windowColumns;  // staged columns of u: steps + 4, whole vectors
  int rowColumns;     // columns of q and the tensor: steps, whole vectors
  Unit units[W];
  int unitCount;
  // Per unit: its row's kept divergences (q1, q2, q3 divergenceRowStride
  // apart, from column 0), or null when the unit computes its own.
  const float* keptQ[W];
};

// Where one unit's neighbour rows start: row offsets of i2 - 2 .. i2 + 2 and
// plane offsets of i3 - 2 .. i3 + 2, clamped, and which of them are the
// unit's own row or plane.
struct UnitGeometry {
  std::ptrdiff_t rowOff[5];
  std::ptrdiff_t planeOff[5];
  bool ownRow[5];
  bool ownPlane[5];
  std::int32_t c0;
  int columns;  // voxels in the chunk
};

// Filled in place: a copy of a freshly written struct is read back in wide
// loads that wait for its many narrow stores to retire.
inline void unitGeometry(const Unit& u, VolumeDims d, UnitGeometry& g) {
  for (int j = 0; j < 5; ++j) {
    const std::int32_t r2 = clampTo(u.i2 + j - 2, d.n2 - 1);
    const std::int32_t r3 = clampTo(u.i3 + j - 2, d.n3 - 1);
    g.rowOff[j] = static_cast<std::ptrdiff_t>(d.n1) * r2;
    g.planeOff[j] = static_cast<std::ptrdiff_t>(d.n1) * d.n2 * r3;
    g.ownRow[j] = r2 == u.i2;
    g.ownPlane[j] = r3 == u.i3;
  }
  g.c0 = u.k * kChunkColumns;
  g.columns = d.n1 - g.c0 < kChunkColumns ? static_cast<int>(d.n1 - g.c0) : kChunkColumns;
}

// The term ((t*k1 + t*k2) + t*k3) of a tensor tap that keeps all three
// weights, added to q1..q3; the six components are read at t[0..5] + at.
template <class V>
QUILLMERE_ALWAYS_INLINE void addFullTensorTerm(const float* const* t, std::ptrdiff_t at, V w1, V w2,
                                               V w3, V& q1, V& q2, V& q3) {
  const V t11 = V::loaduOnce(t[0] + at);
  const V t12 = V::loaduOnce(t[1] + at);
  const V t13 = V::loaduOnce(t[2] + at);
  const V t22 = V::loaduOnce(t[3] + at);
  const V t23 = V::loaduOnce(t[4] + at);
  const V t33 = V::loaduOnce(t[5] + at);
  q1 = q1 + ((t11 * w1 + t12 * w2) + t13 * w3);
  q2 = q2 + ((t12 * w1 + t22 * w2) + t23 * w3);
  q3 = q3 + ((t13 * w1 + t23 * w2) + t33 * w3);
}

// q1, q2, q3 of G units' voxels, along each unit's row (they read only the
// tensor, so neighbouring voxels can share a vector); G units at once for
// independent chains. Same operations and order per voxel as
// evaluateFirstOrderSums.
template <class V, int G>
void tensorDivergenceRows(const SweepContext& c, const UnitGeometry* geo,
                          float (*const* qRows)[Stage<V>::kRowColumns], int columns) {
  constexpr int W = V::kLanes;
  constexpr int kSpanMax = Stage<V>::kRowColumns + 2;
  const int span = columns + 2;
  const std::int32_t n1 = c.dims.n1;
  // Tap window of component t and neighbour row r: base[g][t] + at[g][r],
  // straight into the tensor, or into clamped copies at the row ends.
  float tmp[G][6][9][kSpanMax];
  const float* base[G][6];
  std::ptrdiff_t at[G][9];
  // With lists, only the rows a tensor tap reads (at[g][r] of the others is
  // never used).
  static constexpr std::int8_t kAllRows[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  const std::int8_t* const rowList = c.taps != nullptr ? c.taps->tensorRows : kAllRows;
  const int rowCount = c.taps != nullptr ? c.taps->tensorRowCount : 9;
  QUILLMERE_UNROLL
  for (int g = 0; g < G; ++g) {
    const std::int32_t start = geo[g].c0 - 1;
    const bool inside = start >= 0 && start + span <= n1;
    for (int i = 0; i < rowCount; ++i) {
      const int r = rowList[i];
      const std::ptrdiff_t off = geo[g].rowOff[r % 3 + 1] + geo[g].planeOff[r / 3 + 1];
      at[g][r] = inside ? off + start : r * kSpanMax;
      // Clamped copies of the components some tap reads in this row.
      const unsigned read = c.taps != nullptr ? c.taps->tensorRowComponents[r] : 0x3fu;
      if (!inside)
        for (int t = 0; t < 6; ++t)
          if ((read >> t) & 1u) rowWindow<V>(c.tensor[t] + off, start, span, n1, tmp[g][t][r]);
    }
    for (int t = 0; t < 6; ++t) base[g][t] = inside ? c.tensor[t] : &tmp[g][t][0][0];
  }
  const float* const k1 = c.gradient[0];
  const float* const k2 = c.gradient[1];
  const float* const k3 = c.gradient[2];
  for (int v = 0; v < columns; v += W) {
    V q1[G], q2[G], q3[G];
    QUILLMERE_UNROLL
    for (int g = 0; g < G; ++g) q1[g] = q2[g] = q3[g] = V::broadcast(0.0f);
    if (c.taps != nullptr) {
      const SparseTaps& taps = *c.taps;
      for (int e = 0; e < taps.tensorTapCount; ++e) {
        const SparseTaps::TensorTap& tap = taps.tensorTaps[e];
        // With zero weights the tap term is formed from its non-zero
        // products alone: the dropped ones are zeros, which change at most
        // the sign of a zero term (docs/design.md).
        if (tap.count == 1) {
          const V w = V::broadcast(tap.weight[0]);
          const std::int8_t* const t = tap.component[0];
          QUILLMERE_UNROLL
          for (int g = 0; g < G; ++g) {
            const std::ptrdiff_t o = at[g][tap.row] + v + tap.aa;
            q1[g] = q1[g] + V::loadu(base[g][t[0]] + o) * w;
            q2[g] = q2[g] + V::loadu(base[g][t[1]] + o) * w;
            q3[g] = q3[g] + V::loadu(base[g][t[2]] + o) * w;
          }
          continue;
        }
        if (tap.count == 2) {
          const V w = V::broadcast(tap.weight[0]), x = V::broadcast(tap.weight[1]);
          const std::int8_t* const t = tap.component[0];
          const std::int8_t* const s = tap.component[1];
          QUILLMERE_UNROLL
          for (int g = 0; g < G; ++g) {
            const std::ptrdiff_t o = at[g][tap.row] + v + tap.aa;
            q1[g] = q1[g] + (V::loadu(base[g][t[0]] + o) * w + V::loadu(base[g][s[0]] + o) * x);
            q2[g] = q2[g] + (V::loadu(base[g][t[1]] + o) * w + V::loadu(base[g][s[1]] + o) * x);
            q3[g] = q3[g] + (V::loadu(base[g][t[2]] + o) * w + V::loadu(base[g][s[2]] + o) * x);
          }
          continue;
        }
        const V w1 = V::broadcast(tap.weight[0]);
        const V w2 = V::broadcast(tap.weight[1]);
        const V w3 = V::broadcast(tap.weight[2]);
        QUILLMERE_UNROLL
        for (int g = 0; g < G; ++g) {
          const std::ptrdiff_t o = at[g][tap.row] + v + tap.aa;
          addFullTensorTerm(base[g], o, w1, w2, w3, q1[g], q2[g], q3[g]);
        }
      }
    } else {
      int m = 0;
      for (int cc = 0; cc < 3; ++cc)
        for (int bb = 0; bb < 3; ++bb)
          for (int aa = 0; aa < 3; ++aa, ++m) {
            const V w1 = V::broadcast(k1[m]);
            const V w2 = V::broadcast(k2[m]);
            const V w3 = V::broadcast(k3[m]);
            QUILLMERE_UNROLL
            for (int g = 0; g < G; ++g) {
              const std::ptrdiff_t o = at[g][bb + 3 * cc] + v + aa;
              addFullTensorTerm(base[g], o, w1, w2, w3, q1[g], q2[g], q3[g]);
            }
          }
    }
    QUILLMERE_UNROLL
    for (int g = 0; g < G; ++g) {
      q1[g].storeu(qRows[g][0] + v);
      q2[g].storeu(qRows[g][1] + v);
      q3[g].storeu(qRows[g][2] + v);
    }
  }
}

// The tap term of one tensor tap with N non-zero directions (1, 2, or 3:
// the term in full) added to q1..q3, the samples of the components t11, t12,
// t13, t22, t23, t33 at base[0..5] + at: the operations and order of
// tensorDivergenceRows and divergenceVectors, here for the two voxels at a
// row's ends (V = OneFloat).
template <class V, int N>
QUILLMERE_ALWAYS_INLINE void addTensorTap(const SparseTaps::TensorTap& tap,
                                          const float* const* base, std::ptrdiff_t at, V& q1, V& q2,
                                          V& q3) {
  if (N == 1) {
    const V w = V::broadcast(tap.weight[0]);
    const std::int8_t* const t = tap.component[0];
    q1 = q1 + V::loadu(base[t[0]] + at) * w;
    q2 = q2 + V::loadu(base[t[1]] + at) * w;
    q3 = q3 + V::loadu(base[t[2]] + at) * w;
  } else if (N == 2) {
    const V w = V::broadcast(tap.weight[0]), x = V::broadcast(tap.weight[1]);
    const std::int8_t* const t = tap.component[0];
    const std::int8_t* const u = tap.component[1];
    q1 = q1 + (V::loadu(base[t[0]] + at) * w + V::loadu(base[u[0]] + at) * x);
    q2 = q2 + (V::loadu(base[t[1]] + at) * w + V::loadu(base[u[1]] + at) * x);
    q3 = q3 + (V::loadu(base[t[2]] + at) * w + V::loadu(base[u[2]] + at) * x);
  } else {
    const V w1 = V::broadcast(tap.weight[0]);
    const V w2 = V::broadcast(tap.weight[1]);
    const V w3 = V::broadcast(tap.weight[2]);
    addFullTensorTerm(base, at, w1, w2, w3, q1, q2, q3);
  }
}

// A scalar standing in for V, for the two voxels at a row's ends.
struct OneFloat {
  float v;
  static OneFloat loadu(const float* p) { return {*p}; }
  static OneFloat loaduOnce(const float* p) { return {*p}; }
  static OneFloat broadcast(float x) { return {x}; }
  friend OneFloat operator+(OneFloat a, OneFloat b) { return {a.v + b.v}; }
  friend OneFloat operator*(OneFloat a, OneFloat b) { return {a.v * b.v}; }
};

// Divergences of G neighbouring vectors of voxels of one row, lane 0 of
// the first at column v (all inside [1, n1 - W - 1], so no tap reads past
// the row). Each tap's sample pointers are formed once for the G vectors.
template <class V, int G>
void divergenceVectors(const SweepContext& c, const std::ptrdiff_t* rowAt, int v, float* dst,
                       std::ptrdiff_t stride) {
  constexpr int W = V::kLanes;
  const SparseTaps& taps = *c.taps;
  const float* const T[6] = {c.tensor[0], c.tensor[1], c.tensor[2],
                             c.tensor[3], c.tensor[4], c.tensor[5]};
  V q1[G], q2[G], q3[G];
  QUILLMERE_UNROLL
  for (int g = 0; g < G; ++g) q1[g] = q2[g] = q3[g] = V::broadcast(0.0f);
  for (int e = 0; e < taps.tensorTapCount; ++e) {
    const SparseTaps::TensorTap& tap = taps.tensorTaps[e];
    const std::ptrdiff_t at = rowAt[tap.row] + tap.aa - 1 + v;
    if (tap.count == 1) {
      const std::int8_t* const t = tap.component[0];
      const float *const a = T[t[0]] + at, *const b = T[t[1]] + at, *const d = T[t[2]] + at;
      const V w = V::broadcast(tap.weight[0]);
      QUILLMERE_UNROLL
      for (int g = 0; g < G; ++g) {
        q1[g] = q1[g] + V::loadu(a + g * W) * w;
        q2[g] = q2[g] + V::loadu(b + g * W) * w;
        q3[g] = q3[g] + V::loadu(d + g * W) * w;
      }
    } else if (tap.count == 2) {
      const std::int8_t* const t = tap.component[0];
      const std::int8_t* const u = tap.component[1];
      const float *const a = T[t[0]] + at, *const b = T[t[1]] + at, *const d = T[t[2]] + at;
      const float *const a2 = T[u[0]] + at, *const b2 = T[u[1]] + at, *const d2 = T[u[2]] + at;
      const V w = V::broadcast(tap.weight[0]), x = V::broadcast(tap.weight[1]);
      QUILLMERE_UNROLL
      for (int g = 0; g < G; ++g) {
        q1[g] = q1[g] + (V::loadu(a + g * W) * w + V::loadu(a2 + g * W) * x);
        q2[g] = q2[g] + (V::loadu(b + g * W) * w + V::loadu(b2 + g * W) * x);
        q3[g] = q3[g] + (V::loadu(d + g * W) * w + V::loadu(d2 + g * W) * x);
      }
    } else {
      const V w1 = V::broadcast(tap.weight[0]);
      const V w2 = V::broadcast(tap.weight[1]);
      const V w3 = V::broadcast(tap.weight[2]);
      const float* const p[6] = {T[0] + at, T[1] + at, T[2] + at, T[3] + at, T[4] + at, T[5] + at};
      QUILLMERE_UNROLL
      for (int g = 0; g < G; ++g) {
        addFullTensorTerm(p, g * W, w1, w2, w3, q1[g], q2[g], q3[g]);
      }
    }
  }
  QUILLMERE_UNROLL
  for (int g = 0; g < G; ++g) {
    q1[g].storeu(dst + v + g * W);
    q2[g].storeu(dst + stride + v + g * W);
    q3[g].storeu(dst + 2 * stride + v + g * W);
  }
}

// q1..q3 of the whole row (i2, i3) with the lists' tensor taps, into dst,
// dst + stride, dst + 2 * stride from column 0: voxels 1 .. n1 - 2 in
// vectors straight from the tensor (no tap of theirs needs a clamped
// column; the last vector overlaps the one before and writes the same
// values again), voxels 0 and n1 - 1 on one lane with clamped columns.
// Needs n1 >= W + 2. Per voxel, the operations and order of
// tensorDivergenceRows.
template <class V>
void divergenceRow(const SweepContext& c, std::int32_t i2, std::int32_t i3, float* dst,
                   std::ptrdiff_t stride) {
  constexpr int W = V::kLanes;
  constexpr int G = V::kRegisters >= 32 ? 4 : 2;
  const SparseTaps& taps = *c.taps;
  const VolumeDims d = c.dims;
  std::ptrdiff_t rowAt[9] = {};
  for (int i = 0; i < taps.tensorRowCount; ++i) {
    const int r = taps.tensorRows[i];
    rowAt[r] = rowOffset(clampTo(i2 + r % 3 - 1, d.n2 - 1), clampTo(i3 + r / 3 - 1, d.n3 - 1), d);
  }
  // The next row of this plane starts two levels on; the tensor row it is
  // the first to read (the leading one) is fetched now, a block's columns
  // at a time, while this row's work hides the wait.
  const int lead = taps.leadingTensorRow;
  const std::ptrdiff_t next =
      rowOffset(clampTo(i2 + 1 + lead % 3 - 1, d.n2 - 1), clampTo(i3 + lead / 3 - 1, d.n3 - 1), d);
  // The own row: all six, for the tensor at the voxel.
  const unsigned fetch = i2 + 1 >= d.n2 ? 0u : (lead == 4 ? 0x3fu : taps.tensorRowComponents[lead]);
  // Blocks of G neighbouring vectors over columns 1 .. n1 - 2; the last
  // block ends at column n1 - 2 and may overlap the one before (the same
  // values, written again). Rows too short for a block: 2 or 1 at a time.
  const int last = d.n1 - 1 - W;  // lane 0 of the row's last vector
  const int inner = d.n1 - 2;     // columns 1 .. n1 - 2
  const int block = inner >= G * W ? G : (inner >= 2 * W ? 2 : 1);
  const int lastBlock = last - (block - 1) * W;
  for (int v = 1;; v += block * W) {
    if (v > lastBlock) v = lastBlock;
    for (int t = 0; t < 6; ++t)
      if ((fetch >> t) & 1u)
        for (int i1 = v - 1; i1 < v - 1 + block * W && i1 < d.n1; i1 += 16)
          prefetch(c.tensor[t] + next + i1);
    if (block == G) {
      divergenceVectors<V, G>(c, rowAt, v, dst, stride);
    } else if (block == 2) {
      divergenceVectors<V, 2>(c, rowAt, v, dst, stride);
    } else {
      divergenceVectors<V, 1>(c, rowAt, v, dst, stride);
    }
    if (v == lastBlock) break;
  }
  const std::int32_t ends[2] = {0, d.n1 - 1};
  for (const std::int32_t i1 : ends) {
    OneFloat q1{0.0f}, q2{0.0f}, q3{0.0f};
    for (int e = 0; e < taps.tensorTapCount; ++e) {
      const SparseTaps::TensorTap& tap = taps.tensorTaps[e];
      const std::ptrdiff_t at = rowAt[tap.row] + clampTo(i1 + tap.aa - 1, d.n1 - 1);
      if (tap.count == 1) {
        addTensorTap<OneFloat, 1>(tap, c.tensor, at, q1, q2, q3);
      } else if (tap.count == 2) {
        addTensorTap<OneFloat, 2>(tap, c.tensor, at, q1, q2, q3);
      } else {
        addTensorTap<OneFloat, 3>(tap, c.tensor, at, q1, q2, q3);
      }
    }
    dst[i1] = q1.v;
    dst[stride + i1] = q2.v;
    dst[2 * stride + i1] = q3.v;
  }
}

inline float maskBits(bool on) {
  const std::uint32_t bits = on ? 0xffffffffu : 0u;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Reads everything the group's units will read. Lanes past unitCount run on
// zeros and are never stored.
// With sparse taps, only the rows the lists read are staged, and `probe`
// turns NaN in a lane that saw a non-finite tensor component at its voxel.
template <class V>
void loadStage(const SweepContext& c, Stage<V>& s, V& probe) {
  constexpr int W = V::kLanes;
  constexpr int kCols = Stage<V>::kRowColumns;
  const VolumeDims d = c.dims;
  alignas(64) float tmp[W][kWindow];
  alignas(64) static constexpr float kZeros[kWindow] = {};
  const float* src[W];
  UnitGeometry geo[W]{};

  s.steps = 0;
  for (int l = 0; l < s.unitCount; ++l) {
    unitGeometry(s.units[l], d, geo[l]);
    if (geo[l].columns > s.steps) s.steps = geo[l].columns;
  }
  // Only the columns the group's longest chunk reads: a short row costs
  // little even on one lane.
  s.windowColumns = (s.steps + 2 * kHalo + W - 1) / W * W;
  if (s.windowColumns > kWindow) s.windowColumns = kWindow;
  s.rowColumns = (s.steps + W - 1) / W * W;
  const int uCols = s.windowColumns, rowCols = s.rowColumns;
  // Most lanes see no face: their 25 rows sit at fixed distances from
  // their own row. Only the others need clamped rows, copies or alias masks.
  // Zeroed: GCC's -fsanitize=thread build warns of them as maybe uninitialized.
  int open[W] = {}, edge[W] = {}, openCount = 0, edgeCount = 0;
  const float* openRow[W] = {};  // an open lane's own row at its chunk
  for (int l = 0; l < s.unitCount; ++l) {
    const Unit& u = s.units[l];
    const bool inside = geo[l].c0 >= kHalo && geo[l].c0 - kHalo + uCols <= d.n1;
    const bool noFace = u.i2 >= 2 && u.i2 + 2 < d.n2 && u.i3 >= 2 && u.i3 + 2 < d.n3;
    if (inside && noFace) {
      openRow[openCount] = c.out + geo[l].rowOff[2] + geo[l].planeOff[2] + geo[l].c0;
      open[openCount++] = l;
    } else {
      edge[edgeCount++] = l;
    }
  }
  for (int l = 0; l < s.unitCount; ++l) s.firstChunk[l] = maskBits(geo[l].c0 == 0);
  for (int l = s.unitCount; l < W; ++l) s.firstChunk[l] = maskBits(false);
  for (int l = s.unitCount; l < W; ++l) src[l] = kZeros;

  // A unit's next chunk along its row runs at the next level, after the
  // rest of this one: fetch the rows it will be the first to read (the
  // leading stage and tensor rows; earlier units have read the others). The
  // lists make a unit cheap enough for memory latency to show.
  // Nothing fetches a row's first chunk that way: a unit at the start of a
  // row fetches it for the unit at the start of the next row, two levels on.
  if (c.taps != nullptr) {
    const int slot = c.taps->leadingSlot, r = c.taps->leadingTensorRow;
    for (int l = 0; l < s.unitCount; ++l) {
      if (s.units[l].k == 0) {
        const std::ptrdiff_t next =
            static_cast<std::ptrdiff_t>(d.n1) * clampTo(s.units[l].i2 + slot % 5 - 1, d.n2 - 1);
        prefetch(c.out + next + geo[l].planeOff[slot / 5]);
        const std::ptrdiff_t nextTensor =
            static_cast<std::ptrdiff_t>(d.n1) * clampTo(s.units[l].i2 + r % 3, d.n2 - 1) +
            geo[l].planeOff[r / 3 + 1];
        for (int t = 0; t < 6; ++t) {
          prefetch(c.tensor[t] + nextTensor);
          if (d.n1 > 16) prefetch(c.tensor[t] + nextTensor + 16);
        }
      }
      const std::int32_t next = geo[l].c0 + 2 * kChunkColumns + kHalo;
      if (next - kChunkColumns >= d.n1) continue;
      const std::int32_t at = next < d.n1 ? next : d.n1 - 1;
      prefetch(c.out + geo[l].rowOff[slot % 5] + geo[l].planeOff[slot / 5] + at);
      const std::ptrdiff_t row = geo[l].rowOff[r % 3 + 1] + geo[l].planeOff[r / 3 + 1] + at;
      for (int t = 0; t < 6; ++t) prefetch(c.tensor[t] + row);
    }
  }
  s.aliasCount = 0;
  const std::ptrdiff_t rowStep = d.n1, planeStep = static_cast<std::ptrdiff_t>(d.n1) * d.n2;
  static constexpr std::int8_t kAllSlots[kSlots] = {
      0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  const std::int8_t* const slotList = c.taps != nullptr ? c.taps->slots : kAllSlots;
  const int slotCount = c.taps != nullptr ? c.taps->slotCount : kSlots;
  for (int n = 0; n < slotCount; ++n) {
    const int slot = slotList[n];
    const int b = slot % 5, cc = slot / 5;
    const std::ptrdiff_t shift = (b - 2) * rowStep + (cc - 2) * planeStep - kHalo;
    for (int i = 0; i < openCount; ++i) {
      src[open[i]] = openRow[i] + shift;
    }
    bool anyAlias = false;
    for (int i = 0; i < edgeCount; ++i) {
      const int l = edge[i];
      const float* row = c.out + geo[l].rowOff[b] + geo[l].planeOff[cc];
      src[l] = rowWindow<V>(row, geo[l].c0 - kHalo, uCols, d.n1, tmp[l]);
      anyAlias = anyAlias || (geo[l].ownRow[b] && geo[l].ownPlane[cc]);
    }
    if (anyAlias && slot != kSelfSlot) {
      s.aliasSlots[s.aliasCount++] = slot;
      for (int l = 0; l < W; ++l)
        s.alias[slot][l] = maskBits(l < s.unitCount && geo[l].ownRow[b] && geo[l].ownPlane[cc]);
    }
    transposeIn<V>(src, &s.u[slot][0][0], uCols);
  }

  // The tensor at the voxel itself, off-diagonals doubled as in the plain
  // sweep: (2 * t12), formed before it meets s12.
  static constexpr int kVoxelComponent[6] = {0, 3, 5, 1, 2, 4};
  for (int t = 0; t < 6; ++t) {
    for (int l = 0; l < s.unitCount; ++l) {
      const float* row = c.tensor[kVoxelComponent[t]] + geo[l].rowOff[2] + geo[l].planeOff[2];
      src[l] = rowWindow<V>(row, geo[l].c0, rowCols, d.n1, tmp[l]);
    }
    for (int l = s.unitCount; l < W; ++l) src[l] = kZeros;
    transposeIn<V>(src, &s.tensor[t][0][0], rowCols);
  }
  if (c.taps != nullptr) {
    // x - x is NaN exactly when x is infinite or NaN.
    for (int t = 0; t < 6; ++t)
      for (int j = 0; j < rowCols; ++j) {
        const V x = V::load(s.tensor[t][j]);
        probe = probe + (x - x);
      }
  }
  const V two = V::broadcast(2.0f);
  for (int t = 3; t < 6; ++t)
    for (int j = 0; j < rowCols; ++j) (two * V::load(s.tensor[t][j])).store(s.tensor[t][j]);

  if (c.taps != nullptr && c.taps->tensorTapCount == 0) {
    // No tensor tap: q1..q3 stay at their starting +0.
    for (int r = 0; r < 3; ++r)
      for (int j = 0; j < rowCols; ++j) V::broadcast(0.0f).store(s.q[r][j]);
    return;
  }
  if (s.keptQ[0] != nullptr) {
    // Every unit's row was computed whole when its first chunk ran.
    const std::ptrdiff_t stride = divergenceRowStride(d);
    for (int r = 0; r < 3; ++r) {
      for (int l = 0; l < s.unitCount; ++l) src[l] = s.keptQ[l] + r * stride + geo[l].c0;
      for (int l = s.unitCount; l < W; ++l) src[l] = kZeros;
      transposeIn<V>(src, &s.q[r][0][0], rowCols);
    }
    return;
  }
  alignas(64) float qRows[W][3][kCols];
  int l = 0;
  // Four units at once where there are registers for their twelve
  // accumulators (AVX-512), two elsewhere.
  for (; V::kRegisters >= 32 && l + 4 <= s.unitCount; l += 4) {
    float(*const rows[4])[kCols] = {qRows[l], qRows[l + 1], qRows[l + 2], qRows[l + 3]};
    tensorDivergenceRows<V, 4>(c, geo + l, rows, rowCols);
  }
  for (; l + 2 <= s.unitCount; l += 2) {
    float(*const rows[2])[kCols] = {qRows[l], qRows[l + 1]};
    tensorDivergenceRows<V, 2>(c, geo + l, rows, rowCols);
  }
  if (l < s.unitCount) {
    float(*const rows[1])[kCols] = {qRows[l]};
    tensorDivergenceRows<V, 1>(c, geo + l, rows, rowCols);
  }
  for (int r = 0; r < 3; ++r) {
    for (l = 0; l < s.unitCount; ++l) src[l] = qRows[l][r];
    for (l = s.unitCount; l < W; ++l) src[l] = kZeros;
    transposeIn<V>(src, &s.q[r][0][0], rowCols);
  }
}

// The voxels' new values from the sums: shared by the dense and sparse steps.
template <class V>
QUILLMERE_ALWAYS_INLINE V finishVoxel(Stage<V>& s, int t, V g1, V g2, V g3, V s11, V s22, V s33,
                                      V s12, V s13, V s23, V dt, V* probe) {
  const V q1 = V::load(s.q[0][t]), q2 = V::load(s.q[1][t]), q3 = V::load(s.q[2][t]);
  const V firstOrderTerm = ((q1 * g1) + (q2 * g2)) + (q3 * g3);
  V secondOrderTerm = s11 * V::load(s.tensor[0][t]);
  secondOrderTerm = secondOrderTerm + s22 * V::load(s.tensor[1][t]);
  secondOrderTerm = secondOrderTerm + s33 * V::load(s.tensor[2][t]);
  secondOrderTerm = secondOrderTerm + V::load(s.tensor[3][t]) * s12;
  secondOrderTerm = secondOrderTerm + V::load(s.tensor[4][t]) * s13;
  secondOrderTerm = secondOrderTerm + V::load(s.tensor[5][t]) * s23;
  const V total = secondOrderTerm + firstOrderTerm;
  float* const self = s.u[kSelfSlot][t + kHalo];
  const V old = V::load(self);
  const V updated = V::canonicalizeNaN(total * dt + old);
  if (probe != nullptr) *probe = (*probe + (old - old)) + (updated - updated);
  // Later voxels of the row read this value through the stage: through
  // the lane's own row, through clamped rows that are the same row, and,
  // at column 0, through the clamped columns -2 and -1.
  updated.store(self);
  for (int a = 0; a < s.aliasCount; ++a) {
    float* const p = s.u[s.aliasSlots[a]][t + kHalo];
    V::select(V::load(s.alias[s.aliasSlots[a]]), updated, V::load(p)).store(p);
  }
  if (t == 0) {
    const V first = V::load(s.firstChunk);
    for (int a = -1; a < s.aliasCount; ++a) {
      const int slot = a < 0 ? kSelfSlot : s.aliasSlots[a];
      const V mask = a < 0 ? first : V::select(first, V::load(s.alias[slot]), first);
      for (int j = 0; j < kHalo; ++j)
        V::select(mask, updated, V::load(s.u[slot][j])).store(s.u[slot][j]);
    }
  }
  return updated;
}

// Runs the voxels of G groups in lock step, so each weight is fetched once
// for G vectors of independent voxels. Per lane, the operations and their
// order are those of updateVolumePlain at that voxel.
template <class V, int G>
void runSteps(const SweepContext& c, Stage<V>* const* stages) {
  constexpr int W = V::kLanes;
  int steps = 0;
  QUILLMERE_UNROLL
  for (int g = 0; g < G; ++g)
    if (stages[g]->steps > steps) steps = stages[g]->steps;
  const float* const* k = c.gradient;
  const float* const* h = c.hessian;
  const V dt = V::broadcast(c.dt);

  for (int t = 0; t < steps; ++t) {
    V g1[G], g2[G], g3[G], s11[G], s22[G], s33[G], s12[G], s13[G], s23[G];
    QUILLMERE_UNROLL
    for (int g = 0; g < G; ++g) {
      g1[g] = V::broadcast(0.0f);
      g2[g] = g1[g], g3[g] = g1[g];
      s11[g] = g1[g], s22[g] = g1[g], s33[g] = g1[g];
      s12[g] = g1[g], s13[g] = g1[g], s23[g] = g1[g];
    }
    // The 27 first-order taps are the inner 3x3x3 of the 125 taps, visited
    // in the same nested order, so both passes share each sample load.
    for (int cc = 0; cc < 5; ++cc) {
      for (int bb = 0; bb < 5; ++bb) {
        const int slot = bb + 5 * cc;
        const bool inner = bb >= 1 && bb <= 3 && cc >= 1 && cc <= 3;
        QUILLMERE_UNROLL
        for (int aa = 0; aa < 5; ++aa) {
          const int m = aa + 5 * bb + 25 * cc;
          const V w11 = V::broadcast(h[0][m]);
          const V w22 = V::broadcast(h[1][m]);
          const V w33 = V::broadcast(h[2][m]);
          const V w12 = V::broadcast(h[3][m]);
          const V w13 = V::broadcast(h[4][m]);
          const V w23 = V::broadcast(h[5][m]);
          QUILLMERE_UNROLL
          for (int g = 0; g < G; ++g) {
            const V U = V::load(stages[g]->u[slot][t + aa]);
            s11[g] = s11[g] + U * w11;
            s22[g] = s22[g] + U * w22;
            s33[g] = s33[g] + U * w33;
            s12[g] = s12[g] + U * w12;
            s13[g] = s13[g] + U * w13;
            s23[g] = s23[g] + U * w23;
          }
          if (inner && aa >= 1 && aa <= 3) {
            const int mg = (aa - 1) + 3 * (bb - 1) + 9 * (cc - 1);
            const V w1 = V::broadcast(k[0][mg]);
            const V w2 = V::broadcast(k[1][mg]);
            const V w3 = V::broadcast(k[2][mg]);
            QUILLMERE_UNROLL
            for (int g = 0; g < G; ++g) {
              const V U = V::load(stages[g]->u[slot][t + aa]);
              g1[g] = g1[g] + U * w1;
              g2[g] = g2[g] + U * w2;
              g3[g] = g3[g] + U * w3;
            }
          }
        }
      }
    }
    QUILLMERE_UNROLL
    for (int g = 0; g < G; ++g)
      finishVoxel<V>(*stages[g], t, g1[g], g2[g], g3[g], s11[g], s22[g], s33[g], s12[g], s13[g],
                     s23[g], dt, nullptr);
  }
  (void)W;
}

// The dense step with only the listed taps: the nine accumulators walk
// their lists side by side, each in weight order, a shorter list idling
// where the longer ones go on (its padding would add +0 products). Why leaving out zero weights
// keeps the bits: see buildSparseTaps.
template <class V, int G>
void runStepsSparse(const SweepContext& c, Stage<V>* const* stages, V& probe) {
  constexpr int W = V::kLanes;
  int steps = 0;
  QUILLMERE_UNROLL
  for (int g = 0; g < G; ++g)
    if (stages[g]->steps > steps) steps = stages[g]->steps;
  const SparseTaps& taps = *c.taps;
  const V dt = V::broadcast(c.dt);
  const int hn = taps.hessianLength, gn = taps.gradientLength;
  for (int t = 0; t < steps; ++t) {
    // Unrolled in full, so that the accumulators stay in registers.
    V a[G][9];
    QUILLMERE_UNROLL
    for (int g = 0; g < G; ++g) {
      QUILLMERE_UNROLL_FULL
      for (int j = 0; j < 9; ++j) a[g][j] = V::broadcast(0.0f);
    }
    const int n = hn > gn ? hn : gn;
    for (int i = 0; i < n; ++i) {
      if (i < hn) {
        const unsigned live = taps.hessianLive[i];
        QUILLMERE_UNROLL_FULL
        for (int j = 0; j < 6; ++j) {
          if (((live >> j) & 1u) == 0) continue;  // padding: a +0 product
          const V w = V::broadcast(taps.hessianWeight[j][i]);
          const std::ptrdiff_t at = (static_cast<std::ptrdiff_t>(taps.hessianAt[j][i]) + t) * W;
          QUILLMERE_UNROLL
          for (int g = 0; g < G; ++g) a[g][j] = a[g][j] + V::load(&stages[g]->u[0][0][0] + at) * w;
        }
      }
      if (i < gn) {
        const unsigned live = taps.gradientLive[i];
        QUILLMERE_UNROLL_FULL
        for (int j = 0; j < 3; ++j) {
          if (((live >> j) & 1u) == 0) continue;
          const V w = V::broadcast(taps.gradientWeight[j][i]);
          const std::ptrdiff_t at = (static_cast<std::ptrdiff_t>(taps.gradientAt[j][i]) + t) * W;
          QUILLMERE_UNROLL
          for (int g = 0; g < G; ++g)
            a[g][6 + j] = a[g][6 + j] + V::load(&stages[g]->u[0][0][0] + at) * w;
        }
      }
    }
    QUILLMERE_UNROLL
    for (int g = 0; g < G; ++g)
      finishVoxel<V>(*stages[g], t, a[g][6], a[g][7], a[g][8], a[g][0], a[g][1], a[g][2], a[g][3],
                     a[g][4], a[g][5], dt, &probe);
  }
}

// Stores each live unit's updated chunk into the volume.
template <class V>
void storeStage(const SweepContext& c, Stage<V>& s) {
  constexpr int W = V::kLanes;
  alignas(64) float rows[W][kWindow];
  float* dst[W];
  for (int l = 0; l < W; ++l) dst[l] = rows[l];
  transposeOut<V>(&s.u[kSelfSlot][0][0], dst, s.windowColumns);
  const VolumeDims d = c.dims;
  for (int l = 0; l < s.unitCount; ++l) {
    const Unit& u = s.units[l];
    const std::int32_t c0 = u.k * kChunkColumns;
    const std::int32_t len = d.n1 - c0 < kChunkColumns ? d.n1 - c0 : kChunkColumns;
    float* const to = c.out + rowOffset(u.i2, u.i3, d) + c0;
    // A whole chunk in a copy of known length, which the compiler inlines.
    if (len == kChunkColumns) {
      std::memcpy(to, rows[l] + kHalo, kChunkColumns * sizeof(float));
    } else {
      std::memcpy(to, rows[l] + kHalo, static_cast<std::size_t>(len) * sizeof(float));
    }
  }
}

template <class V, int G>
void runGroups(const SweepContext& c, Stage<V>* const* stages, V& probe) {
  QUILLMERE_UNROLL
  for (int g = 0; g < G; ++g) loadStage<V>(c, *stages[g], probe);
  if (c.taps != nullptr) {
    runStepsSparse<V, G>(c, stages, probe);
  } else {
    runSteps<V, G>(c, stages);
  }
  QUILLMERE_UNROLL
  for (int g = 0; g < G; ++g) storeStage<V>(c, *stages[g]);
}

// All units of the region, level by level, W to a group and up to kGroups
// groups in lock step (a level's last groups may run partly filled, or
// alone).
// Whether any lane of the probe turned NaN.
template <class V>
bool probeTripped(V probe) {
  alignas(64) float lanes[V::kLanes];
  probe.store(lanes);
  bool tripped = false;
  for (float x : lanes) tripped = tripped || x != x;
  return tripped;
}

template <class V, int kGroups>
bool sweepRegionWith(const SweepContext& c, const SweepRegion& r) {
  constexpr int W = V::kLanes;
  const VolumeDims d = c.dims;
  const std::int32_t planeEnd = r.planeEnd < d.n3 ? r.planeEnd : d.n3;
  const std::int32_t rowEnd = r.rowEnd < d.n2 ? r.rowEnd : d.n2;
  const std::int32_t planeBegin = r.planeBegin > 0 ? r.planeBegin : 0;
  const std::int32_t rowBegin = r.rowBegin > 0 ? r.rowBegin : 0;
  if (planeBegin >= planeEnd || rowBegin >= rowEnd) return false;
  std::int64_t levelBegin = firstLevel(rowBegin, planeBegin);
  std::int64_t levelEnd = lastLevel(d, rowEnd, planeEnd) + 1;
  if (r.levelBegin > levelBegin) levelBegin = r.levelBegin;
  if (r.levelEnd < levelEnd) levelEnd = r.levelEnd;

  Stage<V> stage[kGroups];
  Stage<V>* stages[kGroups];
  for (int g = 0; g < kGroups; ++g) stages[g] = &stage[g];
  int filled = 0;  // full groups
  stage[0].unitCount = 0;
  V probe = V::broadcast(0.0f);
  bool oneByOneTripped = false;

  auto run = [&]() {
    const int groups = filled + (filled < kGroups && stage[filled].unitCount > 0 ? 1 : 0);
    if (groups == 1 && W > 1 && stage[0].unitCount > 0) {
      int voxels = 0;
      for (int l = 0; l < stage[0].unitCount; ++l) {
        const std::int32_t rest = d.n1 - stage[0].units[l].k * kChunkColumns;
        voxels += rest < kChunkColumns ? static_cast<int>(rest) : kChunkColumns;
      }
      if (voxels < c.oneByOneBelowVoxels) {
        if (runUnitsOneByOne(c, stage[0].units, stage[0].unitCount)) oneByOneTripped = true;
        filled = 0;
        stage[0].unitCount = 0;
        return;
      }
    }
    if (groups == kGroups) {
      runGroups<V, kGroups>(c, stages, probe);
    } else {
      for (int g = 0; g < groups; ++g) runGroups<V, 1>(c, &stages[g], probe);
    }
    filled = 0;
    stage[0].unitCount = 0;
  };

  // Rows' divergences kept from their first chunk to their last: with
  // lists reading the tensor, on rows long enough for whole vectors.
  float* const kept = r.divergenceRows != nullptr && c.taps != nullptr &&
                              c.taps->tensorTapCount > 0 && d.n1 >= W + 2
                          ? r.divergenceRows
                          : nullptr;
  const std::int32_t keptRows = divergenceRowsKept(d);
  const std::ptrdiff_t keptStride = divergenceRowStride(d);

  for (std::int64_t level = levelBegin; level < levelEnd; ++level) {
    for (std::int32_t i3 = firstPlaneAtLevel(level, d, rowEnd, planeBegin); i3 < planeEnd; ++i3) {
      if (level < firstLevel(0, i3)) break;  // nor has any later plane
      const RowRange rows = rowsAtLevel(level, i3, d, rowBegin, rowEnd);
      for (std::int64_t i2 = rows.lo; i2 <= rows.hi; ++i2) {
        Stage<V>& s = stage[filled];
        const std::int32_t k = static_cast<std::int32_t>(level - unitLevel(0, i2, i3));
        float* q = nullptr;
        if (kept != nullptr) {
          q = kept + (static_cast<std::ptrdiff_t>(i3 - planeBegin) * keptRows + i2 % keptRows) * 3 *
                         keptStride;
          if (k == 0) divergenceRow<V>(c, static_cast<std::int32_t>(i2), i3, q, keptStride);
        }
        s.keptQ[s.unitCount] = q;
        s.units[s.unitCount++] = Unit{k, static_cast<std::int32_t>(i2), i3};
        if (s.unitCount == W) {
          if (++filled == kGroups) {
            run();
          } else {
            stage[filled].unitCount = 0;
          }
        }
      }
    }
    run();  // units of the next level may depend on this one's
  }
  return oneByOneTripped || probeTripped(probe);
}

}  // namespace
}  // namespace quillmere::sweep

#endif  // QUILLMERE_CORE_SWEEP_KERNEL_BODY_H
