// Runs the fuzz target over saved inputs without libFuzzer, so that every
// build (gcc included, and under valgrind) checks the committed corpus.
// Usage: quillmere_fuzz_replay FILE_OR_FOLDER...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replayFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int replayed = 0;
  bool ok = argc > 1;
  for (int i = 1; i < argc; ++i) {
    const fs::path root(argv[i]);
    std::vector<fs::path> files;
    if (fs::is_directory(root)) {
      for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(root);
    }
    for (const auto& f : files) {
      ok = replayFile(f) && ok;
      ++replayed;
    }
  }
  std::printf("replayed %d inputs\n", replayed);
  // An empty corpus would check nothing: treat it as a failure.
  return ok && replayed > 0 ? 0 : 1;
}
