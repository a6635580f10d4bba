// Runs the fuzz target's checks over files, without libFuzzer, so that every build
// (g++, the sanitizer builds) replays the seeds through the reference comparison.
//   sentence_fuzz_replay [--whole] DIR...
// The *.nmea files in a DIR after --whole are raw data (the receiver logs) and get
// the "0 " header; files in the other DIRs are fuzz inputs as they are. Every file is also replayed with
// each odd length. Any mismatch aborts.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size);

namespace {

bool LoadFile(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  uint8_t chunk[4096];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes->insert(bytes->end(), chunk, chunk + got);
  }
  std::fclose(file);
  return true;
}

// The input as it is, then with every odd length (byte 0 = 2) and with no data
// (byte 0 = 3); 32 covers all entries of the odd-length table.
void Replay(std::vector<uint8_t> input) {
  LLVMFuzzerTestOneInput(input.data(), input.size());
  for (uint8_t mode : {2, 3}) {
    for (uint8_t pick = 0; pick < 32; ++pick) {
      input[0] = mode;
      input[1] = pick;
      LLVMFuzzerTestOneInput(input.data(), input.size());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  bool whole = false;
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--whole") == 0) {
      whole = true;
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (dir == nullptr) {
      std::fprintf(stderr, "sentence_fuzz_replay: cannot read %s\n", argv[i]);
      return 1;
    }
    while (dirent* entry = readdir(dir)) {
      std::string path = std::string(argv[i]) + "/" + entry->d_name;
      if (entry->d_name[0] == '.') continue;
      if (whole && !path.ends_with(".nmea")) continue;  // the folder's notes and manifest
      std::vector<uint8_t> input;
      if (whole) input = {'0', ' '};
      if (!LoadFile(path, &input)) continue;
      if (input.size() < 2) input.resize(2, ' ');
      Replay(input);
      ++files;
    }
    closedir(dir);
  }
  std::printf("sentence_fuzz_replay: %d files agree with the reference\n", files);
  return files > 0 ? 0 : 1;
}
