// A plain driver for a fuzz harness, without libFuzzer: runs every file named on the
// command line, and every file of every directory named, through the harness's
// entry point once, in name order. Where libFuzzer cannot be had (the ARM64 builds
// under qemu-user) this runs the corpus; a finding aborts, as under the fuzzer.
//
//   replay PATH...   names each input on stderr before it runs ("replay: running
//                    FILE"), so that the last one named is the one a finding came
//                    from; prints "replay: N inputs, 0 findings" when all ran
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputs_in(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> found;
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (entry.is_regular_file()) found.push_back(entry.path());
    }
    std::ranges::sort(found);
  } else {
    found.push_back(path);
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& file : inputs_in(argv[i])) {
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return 2;
      }
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      std::fprintf(stderr, "replay: running %s\n", file.c_str());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++count;
    }
  }
  if (count == 0) {
    std::fputs("replay: no inputs\n", stderr);
    return 2;
  }
  std::printf("replay: %zu inputs, 0 findings\n", count);
  return 0;
}
