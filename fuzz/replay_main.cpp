// Stand-alone driver of the fuzz target for the normal compiler: replays every seed, then
// a fixed series of mutations of each (bit flips, overwritten bytes, zeroed and copied
// pages, truncation), so the smoke run is the same every time.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> Load(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Mutate(std::vector<uint8_t>& d, std::mt19937& rng) {
  if (d.empty()) return;
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  size_t page = 512;
  switch (rng() % 6) {
    case 0:  // scattered bit flips
      for (int k = 0, n = 1 + static_cast<int>(rng() % 8); k < n; ++k) {
        d[pick(d.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      break;
    case 1:  // a run of random bytes
    {
      size_t at = pick(d.size()), len = 1 + pick(64);
      for (size_t k = at; k < d.size() && k < at + len; ++k) d[k] = static_cast<uint8_t>(rng());
      break;
    }
    case 2:  // a page zeroed
    {
      size_t at = pick(d.size() / page + 1) * page;
      for (size_t k = at; k < d.size() && k < at + page; ++k) d[k] = 0;
      break;
    }
    case 3:  // one page copied over another
    {
      size_t pages = d.size() / page;
      if (pages < 2) break;
      size_t a = pick(pages) * page, b = pick(pages) * page;
      std::copy(d.begin() + static_cast<long>(a), d.begin() + static_cast<long>(a + page),
                d.begin() + static_cast<long>(b));
      break;
    }
    case 4:  // truncated
      d.resize(pick(d.size()));
      break;
    default:  // a 16- or 32-bit field set to an extreme
    {
      size_t at = pick(d.size());
      uint8_t v = (rng() & 1) ? 0xff : 0x00;
      for (size_t k = at; k < d.size() && k < at + 2 + (rng() % 3); ++k) d[k] = v;
      d[at] = static_cast<uint8_t>(rng());
      break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SEED_DIR [MUTATIONS_PER_SEED]\n", argv[0]);
    return 2;
  }
  int per_seed = argc > 2 ? std::stoi(argv[2]) : 300;
  std::vector<std::filesystem::path> seeds;
  for (const auto& e : std::filesystem::directory_iterator(argv[1])) {
    if (e.is_regular_file()) seeds.push_back(e.path());
  }
  std::sort(seeds.begin(), seeds.end());
  if (seeds.empty()) {
    std::fprintf(stderr, "no seeds in %s\n", argv[1]);
    return 2;
  }
  std::mt19937 rng(20261205);
  size_t runs = 0;
  for (const auto& s : seeds) {
    std::vector<uint8_t> original = Load(s);
    LLVMFuzzerTestOneInput(original.data(), original.size());
    ++runs;
    for (int m = 0; m < per_seed; ++m) {
      std::vector<uint8_t> d = original;
      for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k) Mutate(d, rng);
      LLVMFuzzerTestOneInput(d.data(), d.size());
      ++runs;
    }
  }
  std::printf("replayed %zu seeds, %zu inputs in all\n", seeds.size(), runs);
  return 0;
}
