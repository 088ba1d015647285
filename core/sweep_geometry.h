// The wavefront's geometry, written once: units of work, their levels, and
// which units a level holds. Internal to the core; no instruction-set code.
//
// A row is cut into chunks of kChunkColumns voxels; a unit of work is one
// chunk of one row, (k, i2, i3), at level k + 2*i2 + 6*i3. Running the
// levels in increasing order, the units of a level in any order and any
// grouping, gives the plain sweep's bits (docs/design.md derives the level;
// tests/test_threaded_sweep.cpp checks it pair by pair).
#ifndef QUILLMERE_CORE_SWEEP_GEOMETRY_H
#define QUILLMERE_CORE_SWEEP_GEOMETRY_H

#include <cstddef>
#include <cstdint>

#include "core/volume_grid.h"

namespace quillmere::sweep {

constexpr std::int32_t kChunkColumns = 12;

// One unit of work: chunk k of row (i2, i3).
struct SweepUnit {
  std::int32_t k, i2, i3;
};

// Chunks per row.
inline std::int32_t chunkCount(VolumeDims dims) {
  return dims.n1 / kChunkColumns + (dims.n1 % kChunkColumns != 0 ? 1 : 0);
}

inline std::int64_t unitLevel(std::int64_t k, std::int64_t i2, std::int64_t i3) {
  return k + 2 * i2 + 6 * i3;
}

// The lowest and highest levels holding a unit of rows [rowBegin, rowEnd) of
// planes [planeBegin, planeEnd) (both ranges non-empty).
inline std::int64_t firstLevel(std::int32_t rowBegin, std::int32_t planeBegin) {
  return unitLevel(0, rowBegin, planeBegin);
}
inline std::int64_t lastLevel(VolumeDims dims, std::int32_t rowEnd, std::int32_t planeEnd) {
  return unitLevel(chunkCount(dims) - 1, rowEnd - 1, planeEnd - 1);
}

// Levels of the whole volume.
inline std::int64_t levelCount(VolumeDims dims) { return lastLevel(dims, dims.n2, dims.n3) + 1; }

// The first plane at or after planeBegin that can hold a unit of `level`
// among rows below rowEnd: lower planes would need k + 2*i2 past the row's
// last chunk.
inline std::int32_t firstPlaneAtLevel(std::int64_t level, VolumeDims dims, std::int32_t rowEnd,
                                      std::int32_t planeBegin) {
  const std::int64_t over = level - unitLevel(chunkCount(dims) - 1, rowEnd - 1, 0);
  if (over <= 6 * static_cast<std::int64_t>(planeBegin)) return planeBegin;
  return static_cast<std::int32_t>((over + 5) / 6);
}

// The rows [lo, hi] of plane i3 within [rowBegin, rowEnd) holding a unit of
// `level` (empty when lo > hi); row i2's unit there is chunk
// level - 2*i2 - 6*i3.
struct RowRange {
  std::int64_t lo, hi;
};
inline RowRange rowsAtLevel(std::int64_t level, std::int32_t i3, VolumeDims dims,
                            std::int32_t rowBegin, std::int32_t rowEnd) {
  const std::int64_t rest = level - 6 * static_cast<std::int64_t>(i3);  // k + 2*i2
  if (rest < 0) return {1, 0};
  const std::int64_t lowest = rest - chunkCount(dims) + 1;  // 2*i2 >= rest - (chunks - 1)
  RowRange r{lowest > 0 ? (lowest + 1) / 2 : 0, rest / 2};
  if (r.lo < rowBegin) r.lo = rowBegin;
  if (r.hi > rowEnd - 1) r.hi = rowEnd - 1;
  return r;
}

// Rows of divergences (q1..q3) kept per plane by a band's sweep, which
// computes a row's divergences whole when its first chunk runs and reads
// them for its later chunks: row i2 is kept in place i2 mod
// divergenceRowsKept. Row i2 is last read at level 2*i2 + 6*i3 + chunks - 1,
// and the next row kept in its place, i2 + R, first written at
// 2*(i2 + R) + 6*i3, which is later when 2R >= chunks + 1.
inline std::int32_t divergenceRowsKept(VolumeDims dims) { return (chunkCount(dims) + 2) / 2; }

// Floats between two kept rows (and between q1, q2 and q3 of one row): the
// row and room for a whole vector read from its last chunk.
inline std::ptrdiff_t divergenceRowStride(VolumeDims dims) {
  return (static_cast<std::ptrdiff_t>(dims.n1) + 16 + 15) / 16 * 16;
}

// Floats of the kept rows of a band of `planes` planes.
inline std::size_t divergenceRowFloats(VolumeDims dims, std::int32_t planes) {
  return static_cast<std::size_t>(planes) * static_cast<std::size_t>(divergenceRowsKept(dims)) *
         3u * static_cast<std::size_t>(divergenceRowStride(dims));
}

}  // namespace quillmere::sweep

#endif  // QUILLMERE_CORE_SWEEP_GEOMETRY_H
