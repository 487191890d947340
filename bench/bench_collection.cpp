// Times the keyed collection's text form: SerialSet of 10,000 pairs into an empty collection,
// then SerialGet of the result. Each figure is the best of several runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "collection/clsXCollection.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main() {
  constexpr int kPairs = 10000;
  constexpr int kRuns = 5;

  // Settings-like pairs with a few characters that need escaping in every value.
  tidewell::clsXCollection source;
  for (int i = 0; i < kPairs; ++i) {
    source.Add("Setting" + std::to_string(i),
               tidewell::Variant("value " + std::to_string(i) + " a=b & \"c\"\t\r\n"));
  }
  const std::string text = source.SerialGet();

  double best_set = 1e300;
  double best_get = 1e300;
  std::size_t written = 0;
  int count = 0;
  for (int run = 0; run < kRuns; ++run) {
    tidewell::clsXCollection c;
    const auto t0 = Clock::now();
    c.SerialSet(text);
    const auto t1 = Clock::now();
    const std::string back = c.SerialGet();
    const auto t2 = Clock::now();
    best_set = std::min(best_set, Milliseconds(t1 - t0));
    best_get = std::min(best_get, Milliseconds(t2 - t1));
    written = back.size();
    count = c.Count();
    if (back != text) {
      std::printf("FAILED: the text read back differs from the text written\n");
      return 1;
    }
  }
  std::printf("collection: %d pairs, %zu characters of text, best of %d runs\n", count, written,
              kRuns);
  std::printf("SerialSet into an empty collection: %.2f ms\n", best_set);
  std::printf("SerialGet of %d entries:            %.2f ms\n", count, best_get);
  return 0;
}
