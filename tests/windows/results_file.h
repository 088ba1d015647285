// The results file the native build writes and the Windows build checks:
// little-endian words, written the same everywhere.
//
//   "QMGWCASE", u32 version, u32 count, then per call:
//   u32 index, u64 input hash, u32 ndims, u32 dims[ndims], u32 n, u32 bits[n]
#ifndef QUILLMERE_TESTS_WINDOWS_RESULTS_FILE_H
#define QUILLMERE_TESTS_WINDOWS_RESULTS_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillmere::testing {

struct RecordedCall {
  std::uint32_t index;
  std::uint64_t hash;
  std::vector<int> dims;
  std::vector<std::uint32_t> bits;
};

class ResultsWriter {
 public:
  explicit ResultsWriter(std::uint32_t count);
  void add(const RecordedCall& call);
  // False (with the reason in `error`) when the file cannot be written.
  bool save(const char* path, std::string& error) const;

 private:
  void put32(std::uint32_t v);
  void put64(std::uint64_t v);
  std::vector<unsigned char> bytes_;
};

class ResultsReader {
 public:
  // Reads the whole file; ok() is false with the reason in error() when it
  // cannot be read or is not of this format.
  explicit ResultsReader(const char* path);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  std::uint32_t count() const { return count_; }
  // The next call; false (and !ok()) past the end or on a truncated file.
  bool next(RecordedCall& call);
  // True when every byte has been read.
  bool atEnd() const { return at_ == bytes_.size(); }

 private:
  std::uint32_t get32();
  std::uint64_t get64();
  std::vector<unsigned char> bytes_;
  std::size_t at_ = 0;
  std::uint32_t count_ = 0;
  std::string error_;
};

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_WINDOWS_RESULTS_FILE_H
