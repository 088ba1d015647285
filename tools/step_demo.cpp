// Steps a generated volume a few times with central-difference stencils and
// an isotropic tensor, and prints what happened: a smoke run of the core
// without any host.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/update_sweep.h"

namespace {

using quillmere::VolumeDims;

// 3x3x3 central difference along one axis (weights at offsets -1 and +1).
std::vector<float> firstDifference(int axis) {
  std::vector<float> k(27, 0.0f);
  const std::size_t stride = axis == 0 ? 1 : (axis == 1 ? 3 : 9);
  k[13 - stride] = -0.5f;
  k[13 + stride] = 0.5f;
  return k;
}

// 5x5x5 second difference along one axis (1, -2, 1 around the centre).
std::vector<float> secondDifference(int axis) {
  std::vector<float> k(125, 0.0f);
  const std::size_t stride = axis == 0 ? 1 : (axis == 1 ? 5 : 25);
  k[62 - stride] = 1.0f;
  k[62] = -2.0f;
  k[62 + stride] = 1.0f;
  return k;
}

double rms(const std::vector<float>& a, const std::vector<float>& b) {
  double acc = 0.0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    acc += d * d;
  }
  return std::sqrt(acc / static_cast<double>(a.size()));
}

}  // namespace

int main() {
  const VolumeDims dims{48, 48, 48};
  const size_t count = static_cast<size_t>(dims.n1) * static_cast<size_t>(dims.n2) *
                       static_cast<size_t>(dims.n3);
  std::vector<float> clean(count), u(count);
  unsigned state = 12345u;
  for (int i3 = 0; i3 < dims.n3; ++i3) {
    for (int i2 = 0; i2 < dims.n2; ++i2) {
      for (int i1 = 0; i1 < dims.n1; ++i1) {
        const size_t e = static_cast<size_t>(quillmere::linearIndex(i1, i2, i3, dims));
        const float x = static_cast<float>(i1 - 24), y = static_cast<float>(i2 - 24);
        clean[e] = (x * x + y * y < 100.0f) ? 1.0f : 0.0f;  // a tube along axis 3
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        u[e] = clean[e] + 0.4f * noise;
      }
    }
  }
  const std::vector<float> ones(count, 1.0f), zeros(count, 0.0f);
  const auto k1 = firstDifference(0), k2 = firstDifference(1), k3 = firstDifference(2);
  const auto k11 = secondDifference(0), k22 = secondDifference(1), k33 = secondDifference(2);
  const std::vector<float> kz(125, 0.0f);
  auto view = [&](const std::vector<float>& v) { return quillmere::VolumeView{v.data(), dims}; };
  const quillmere::TensorField tensor{view(ones), view(zeros), view(zeros),
                                      view(ones), view(zeros), view(ones)};
  const quillmere::GradientStencils g{k1.data(), k2.data(), k3.data()};
  const quillmere::HessianStencils h{k11.data(), k22.data(), k33.data(),
                                     kz.data(),  kz.data(),  kz.data()};

  const int steps = 5;
  const float dt = 0.1f;
  std::printf("quillmere core demo: %dx%dx%d volume, isotropic tensor, dt = %g, %d steps\n",
              dims.n1, dims.n2, dims.n3, static_cast<double>(dt), steps);
  std::printf("  rms distance to clean volume before: %.5f\n", rms(u, clean));
  const auto start = std::chrono::steady_clock::now();
  for (int s = 0; s < steps; ++s) {
    quillmere::updateVolume({u.data(), dims}, tensor, g, h, dt, dims);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("  rms distance to clean volume after:  %.5f\n", rms(u, clean));
  std::printf("  %.1f ms per step, %.0f ns per voxel\n", 1e3 * seconds / steps,
              1e9 * seconds / steps / static_cast<double>(count));
  return 0;
}
