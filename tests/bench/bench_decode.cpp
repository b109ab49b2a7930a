// Decode of the sample hardcopy and its BMP encoding into memory: the work of one Anzeigen.
#include "image/screen_image.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

krt460::CaptureBytes LoadSample() {
    std::ifstream file(KRT460_SAMPLE_FRAME, std::ios::binary);
    krt460::CaptureBytes bytes{};
    std::copy_n(std::istreambuf_iterator<char>(file), krt460::kFrameLength, bytes.begin());
    return bytes;
}

void DecodeAndEncode(benchmark::State& state) {
    const krt460::CaptureBytes sample = LoadSample();
    krt460::CScreenImage image;
    for (auto _ : state) {
        const bool parsed = image.ParseBands(sample);
        image.BuildImage();
        image.DrawBorder();
        image.DescribeRows();
        krt460::BitmapFileBytes file = image.EncodeBitmap();
        benchmark::DoNotOptimize(parsed);
        benchmark::DoNotOptimize(file);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(krt460::kFrameLength));
}
BENCHMARK(DecodeAndEncode);

void StoreFrame(benchmark::State& state) {
    const krt460::CaptureBytes sample = LoadSample();
    auto capture = std::make_unique<krt460::CCaptureBuffer>();
    for (auto _ : state) {
        capture->Reset();
        for (std::size_t i = 0; i < krt460::kFrameLength; ++i) {
            capture->Store(sample[i]);
        }
        benchmark::DoNotOptimize(capture->HasEndMarker());
    }
}
BENCHMARK(StoreFrame);

} // namespace

BENCHMARK_MAIN();
