// The threaded sweep: the dependency rule its scheduler relies on, checked
// unit pair by unit pair; the plain sweep's bits for 1 to 8 threads (more
// than this machine's cores), bands of 1 to 3 planes and every path, on
// shapes thinner than the wavefront's lag and with nasty values; the
// thread-count policy; and workers that sweep in the default floating-point
// environment whatever their caller set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "core/sweep_kernels.h"
#include "core/threaded_sweep.h"
#include "core/update_sweep.h"
#include "tests/support/exact_bits.h"
#include "tests/support/hostile_fp.h"
#include "tests/support/sweep_problem.h"

namespace quillmere {
namespace {

using testing::bitDifference;
using testing::SweepProblem;

// What one unit (chunk k of row (i2, i3)) writes and reads of the volume:
// its own row over its chunk, and rows i2-2..i2+2 of planes i3-2..i3+2
// (clamped) over the chunk's columns widened by two (clamped).
struct UnitSpan {
  std::int32_t i2, i3, first, last;  // written: columns [first, last]
  std::int64_t level;
};

UnitSpan spanOf(std::int32_t k, std::int32_t i2, std::int32_t i3, VolumeDims d) {
  const std::int32_t c0 = k * sweep::kChunkColumns;
  const std::int32_t end = c0 + sweep::kChunkColumns < d.n1 ? c0 + sweep::kChunkColumns : d.n1;
  return {i2, i3, c0, end - 1,
          k + 2 * static_cast<std::int64_t>(i2) + 6 * static_cast<std::int64_t>(i3)};
}

std::int32_t clampTo(std::int32_t i, std::int32_t n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

// Whether `reader` reads anything `writer` writes.
bool reads(const UnitSpan& reader, const UnitSpan& writer, VolumeDims d) {
  bool rowRead = false;
  for (int b = -2; b <= 2; ++b)
    for (int c = -2; c <= 2; ++c)
      rowRead = rowRead || (clampTo(reader.i2 + b, d.n2) == writer.i2 &&
                            clampTo(reader.i3 + c, d.n3) == writer.i3);
  if (!rowRead) return false;
  const std::int32_t lo = clampTo(reader.first - 2, d.n1), hi = clampTo(reader.last + 2, d.n1);
  return lo <= writer.last && writer.first <= hi;
}

// The rule written at the scheduler: for units that conflict (one reads
// what the other writes), the one earlier in the sweep has the lower level,
// at most L - 1 when it lies one plane before a unit of level L, at most
// L - 7 two planes before, and none lies three or more planes apart. Hence
// a plane waits only for the two planes before it, up to the level before.
TEST(ThreadedSweep, DependencyRuleHoldsForEveryConflictingPair) {
  std::mt19937 rng(11);
  std::vector<VolumeDims> shapes = {{1, 1, 1},  {1, 1, 7},  {1, 6, 1},  {13, 1, 6}, {25, 4, 5},
                                    {12, 3, 4}, {37, 6, 6}, {24, 5, 3}, {2, 2, 9}};
  std::uniform_int_distribution<int> n1(1, 40), n23(1, 7);
  for (int i = 0; i < 12; ++i) shapes.push_back({n1(rng), n23(rng), n23(rng)});
  for (VolumeDims d : shapes) {
    SCOPED_TRACE(::testing::Message() << d.n1 << "x" << d.n2 << "x" << d.n3);
    std::vector<UnitSpan> units;  // in sweep order
    for (std::int32_t i3 = 0; i3 < d.n3; ++i3) {
      for (std::int32_t i2 = 0; i2 < d.n2; ++i2) {
        for (std::int32_t k = 0; k < sweep::chunkCount(d); ++k)
          units.push_back(spanOf(k, i2, i3, d));
      }
    }
    int conflicts = 0;
    for (std::size_t a = 0; a < units.size(); ++a) {
      for (std::size_t b = a + 1; b < units.size(); ++b) {
        const UnitSpan& early = units[a];
        const UnitSpan& late = units[b];
        if (!reads(early, late, d) && !reads(late, early, d)) continue;
        ++conflicts;
        const std::int32_t apart = late.i3 - early.i3;
        ASSERT_LE(apart, 2);
        const std::int64_t bound = apart <= 1 ? late.level - 1 : late.level - 7;
        ASSERT_LE(early.level, bound) << "units at planes " << early.i3 << " and " << late.i3;
      }
    }
    if (units.size() > 1) {
      EXPECT_GT(conflicts, 0);
    }
  }
}

std::vector<float> stepWavefront(const SweepProblem& p, SweepPath path, int threads, int band,
                                 int oneByOneBelow) {
  std::vector<float> out = p.u;
  const sweep::SweepKernels kernels = sweep::sweepKernelsFor(path);
  sweep::SweepContext context = sweep::makeSweepContext({out.data(), p.dims}, p.tensor(),
                                                        p.gradient(), p.hessian(), p.dt, p.dims);
  context.oneByOneBelowVoxels = oneByOneBelow;
  sweep::runWavefront(kernels, context, threads, band);
  return out;
}

std::vector<SweepPath> supportedPaths() {
  std::vector<SweepPath> paths;
  for (SweepPath p : {SweepPath::Plain, SweepPath::Baseline, SweepPath::Avx2, SweepPath::Avx512})
    if (sweepPathSupported(p) && sweep::sweepKernelsFor(p).path == p) paths.push_back(p);
  return paths;
}

// Shapes around the wavefront's lag: fewer planes than threads, single
// planes, rows and columns, rows shorter than a chunk or one voxel past it,
// and a few larger random ones.
std::vector<VolumeDims> awkwardShapes() {
  std::vector<VolumeDims> shapes = {{1, 1, 1},   {1, 1, 9},  {5, 1, 7},   {13, 2, 3},
                                    {12, 1, 8},  {30, 7, 9}, {25, 3, 17}, {40, 9, 2},
                                    {7, 30, 11}, {61, 5, 8}, {3, 3, 3},   {24, 6, 5}};
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> n1(1, 50), n2(1, 12), n3(1, 20);
  for (int i = 0; i < 6; ++i) shapes.push_back({n1(rng), n2(rng), n3(rng)});
  return shapes;
}

TEST(ThreadedSweep, MatchesPlainForEveryThreadCountBandAndPath) {
  std::mt19937 rng(21);
  for (VolumeDims d : awkwardShapes()) {
    SweepProblem p(d);
    testing::fillRandom(p, rng);
    const std::vector<float> expected = p.stepPlain();
    for (SweepPath path : supportedPaths()) {
      for (int threads = 1; threads <= 8; ++threads) {
        for (int band = 0; band <= 3; ++band) {
          SCOPED_TRACE(::testing::Message()
                       << d.n1 << "x" << d.n2 << "x" << d.n3 << " " << sweepPathName(path)
                       << " threads " << threads << " band " << band);
          // Vectors however few units a level holds; for the default band
          // size, sparse groups one unit at a time, as updateVolume runs them.
          const int oneByOneBelow = band == 0 ? sweep::kOneByOneBelowVoxels : 0;
          ASSERT_EQ(
              bitDifference(expected, stepWavefront(p, path, threads, band, oneByOneBelow), d), "");
        }
      }
    }
  }
}

TEST(ThreadedSweep, MatchesPlainOnNastyValues) {
  std::mt19937 rng(31);
  for (VolumeDims d : {VolumeDims{29, 8, 13}, VolumeDims{14, 5, 6}}) {
    SweepProblem p(d);
    testing::fillRandom(p, rng);
    testing::fillNasty(p.u, rng, 6);
    for (auto& c : p.t) testing::fillNasty(c, rng, 3);
    testing::fillNasty(p.h[1], rng, 10);
    testing::fillNasty(p.k[2], rng, 10);
    const std::vector<float> expected = p.stepPlain();
    for (SweepPath path : supportedPaths()) {
      for (int threads : {2, 3, 5, 8}) {
        SCOPED_TRACE(::testing::Message() << sweepPathName(path) << " threads " << threads);
        EXPECT_EQ(bitDifference(expected, stepWavefront(p, path, threads, 1, 0), d), "");
        EXPECT_EQ(bitDifference(expected, stepWavefront(p, path, threads, 2, 0), d), "");
      }
    }
  }
}

// Through the public entry, on a volume big enough for several threads.
TEST(ThreadedSweep, PublicEntryMatchesPlain) {
  const VolumeDims d{64, 48, 64};
  ASSERT_EQ(sweepThreadCount(d, 4), 3);
  SweepProblem p(d);
  std::mt19937 rng(41);
  testing::fillRandom(p, rng);
  const std::vector<float> expected = p.stepPlain();
  for (int threads : {1, 2, 4, 7}) {
    const std::vector<float> got =
        p.step([threads](MutableVolumeView out, const TensorField& t, const GradientStencils& g,
                         const HessianStencils& h, float dt, VolumeDims dims) {
          updateVolumeThreaded(out, t, g, h, dt, dims, threads);
        });
    EXPECT_EQ(bitDifference(expected, got, d), "") << threads << " threads";
  }
  // Extents of 0: nothing read or written, no thread started.
  std::vector<float> none(4, 1.0f);
  updateVolumeThreaded({none.data(), {0, 2, 2}}, p.tensor(), p.gradient(), p.hessian(), p.dt,
                       {0, 2, 2}, 4);
  EXPECT_EQ(none, std::vector<float>(4, 1.0f));
}

TEST(ThreadedSweep, ThreadCountPolicy) {
  EXPECT_EQ(sweepThreadCount({128, 128, 128}, 0), 1);
  EXPECT_EQ(sweepThreadCount({128, 128, 128}, -3), 1);
  EXPECT_EQ(sweepThreadCount({128, 128, 128}, 2), 2);
  EXPECT_EQ(sweepThreadCount({128, 128, 128}, 1000), 32);  // 65536 voxels a thread
  EXPECT_EQ(sweepThreadCount({512, 512, 256}, 1000), kMaxSweepThreads);
  EXPECT_EQ(sweepThreadCount({256, 256, 3}, 8), 3);  // one plane each at most
  EXPECT_EQ(sweepThreadCount({48, 48, 48}, 8), 1);   // 110592 voxels: not yet
  EXPECT_EQ(sweepThreadCount({16, 16, 16}, 8), 1);   // too small to pay
  EXPECT_EQ(sweepThreadCount({4, 512, 512}, 8), 1);  // left to the plain sweep
  EXPECT_EQ(sweepThreadCount({0, 512, 512}, 8), 1);
  const int available = processorsAvailable();
  EXPECT_GE(available, 1);
  EXPECT_LE(available, kMaxSweepThreads);
  // The host's setting; a pool worker held to one thread gets one. Never
  // more than the processors this process may use.
  EXPECT_EQ(threadsForHostSetting(1.0), 1);
  EXPECT_EQ(threadsForHostSetting(3.0), std::min(3, available));
  EXPECT_EQ(threadsForHostSetting(2.9), std::min(2, available));
  EXPECT_EQ(threadsForHostSetting(1.0e9), available);
  EXPECT_EQ(threadsForHostSetting(kMaxSweepThreads + 1.0), available);
  for (double unusable :
       {0.0, 0.5, -4.0, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
    EXPECT_EQ(threadsForHostSetting(unusable), available) << unusable;
}

// Threads inherit their creator's control state; each worker must still
// sweep in round-to-nearest with subnormals kept, and the caller's state
// must come back unchanged.
TEST(ThreadedSweep, WorkersSweepInTheDefaultEnvironment) {
  const VolumeDims d{40, 10, 12};
  SweepProblem p(d);
  std::mt19937 rng(51);
  testing::fillRandom(p, rng);
  for (float& x : p.u) x *= 1.0e-37f;  // subnormal operands and results
  p.dt = 0.3f;
  const std::vector<float> expected = p.stepPlain();
  for (const testing::FpSetting& s : testing::hostileFpSettings()) {
    std::uint64_t before = 0, after = 0;
    std::vector<float> got;
    {
      const testing::FpEnvironmentScope hostile(s);
      before = testing::fpControlState();
      got = stepWavefront(p, SweepPath::Automatic, 3, 1, 0);
      after = testing::fpControlState();
    }
    EXPECT_EQ(after, before) << s.name;
    EXPECT_EQ(bitDifference(expected, got, d), "") << s.name;
  }
}

}  // namespace
}  // namespace quillmere
