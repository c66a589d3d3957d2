// Reads a 64 MiB update file from memory with the update reader, and the same bytes with a plain
// std::istream::read into a freshly allocated buffer as the baseline. Both report bytes per second;
// bench/run.sh prints their ratio.
#include "UpdateWriter.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

namespace {

constexpr std::size_t fileSize = 64u * 1024 * 1024;
constexpr unsigned int portionCount = 4;

// A read-only, seekable stream buffer over bytes held elsewhere.
class MemoryBuffer : public std::streambuf {
public:
    explicit MemoryBuffer(const std::vector<unsigned char>& bytes) {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
        setg(begin, begin, begin + bytes.size());
    }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode) override {
        char* base = direction == std::ios_base::beg   ? eback()
                     : direction == std::ios_base::cur ? gptr()
                                                       : egptr();
        return Seek(base + offset);
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode) override {
        return Seek(eback() + static_cast<off_type>(position));
    }

private:
    pos_type Seek(char* target) {
        if (target < eback() || target > egptr())
            return pos_type(off_type(-1));
        setg(eback(), target, egptr());
        return pos_type(target - eback());
    }
};

// A header and a few portions of framed SysEx, 64 MiB in all.
const std::vector<unsigned char>& UpdateFile() {
    static const std::vector<unsigned char> file = [] {
        std::vector<unsigned char> out;
        CreateUpdateFileHeader(out, "Ostrel Kelva", Version{1, 5}, "Benchmark", 1, 2, 3);
        AddMacPortName(out, "Ostrel Kelva");
        const std::size_t recordOverhead = 12; // tag, length, delay
        const std::size_t portionSize = (fileSize - out.size()) / portionCount - recordOverhead;
        for (unsigned int i = 0; i < portionCount; ++i) {
            std::vector<unsigned char> portion(portionSize, static_cast<unsigned char>(0x10 + i));
            portion.front() = 0xF0;
            portion.back() = 0xF7;
            AddSysExPortion(out, portion, 100 * i);
        }
        out.resize(fileSize, 0); // whole bytes of a partial tag at the end are ignored by the reader
        return out;
    }();
    return file;
}

void ReadWithUpdateReader(benchmark::State& state) {
    const std::vector<unsigned char>& file = UpdateFile();
    for (auto _ : state) {
        MemoryBuffer buffer(file);
        std::istream stream(&buffer);
        Update update(stream);
        benchmark::DoNotOptimize(update.sysExPortions.data());
        if (update.sysExPortions.size() != portionCount) {
            state.SkipWithError("the update file did not read back");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(file.size()));
}

void ReadWithPlainStreamRead(benchmark::State& state) {
    const std::vector<unsigned char>& file = UpdateFile();
    for (auto _ : state) {
        MemoryBuffer buffer(file);
        std::istream stream(&buffer);
        std::unique_ptr<char[]> bytes(new char[file.size()]);
        stream.read(bytes.get(), static_cast<std::streamsize>(file.size()));
        benchmark::DoNotOptimize(bytes.get());
        if (stream.gcount() != static_cast<std::streamsize>(file.size())) {
            state.SkipWithError("short read");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(file.size()));
}

} // namespace

BENCHMARK(ReadWithPlainStreamRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadWithUpdateReader)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
