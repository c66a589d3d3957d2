// Cuts a 16 MiB portion into chunks the way the chunked sender does (ideal 2048, max 16,384 bytes,
// with the fraction sent worked out before each chunk), and scans the same bytes with a plain
// memchr for F7 as the baseline. Each reports bytes per second and the time per MiB;
// bench/chunking_ratio.sh prints the ratio of the two.
//
// Two portions: SysEx messages of 1 KiB with random 7-bit data (0A ends a chunk like F7 does), and
// the worst case for the chunker, one long message without any F7 or 0A inside, where every chunk
// grows byte by byte up to the maximum.
#include "Chunks.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr std::size_t portionSize = 16u * 1024 * 1024;
constexpr unsigned long idealChunk = 2048;
constexpr unsigned long maxChunk = 16384;

enum Shape { messagesOf1KiB = 0, noEnds = 1 };

const std::vector<unsigned char>& Portion(Shape shape) {
    static const std::vector<unsigned char> portions[2] = {
        [] {
            std::vector<unsigned char> bytes(portionSize);
            std::mt19937 random(42);
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = i % 1024 == 0      ? 0xF0
                           : i % 1024 == 1023 ? 0xF7
                                              : static_cast<unsigned char>(random() & 0x7F);
            return bytes;
        }(),
        [] {
            std::vector<unsigned char> bytes(portionSize, 0x11);
            bytes.front() = 0xF0;
            bytes.back() = 0xF7;
            return bytes;
        }(),
    };
    return portions[shape];
}

void Report(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(portionSize));
    // Seconds per MiB (the rate of MiB per iteration, inverted).
    state.counters["time_per_MiB"] =
        benchmark::Counter(static_cast<double>(portionSize) / (1024 * 1024),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void CutIntoChunks(benchmark::State& state, Shape shape) {
    const std::vector<unsigned char>& portion = Portion(shape);
    unsigned char* begin = const_cast<unsigned char*>(portion.data());
    const Range<unsigned char> total{begin, begin + portion.size()};
    for (auto _ : state) {
        Range<unsigned char> remaining = total;
        std::size_t chunks = 0;
        float fraction = 0;
        while (!remaining.Empty()) {
            const Range<unsigned char> chunk = NextSysExChunk(remaining, idealChunk, maxChunk);
            fraction += PercentageDone(total, remaining);
            benchmark::DoNotOptimize(chunk.start);
            remaining.TrimFromFront(chunk.Size());
            ++chunks;
        }
        benchmark::DoNotOptimize(chunks);
        benchmark::DoNotOptimize(fraction);
    }
    Report(state);
}

void MemchrScan(benchmark::State& state, Shape shape) {
    const std::vector<unsigned char>& portion = Portion(shape);
    const unsigned char* end = portion.data() + portion.size();
    for (auto _ : state) {
        std::size_t ends = 0;
        for (const unsigned char* at = portion.data(); at < end; ++at) {
            at = static_cast<const unsigned char*>(std::memchr(at, 0xF7, static_cast<std::size_t>(end - at)));
            if (!at)
                break;
            ++ends;
        }
        benchmark::DoNotOptimize(ends);
    }
    Report(state);
}

} // namespace

BENCHMARK_CAPTURE(MemchrScan, messages1KiB, messagesOf1KiB)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(CutIntoChunks, messages1KiB, messagesOf1KiB)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(MemchrScan, noEnds, noEnds)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(CutIntoChunks, noEnds, noEnds)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
