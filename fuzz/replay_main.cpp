// The entry point of a fuzz target in builds without libFuzzer (GCC, the sanitizer builds): runs
// LLVMFuzzerTestOneInput once on every input file named on the command line, reading directories
// one level deep, in name order. Options (arguments starting with "-", such as libFuzzer's
// "-runs=0") are ignored, so that one command line replays a corpus with either entry point.
// Exits with status 1 when a named path cannot be read or when no input was found at all (a
// missing corpus must not pass for an empty one); an input that breaks an oracle aborts.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The input files that `argument` names: itself, or the regular files directly inside it.
bool collect_inputs(const fs::path& argument, std::vector<fs::path>& inputs) {
  std::error_code error;
  if (fs::is_regular_file(argument, error)) {
    inputs.push_back(argument);
    return true;
  }
  if (!fs::is_directory(argument, error)) return false;
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
    if (entry.is_regular_file(error)) files.push_back(entry.path());
  }
  if (error) return false;
  std::sort(files.begin(), files.end());
  inputs.insert(inputs.end(), files.begin(), files.end());
  return true;
}

bool replay(const fs::path& input) {
  std::ifstream file(input, std::ios::binary);
  if (!file) return false;
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>()};
  if (file.bad()) return false;
  std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("-")) continue;
    if (!collect_inputs(argument, inputs)) {
      std::fprintf(stderr, "cannot read %s\n", argument.c_str());
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  for (const fs::path& input : inputs) {
    if (!replay(input)) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 1;
    }
  }
  std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
  return 0;
}
