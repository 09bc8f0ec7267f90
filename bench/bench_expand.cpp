// Expansion of the embedded firmware containers: the 5 MB main-unit image to
// memory and to a discarding sink, and the header-to-file path the updater
// takes.
#include <benchmark/benchmark.h>

#include <vector>

#include "app/firmware_image.h"
#include "app/szdd.h"
#include "resources/firmware_resources.h"

namespace {

std::span<const uint8_t> Container(const char* name) {
    const resources::RawResource* r = resources::FindRawResource(name);
    return r != nullptr ? r->bytes : std::span<const uint8_t>{};
}

void BM_ExpandToMemory(benchmark::State& state, const char* name) {
    const auto container = Container(name);
    std::vector<uint8_t> image;
    for (auto _ : state) {
        const szdd::ExpandResult r = szdd::ExpandBuffer(container, image);
        if (r.status != szdd::Status::Ok) state.SkipWithError(szdd::StatusText(r.status));
        benchmark::DoNotOptimize(image.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}

void BM_ExpandDiscarding(benchmark::State& state) {
    const auto container = Container("QUIL0803C.BIN");
    for (auto _ : state) {
        szdd::SpanSource in(container);
        szdd::CountingSink out;
        const szdd::ExpandResult r = szdd::Expand(in, out);
        if (r.status != szdd::Status::Ok) state.SkipWithError(szdd::StatusText(r.status));
        benchmark::DoNotOptimize(out.Count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 5346254);
}

// The updater's step: compressed copy written to a private folder, expanded
// into a file beside it, the copy deleted; the folder goes with the object.
void BM_ExpandFirmwareResource(benchmark::State& state) {
    const auto container = Container("QUIL0803C.BIN");
    for (auto _ : state) {
        auto file = ExpandFirmwareResource(container, "QUIL0803C.BIN");
        if (!file) state.SkipWithError("expansion failed");
        benchmark::DoNotOptimize(file.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 5346254);
}

void BM_Compress(benchmark::State& state) {
    std::vector<uint8_t> image;
    szdd::ExpandBuffer(Container("VXDNT0102NC.BIN"), image);
    std::vector<uint8_t> container;
    for (auto _ : state) {
        szdd::Compress(image, container);
        benchmark::DoNotOptimize(container.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}

BENCHMARK_CAPTURE(BM_ExpandToMemory, QUIL0803C, "QUIL0803C.BIN")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpandToMemory, VXDNT0102NC, "VXDNT0102NC.BIN")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpandDiscarding)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandFirmwareResource)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress)->Unit(benchmark::kMillisecond);

}  // namespace
