// SPDX-License-Identifier: MIT
// Time of one ReducePicture call on random 24-bit camera-sized pictures, and
// of its parts: planning the coverage tables and filtering on one thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "picture/reduce.h"

namespace {

// The fastest of the repetitions: on a shared machine the others mostly measure the neighbours.
double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

tam::Picture RandomPicture(std::int32_t w, std::int32_t h) {
  tam::Picture p = tam::Picture::Bgr24(w, h);
  std::mt19937 rng(42);
  for (auto& v : p.pixels()) v = static_cast<std::uint8_t>(rng());
  return p;
}

// The whole call, as the conversion makes it (the copy it consumes is untimed).
void BM_ReducePicture(benchmark::State& state) {
  const tam::Picture source =
      RandomPicture(static_cast<std::int32_t>(state.range(0)), static_cast<std::int32_t>(state.range(1)));
  for (auto _ : state) {
    state.PauseTiming();
    tam::Picture picture = source;
    state.ResumeTiming();
    tam::ReducePicture(picture, 960, 720);
    benchmark::DoNotOptimize(picture.pixels().data());
  }
  state.counters["MPix/s"] = benchmark::Counter(static_cast<double>(state.range(0) * state.range(1)) * 1e-6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReducePicture)
    ->Args({4000, 3000})
    ->Args({5472, 3648})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", Fastest);

// One thread doing every destination row, for the speed-up of the split.
void BM_FilterOneThread(benchmark::State& state) {
  const auto w = static_cast<std::int32_t>(state.range(0));
  const auto h = static_cast<std::int32_t>(state.range(1));
  const tam::Picture source = RandomPicture(w, h);
  std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(h));
  for (std::int32_t i = 0; i < h; ++i) rows[static_cast<std::size_t>(i)] = source.row(i);
  const tam::ReducePlan plan(w, h, tam::FitBox(w, h, 960, 720));
  tam::Picture dest = tam::Picture::Bgr24(plan.width(), plan.height());
  for (auto _ : state) {
    plan.FilterRows(0, plan.height(), rows.data(), dest.row(0), dest.stride());
    benchmark::DoNotOptimize(dest.pixels().data());
  }
}
BENCHMARK(BM_FilterOneThread)
    ->Args({4000, 3000})
    ->Args({5472, 3648})
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Fastest);

void BM_Plan(benchmark::State& state) {
  const auto w = static_cast<std::int32_t>(state.range(0));
  const auto h = static_cast<std::int32_t>(state.range(1));
  const tam::FittedBox box = tam::FitBox(w, h, 960, 720);
  for (auto _ : state) {
    tam::ReducePlan plan(w, h, box);
    benchmark::DoNotOptimize(&plan);
  }
}
BENCHMARK(BM_Plan)->Args({5472, 3648})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
