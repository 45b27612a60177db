// Firmware preparation costs, measured on the embedded images. Goal: parsing the MCU
// image and dumping it for the Program Data window together take under 5 ms.
#include <benchmark/benchmark.h>

#include <string>

#include "image/dsp_image.h"
#include "image/firmware_data.h"
#include "image/image_dump.h"
#include "image/mcu_image.h"

namespace {

kv::FirmwareImage& SharedImage() {
  static kv::FirmwareImage image;  // 70 KiB: kept off the stack
  return image;
}

void BM_ParseMcuImage(benchmark::State& state) {
  kv::FirmwareImage& image = SharedImage();
  for (auto _ : state) {
    const auto outcome =
        kv::ParseMcuImage(image, kv::kMcuImageBound, kv::EmbeddedMcuHexLines(), nullptr);
    benchmark::DoNotOptimize(outcome);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ParseMcuImage)->Unit(benchmark::kMicrosecond);

void BM_DumpMcuImage(benchmark::State& state) {
  kv::FirmwareImage& image = SharedImage();
  kv::ParseMcuImage(image, kv::kMcuImageBound, kv::EmbeddedMcuHexLines(), nullptr);
  for (auto _ : state) {
    std::string text = kv::DumpImage(image.ImageBuffer, image.ImageByteCount, 0);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_DumpMcuImage)->Unit(benchmark::kMicrosecond);

// What "Mcu Prog" does before the update starts: parse, then dump.
void BM_ParseAndDumpMcuImage(benchmark::State& state) {
  kv::FirmwareImage& image = SharedImage();
  for (auto _ : state) {
    kv::ParseMcuImage(image, kv::kMcuImageBound, kv::EmbeddedMcuHexLines(), nullptr);
    std::string text = kv::DumpImage(image.ImageBuffer, image.ImageByteCount, 0);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_ParseAndDumpMcuImage)->Unit(benchmark::kMicrosecond);

void BM_PrepareDspImage(benchmark::State& state) {
  kv::FirmwareImage& image = SharedImage();
  for (auto _ : state) {
    benchmark::DoNotOptimize(kv::PrepareDspImage(image));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PrepareDspImage)->Unit(benchmark::kMicrosecond);

// All 814 chunk commands of one DSP download.
void BM_BuildAllDspChunks(benchmark::State& state) {
  kv::FirmwareImage& image = SharedImage();
  kv::PrepareDspImage(image);
  const int32_t lastChunk = kv::DspLastChunkIndex(image.ImageByteCount);
  for (auto _ : state) {
    for (int32_t k = 0; k <= lastChunk; ++k) {
      auto chunk = kv::BuildDspChunk(image, k, 0x5A3C96E1);
      benchmark::DoNotOptimize(chunk);
    }
  }
  state.counters["chunks"] = lastChunk + 1;
}
BENCHMARK(BM_BuildAllDspChunks)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
