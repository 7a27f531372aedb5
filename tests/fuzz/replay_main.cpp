// Replay driver for fuzz targets built without libFuzzer: feeds every file of the seed corpus folder
// given as the first argument, then a bounded number of deterministic mutations of those seeds, to
// LLVMFuzzerTestOneInput. A crash or a sanitizer report fails the test; the run always ends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> seeds;
  if (argc > 1 && std::filesystem::is_directory(argv[1])) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  if (seeds.empty()) seeds.emplace_back();
  for (const auto& s : seeds) LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());

  const int mutations = argc > 2 ? std::atoi(argv[2]) : 2000;
  std::mt19937 rng(12345);
  for (int i = 0; i < mutations; ++i) {
    std::string s = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 4) {
        case 0:
          if (!s.empty()) s[rng() % s.size()] = static_cast<char>(rng());
          break;
        case 1:
          s.insert(s.begin() + static_cast<long>(s.empty() ? 0 : rng() % (s.size() + 1)), static_cast<char>(rng()));
          break;
        case 2:
          if (!s.empty()) s.erase(rng() % s.size(), 1 + rng() % 8);
          break;
        case 3:
          if (!s.empty()) {
            std::size_t a = rng() % s.size();
            s.insert(a, s.substr(a, 1 + rng() % 16));
          }
          break;
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }
  std::printf("replayed %zu seeds and %d mutations\n", seeds.size(), mutations);
  return 0;
}
