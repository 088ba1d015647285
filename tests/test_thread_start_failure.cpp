// A thread that cannot be started must not end the call: the sweep finishes
// on the threads that did start, with the plain sweep's bits. Starting a
// std::thread allocates its start-up state with operator new, so this
// executable replaces operator new with one that can be told to fail, which
// makes the start throw std::bad_alloc rather than std::system_error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "core/threaded_sweep.h"
#include "tests/support/sweep_problem.h"

namespace {

// Allocations still allowed before every further one fails; -1: no limit.
std::atomic<long> allocationsLeft{-1};

void* allocate(std::size_t size) {
  long left = allocationsLeft.load();
  while (left >= 0) {
    if (left == 0) throw std::bad_alloc();
    if (allocationsLeft.compare_exchange_weak(left, left - 1)) break;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace quillmere {
namespace {

using testing::SweepProblem;

struct StartCase {
  const char* what;
  long threadsThatStart;  // allocations allowed: one per thread start
};

const StartCase kStartCases[] = {
    {"no worker starts", 0},
    {"one worker starts, the next fails", 1},
    {"two workers start, the third fails", 2},
};

TEST(ThreadStartFailure, TheSweepFinishesOnTheThreadsThatStarted) {
  // Big enough for four threads to pay (see sweepThreadCount).
  SweepProblem p({64, 48, 96});
  std::mt19937 rng(71);
  testing::fillRandom(p, rng);
  const std::vector<float> expected = p.stepPlain();
  ASSERT_EQ(sweepThreadCount(p.dims, 4), 4);

  for (const StartCase& c : kStartCases) {
    SCOPED_TRACE(c.what);
    std::vector<float> out = p.u;
    const MutableVolumeView view{out.data(), p.dims};
    const TensorField tensor = p.tensor();
    const GradientStencils gradient = p.gradient();
    const HessianStencils hessian = p.hessian();
    bool threw = false;
    allocationsLeft.store(c.threadsThatStart);
    try {
      updateVolumeThreaded(view, tensor, gradient, hessian, p.dt, p.dims, 4);
    } catch (...) {
      threw = true;
    }
    allocationsLeft.store(-1);
    EXPECT_FALSE(threw);
    EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0);
  }
}

}  // namespace
}  // namespace quillmere
