// The host drivers' results file, which the native build writes and a cross
// build checks: little-endian words, written the same everywhere.
//
//   "QMGWCASE", u32 version, u32 count, then per call:
//   u32 index, u64 input hash, u32 ndims, u32 dims[ndims], u32 n, u32 bits[n]
#ifndef QUILLMERE_TESTS_WINDOWS_RESULTS_FILE_H
#define QUILLMERE_TESTS_WINDOWS_RESULTS_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "standin_host.h"
#include "tests/support/standin_arrays.h"

namespace quillmere::testing {

constexpr char kResultsMagic[8] = {'Q', 'M', 'G', 'W', 'C', 'A', 'S', 'E'};
constexpr std::uint32_t kResultsVersion = 1;

struct RecordedCall {
  std::uint32_t index;
  std::uint64_t hash;
  std::vector<int> dims;
  std::vector<std::uint32_t> bits;

  // The same call: index, inputs and output extents.
  bool sameCall(const RecordedCall& o) const {
    return index == o.index && hash == o.hash && dims == o.dims;
  }
};

// FNV-1a over everything a call is given: class, extents and bytes.
inline std::uint64_t hashInputs(const std::vector<const mxArray*>& inputs) {
  std::uint64_t h = 0xcbf29ce484222325u;
  auto mix = [&h](std::uint32_t word) {
    for (int i = 0; i < 4; ++i) {
      h ^= (word >> (8 * i)) & 0xffu;
      h *= 0x100000001b3u;
    }
  };
  for (const mxArray* a : inputs) {
    mix(static_cast<std::uint32_t>(mxGetClassID(a)));
    for (int e : dimsOf(a)) mix(static_cast<std::uint32_t>(e));
    for (unsigned char b : bytesOf(a)) mix(b);
  }
  return h;
}

class ResultsWriter {
 public:
  explicit ResultsWriter(std::uint32_t count)
      : bytes_(kResultsMagic, kResultsMagic + sizeof kResultsMagic) {
    put32(kResultsVersion);
    put32(count);
  }
  void add(const RecordedCall& call) {
    put32(call.index);
    put32(static_cast<std::uint32_t>(call.hash));
    put32(static_cast<std::uint32_t>(call.hash >> 32));
    put32(static_cast<std::uint32_t>(call.dims.size()));
    for (int e : call.dims) put32(static_cast<std::uint32_t>(e));
    put32(static_cast<std::uint32_t>(call.bits.size()));
    for (std::uint32_t b : call.bits) put32(b);
  }
  // "" when written, else why not.
  std::string save(const char* path) const {
    std::FILE* f = std::fopen(path, "wb");
    bool ok = f && std::fwrite(bytes_.data(), 1, bytes_.size(), f) == bytes_.size();
    if (f) ok = std::fclose(f) == 0 && ok;
    return ok ? "" : std::string("cannot write ") + path;
  }

 private:
  void put32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
  }
  std::vector<unsigned char> bytes_;
};

// Every call of a results file; "" when read whole, else why not.
inline std::string readResults(const char* path, std::vector<RecordedCall>* calls) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return std::string("cannot read the recorded results ") + path;
  std::vector<unsigned char> bytes;
  unsigned char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
    bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  std::size_t at = sizeof kResultsMagic;
  bool truncated = false;
  const auto get32 = [&]() -> std::uint32_t {
    if (at + 4 > bytes.size()) {
      truncated = true;
      return 0;
    }
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(bytes[at++]) << (8 * i);
    return v;
  };
  if (bytes.size() < sizeof kResultsMagic ||
      std::memcmp(bytes.data(), kResultsMagic, sizeof kResultsMagic) != 0 ||
      get32() != kResultsVersion)
    return std::string(path) + " is not a results file of this driver's format";
  const std::uint32_t count = get32();
  for (std::uint32_t i = 0; i < count && !truncated; ++i) {
    RecordedCall call;
    call.index = get32();
    call.hash = get32();
    call.hash |= static_cast<std::uint64_t>(get32()) << 32;
    const std::uint32_t ndims = get32();
    if (ndims > 16) return "the results file holds a call of more than 16 extents";
    call.dims.assign(ndims, 0);
    for (int& e : call.dims) e = static_cast<int>(get32());
    const std::uint32_t samples = get32();
    if (samples > (1u << 24)) return "the results file holds an oversized call";
    call.bits.assign(samples, 0);
    for (std::uint32_t& b : call.bits) b = get32();
    if (!truncated) calls->push_back(std::move(call));
  }
  if (truncated) return "the results file is truncated";
  return at == bytes.size() ? "" : std::string(path) + " has trailing bytes";
}

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_WINDOWS_RESULTS_FILE_H
