// A main() for the libFuzzer targets that runs each file named on the
// command line through LLVMFuzzerTestOneInput once, so the committed corpus
// and any crash input can be replayed by a build without libFuzzer (g++,
// sanitizers on). Exits non-zero when a file cannot be read; a fault found
// by a sanitizer or a target's own check ends the process as it would under
// libFuzzer.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool read_file(const char* path, std::vector<char>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The input goes into a heap block of exactly its size, as under libFuzzer,
// so AddressSanitizer reports a read one byte past the end.
int run_one(const std::vector<char>& bytes) {
  const size_t size = bytes.size();
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  for (size_t i = 0; i < size; ++i) copy[i] = static_cast<uint8_t>(bytes[i]);
  return LLVMFuzzerTestOneInput(copy.get(), size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
    return 2;
  }
  // Targets may redirect descriptor 1 here, so everything goes to stderr.
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<char> bytes;
  int unreadable = 0;
  for (int i = 1; i < argc; ++i) {
    if (!read_file(argv[i], bytes)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      ++unreadable;
      continue;
    }
    run_one(bytes);
  }
  std::fprintf(stderr, "replayed %d of %d inputs\n", argc - 1 - unreadable, argc - 1);
  return unreadable == 0 ? 0 : 1;
}
