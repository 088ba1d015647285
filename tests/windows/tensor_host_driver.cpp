// Drives the tensor module (quillmere_tensor_mex) through the stand-in host:
//
//   quillmere_tensor_host_driver [MODULE] write FILE   record the output bits
//   quillmere_tensor_host_driver [MODULE] check FILE   compare, bit for bit
//
// On Windows MODULE is the quillmere_tensor_mex.mexw64 to load; elsewhere
// the gateway is linked in. The native build writes the file and the
// Windows build checks it under Wine: no platform math function enters the
// results, so the two must agree to the bit. Every call runs on one and on
// three host threads, which must agree too, and one refused call must raise
// its identifier.
//
// Inputs come from splitmix64 and exact integer-to-float steps, the same on
// every platform (the standard distributions are not).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "standin_host.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#if !defined(_WIN32)
extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
#endif

namespace {

std::uint64_t splitmix(std::uint64_t* state) {
  std::uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

mxArray* singleArray(int n1, int n2, int n3, const std::vector<float>& values) {
  const int dims[3] = {n1, n2, n3};
  mxArray* a = standinCreateArray(3, dims, mxSINGLE_CLASS, mxREAL);
  std::memcpy(mxGetData(a), values.data(), values.size() * sizeof(float));
  return a;
}

mxArray* doubles(std::vector<double> values) {
  const int dims[2] = {1, static_cast<int>(values.size())};
  mxArray* a = standinCreateArray(2, dims, mxDOUBLE_CLASS, mxREAL);
  std::memcpy(mxGetData(a), values.data(), values.size() * sizeof(double));
  return a;
}

// The 'central' stencils as the module takes them.
std::vector<std::vector<float>> centralStencils() {
  std::vector<std::vector<float>> k(9);
  for (int i = 0; i < 3; ++i) k[i].assign(27, 0.0f);
  for (int i = 3; i < 9; ++i) k[i].assign(125, 0.0f);
  const int step[3] = {1, 3, 9}, big[3] = {1, 5, 25};
  for (int a = 0; a < 3; ++a) {
    k[a][13 + step[a]] = 0.5f;
    k[a][13 - step[a]] = -0.5f;
    k[3 + a][62 - big[a]] = 1.0f;
    k[3 + a][62] = -2.0f;
    k[3 + a][62 + big[a]] = 1.0f;
  }
  const int pair[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int m = 0; m < 3; ++m) {
    const int a = big[pair[m][0]], b = big[pair[m][1]];
    k[6 + m][62 + a + b] = 0.25f;
    k[6 + m][62 - a - b] = 0.25f;
    k[6 + m][62 + a - b] = -0.25f;
    k[6 + m][62 - a + b] = -0.25f;
  }
  return k;
}

struct Case {
  int n1, n2, n3;
  double kind, sigma, rho, alpha, c, lambda;
  int scaleExponent;  // samples times 2^scaleExponent
};

const Case kCases[] = {
    {13, 11, 9, 1, 1.0, 2.0, 0.001, 1e-4, 0.1, 0},
    {13, 11, 9, 2, 1.0, 2.0, 0.001, 1e-4, 0.1, 0},
    {13, 11, 9, 3, 1.0, 0.0, 0.001, 1e-4, 0.1, 0},
    {9, 1, 17, 2, 0.5, 3.0, 0.01, 1e-8, 0.1, 0},
    {10, 10, 10, 2, 1.0, 1.0, 0.001, 1e40, 0.1, 60},
    {10, 10, 10, 3, 1.0, 1.0, 0.001, 0, 1e-20, -60},
};

// The bits of every output of every case, on `threads` host threads: the six
// tensor components, then the bound of the 'central' stencils on them.
bool runAll(StandinMexFunction module, int threads, std::vector<unsigned char>* bits) {
  standinSetComputeThreads(STANDIN_ANSWER_NUMBER, threads);
  std::uint64_t state = 42;
  const std::vector<std::vector<float>> k = centralStencils();
  for (const Case& c : kCases) {
    std::vector<float> u(static_cast<std::size_t>(c.n1) * c.n2 * c.n3);
    for (float& x : u) {
      const auto r = static_cast<std::int32_t>(splitmix(&state) >> 40) - (1 << 23);
      x = static_cast<float>(r) * 0x1p-23f;
      for (int s = 0; s < (c.scaleExponent > 0 ? c.scaleExponent : -c.scaleExponent); ++s) {
        x *= c.scaleExponent > 0 ? 2.0f : 0.5f;
      }
    }
    const mxArray* in[9] = {doubles({1}),       singleArray(c.n1, c.n2, c.n3, u),
                            doubles({c.kind}),  doubles({c.sigma}),
                            doubles({c.rho}),   doubles({1.0, 0.8, 1.25}),
                            doubles({c.alpha}), doubles({c.c}),
                            doubles({c.lambda})};
    mxArray* out[6] = {};
    StandinCallResult result;
    if (standinCall(module, 6, out, 9, in, &result)) {
      std::fprintf(stderr, "tensor call raised %s: %s\n", result.identifier, result.message);
      return false;
    }
    for (mxArray* o : out) {
      const unsigned char* p = static_cast<const unsigned char*>(mxGetData(o));
      bits->insert(bits->end(), p, p + u.size() * sizeof(float));
    }
    const mxArray* radiusIn[16];
    radiusIn[0] = doubles({2});
    for (int i = 0; i < 6; ++i) radiusIn[1 + i] = out[i];
    for (int i = 0; i < 9; ++i) {
      radiusIn[7 + i] = singleArray(static_cast<int>(k[i].size()), 1, 1, k[i]);
    }
    mxArray* radius[1] = {};
    if (standinCall(module, 1, radius, 16, radiusIn, &result)) {
      std::fprintf(stderr, "bound call raised %s: %s\n", result.identifier, result.message);
      return false;
    }
    const unsigned char* p = static_cast<const unsigned char*>(mxGetData(radius[0]));
    bits->insert(bits->end(), p, p + sizeof(double));
  }
  // A refused call: u of class double.
  const mxArray* bad[9] = {doubles({1}),   doubles({1, 2, 3}), doubles({2}),
                           doubles({1}),   doubles({1}),       doubles({1, 1, 1}),
                           doubles({0.1}), doubles({1}),       doubles({1})};
  mxArray* none[6] = {};
  StandinCallResult refused;
  if (!standinCall(module, 6, none, 9, bad, &refused) ||
      std::strcmp(refused.identifier, "quillmere:tensor:notRealSingle") != 0) {
    std::fprintf(stderr, "a double u was not refused with quillmere:tensor:notRealSingle\n");
    return false;
  }
  return true;
}

#if defined(_WIN32)
StandinMexFunction loadModule(const char* path) {
  HMODULE module = LoadLibraryA(path);
  if (!module) {
    std::fprintf(stderr, "cannot load %s (Windows error %lu)\n", path, GetLastError());
    return nullptr;
  }
  FARPROC entry = GetProcAddress(module, "mexFunction");
  if (!entry) return nullptr;
  return reinterpret_cast<StandinMexFunction>(reinterpret_cast<void (*)(void)>(entry));
}
#endif

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
#if defined(_WIN32)
  if (argc < 2) return 2;
  const StandinMexFunction module = loadModule(argv[arg++]);
  if (!module) return 1;
#else
  const StandinMexFunction module = mexFunction;
#endif
  if (argc != arg + 2) {
    std::fprintf(stderr, "usage: quillmere_tensor_host_driver [MODULE] (write | check) FILE\n");
    return 2;
  }
  const std::string mode = argv[arg];
  const char* file = argv[arg + 1];
  std::vector<unsigned char> one, three;
  if (!runAll(module, 1, &one) || !runAll(module, 3, &three)) return 1;
  if (one != three) {
    std::fprintf(stderr, "one and three threads differ\n");
    return 1;
  }
  if (mode == "write") {
    std::FILE* f = std::fopen(file, "wb");
    if (!f || std::fwrite(one.data(), 1, one.size(), f) != one.size()) return 1;
    std::fclose(f);
    std::printf("recorded %zu bytes\n", one.size());
    return 0;
  }
  std::FILE* f = std::fopen(file, "rb");
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", file);
    return 1;
  }
  std::vector<unsigned char> recorded(one.size() + 1);
  const std::size_t got = std::fread(recorded.data(), 1, recorded.size(), f);
  std::fclose(f);
  if (got != one.size() || std::memcmp(recorded.data(), one.data(), got) != 0) {
    std::fprintf(stderr, "results differ from %s\n", file);
    return 1;
  }
  std::printf("all %zu bytes match %s\n", got, file);
  return 0;
}
