// Stands in for libFuzzer's driver where no fuzzing engine is linked: feeds
// every file named on the command line, or found directly inside a directory
// named there, to LLVMFuzzerTestOneInput once, in name order. A broken
// invariant aborts the process, so the test fails with the target's note; the
// file being replayed is printed before it runs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path& arg, std::vector<fs::path>& files) {
  std::error_code ec;
  if (fs::is_directory(arg, ec)) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(arg, ec)) {
      if (entry.is_regular_file()) found.push_back(entry.path());
    }
    if (ec) return false;
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
  }
  if (fs::is_regular_file(arg, ec)) {
    files.push_back(arg);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
    return 2;
  }
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], files)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "no inputs found\n");
    return 2;
  }
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 2;
    }
    std::printf("replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
    std::fflush(stdout);
    // A fresh copy of exactly the file's bytes, so that an over-read past the
    // end is seen by the sanitizers as it would be under libFuzzer.
    // libFuzzer never passes a null pointer, not even for an empty input.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    input.reserve(1);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
