#include "tests/windows/results_file.h"

#include <cstdio>
#include <cstring>

namespace quillmere::testing {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'G', 'W', 'C', 'A', 'S', 'E'};
constexpr std::uint32_t kFormatVersion = 1;
// More samples than any recorded call has: a corrupt count stops here.
constexpr std::uint32_t kMaxSamples = 1u << 24;

}  // namespace

ResultsWriter::ResultsWriter(std::uint32_t count) : bytes_(kMagic, kMagic + sizeof kMagic) {
  put32(kFormatVersion);
  put32(count);
}

void ResultsWriter::put32(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void ResultsWriter::put64(std::uint64_t v) {
  put32(static_cast<std::uint32_t>(v));
  put32(static_cast<std::uint32_t>(v >> 32));
}

void ResultsWriter::add(const RecordedCall& call) {
  put32(call.index);
  put64(call.hash);
  put32(static_cast<std::uint32_t>(call.dims.size()));
  for (int e : call.dims) put32(static_cast<std::uint32_t>(e));
  put32(static_cast<std::uint32_t>(call.bits.size()));
  for (std::uint32_t b : call.bits) put32(b);
}

bool ResultsWriter::save(const char* path, std::string& error) const {
  std::FILE* f = std::fopen(path, "wb");
  const bool written = f && std::fwrite(bytes_.data(), 1, bytes_.size(), f) == bytes_.size();
  if (f && std::fclose(f) != 0) f = nullptr;
  if (!written || !f) error = std::string("cannot write ") + path;
  return error.empty();
}

ResultsReader::ResultsReader(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) {
    error_ = std::string("cannot read the recorded results ") + path;
    return;
  }
  unsigned char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes_.insert(bytes_.end(), buffer, buffer + n);
  std::fclose(f);
  if (bytes_.size() < sizeof kMagic || std::memcmp(bytes_.data(), kMagic, sizeof kMagic) != 0) {
    error_ = std::string(path) + " is not a results file of this driver's format";
    return;
  }
  at_ = sizeof kMagic;
  if (get32() != kFormatVersion) {
    error_ = std::string(path) + " is not a results file of this driver's format";
    return;
  }
  count_ = get32();
}

std::uint32_t ResultsReader::get32() {
  if (at_ + 4 > bytes_.size()) {
    if (error_.empty()) error_ = "the results file is truncated";
    at_ = bytes_.size();
    return 0;
  }
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(bytes_[at_++]) << (8 * i);
  return v;
}

std::uint64_t ResultsReader::get64() {
  const std::uint64_t lo = get32();
  return lo | (static_cast<std::uint64_t>(get32()) << 32);
}

bool ResultsReader::next(RecordedCall& call) {
  call.index = get32();
  call.hash = get64();
  const std::uint32_t ndims = get32();
  if (ndims > 16) error_ = "the results file holds a call of more than 16 extents";
  if (!ok()) return false;
  call.dims.assign(ndims, 0);
  for (int& e : call.dims) e = static_cast<int>(get32());
  const std::uint32_t samples = get32();
  if (samples > kMaxSamples) error_ = "the results file holds an oversized call";
  if (!ok()) return false;
  call.bits.assign(samples, 0);
  for (std::uint32_t& b : call.bits) b = get32();
  return ok();
}

}  // namespace quillmere::testing
