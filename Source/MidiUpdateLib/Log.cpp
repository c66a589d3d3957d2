#include "Log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex sinkMutex;
LogSink currentSink;

void WriteToStandardError(std::string_view text) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    std::string line = std::string(stamp) + "." + std::to_string(1000 + millis).substr(1) + " " +
                       program_invocation_short_name + "[" + std::to_string(getpid()) + "] ";
    line.append(text);
    if (line.empty() || line.back() != '\n')
        line.push_back('\n');
    // One write call per record, so records of different threads never interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace

void LogLine(std::string_view text) {
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex);
        sink = currentSink;
    }
    if (sink)
        sink(std::string(text));
    else
        WriteToStandardError(text);
}

LogSink SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    LogSink previous = std::move(currentSink);
    currentSink = std::move(sink);
    return previous;
}

struct ScopedLogCapture::Store {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

ScopedLogCapture::ScopedLogCapture() : store(std::make_shared<Store>()) {
    previous = SetLogSink([store = store](const std::string& text) {
        std::lock_guard<std::mutex> lock(store->mutex);
        store->lines.push_back(text);
    });
}

ScopedLogCapture::~ScopedLogCapture() {
    SetLogSink(std::move(previous));
}

std::vector<std::string> ScopedLogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(store->mutex);
    return store->lines;
}
