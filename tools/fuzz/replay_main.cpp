// Replays inputs through a fuzz target without libFuzzer, so that the seeds
// and the inputs that once failed run as ordinary tests with any compiler
// (and under the sanitizers in the sanitizer build).
//
//   <target>_replay PATH...
//
// Each PATH is a file or a folder whose files are all replayed, in name
// order.  A broken property aborts, as under the fuzzer; the exit status is
// 0 when every input ran, 2 when a path cannot be read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (fs::is_directory(argv[i], ec)) {
      for (const auto& entry : fs::directory_iterator(argv[i], ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else {
      files.emplace_back(argv[i]);
    }
    if (ec) {
      std::fprintf(stderr, "%s: cannot read\n", argv[i]);
      return 2;
    }
    for (const auto& f : files) {
      if (!replay(f)) {
        std::fprintf(stderr, "%s: cannot read\n", f.c_str());
        return 2;
      }
      ++count;
    }
  }
  std::printf("%d inputs replayed\n", count);
  return 0;
}
