// Feeds every file of a corpus directory to a fuzz entry point once, so that the ordinary suite runs the
// malformed inputs the fuzzers found or were seeded with.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-DIRECTORY\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize)
    LLVMFuzzerInitialize(&argc, &argv);
  std::error_code error;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[1], error)) {
    if (entry.is_regular_file())
      files.push_back(entry.path());
  }
  if (error || files.empty()) {
    std::fprintf(stderr, "%s: no corpus files in %s\n", argv[0], argv[1]);
    return 1;
  }
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An empty vector's data() may be null; the entry points must cope with a zero size, not a null pointer.
    static const uint8_t kEmpty = 0;
    const uint8_t* data = bytes.empty() ? &kEmpty : reinterpret_cast<const uint8_t*>(bytes.data());
    LLVMFuzzerTestOneInput(data, bytes.size());
  }
  std::printf("%zu corpus files replayed\n", files.size());
  return 0;
}
