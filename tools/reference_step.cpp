// quillmere_reference_step IN OUT
//
// Runs one step of the plain voxel-by-voxel sweep on inputs read from the
// raw file IN and writes the stepped volume to OUT, so host-level tests can
// compare a module's output (whichever path it runs) with the reference. Both files are in native
// byte order:
//
//   IN:  int32 n1, n2, n3; then float32 u[N], t11[N], t12[N], t13[N],
//        t22[N], t23[N], t33[N] (N = n1*n2*n3), k1, k2, k3 [27 each],
//        k11, k22, k33, k12, k13, k23 [125 each], dt
//   OUT: float32 u[N]
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/update_sweep.h"

namespace {

bool readFloats(std::FILE* f, std::vector<float>& v, std::size_t count) {
  v.resize(count);
  return std::fread(v.data(), sizeof(float), count, f) == count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  std::int32_t n[3];
  bool ok = std::fread(n, sizeof n[0], 3, in) == 3 && n[0] >= 0 && n[1] >= 0 && n[2] >= 0 &&
            static_cast<double>(n[0]) * n[1] * n[2] < 2147483648.0;
  const quillmere::VolumeDims dims{ok ? n[0] : 0, ok ? n[1] : 0, ok ? n[2] : 0};
  const std::size_t count = static_cast<std::size_t>(dims.n1) * static_cast<std::size_t>(dims.n2) *
                            static_cast<std::size_t>(dims.n3);
  std::vector<float> u, t[6], k[3], h[6], dt;
  ok = ok && readFloats(in, u, count);
  for (auto& c : t) ok = ok && readFloats(in, c, count);
  for (auto& c : k) ok = ok && readFloats(in, c, quillmere::kGradientTaps);
  for (auto& c : h) ok = ok && readFloats(in, c, quillmere::kHessianTaps);
  ok = ok && readFloats(in, dt, 1);
  std::fclose(in);
  if (!ok) {
    std::fprintf(stderr, "%s: truncated or malformed input\n", argv[1]);
    return 1;
  }

  auto view = [&](const std::vector<float>& v) { return quillmere::VolumeView{v.data(), dims}; };
  const quillmere::TensorField tensor{view(t[0]), view(t[1]), view(t[2]),
                                      view(t[3]), view(t[4]), view(t[5])};
  const quillmere::GradientStencils gradient{k[0].data(), k[1].data(), k[2].data()};
  const quillmere::HessianStencils hessian{h[0].data(), h[1].data(), h[2].data(),
                                           h[3].data(), h[4].data(), h[5].data()};
  quillmere::updateVolumePlain(quillmere::MutableVolumeView{u.data(), dims}, tensor, gradient,
                               hessian, dt[0], dims);

  std::FILE* out = std::fopen(argv[2], "wb");
  if (!out || std::fwrite(u.data(), sizeof(float), count, out) != count) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    if (out) std::fclose(out);
    return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
