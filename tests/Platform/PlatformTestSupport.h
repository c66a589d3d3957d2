#pragma once

#include "Clock.h"
#include "CoreMidiPort.h"
#include "Log.h"
#include "VirtualMidiService.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace platformtest {

using Bytes = std::vector<unsigned char>;
using Call = VirtualMidiService::Call;
using Lines = std::vector<std::string>;

// An endpoint made by "Ostrel", of USB MIDI device `usb` (0: not a USB MIDI device); the display
// name is the name unless given.
inline VirtualMidiService::EndpointInfo Named(const std::string& name, const std::string& displayName = "",
                                              std::int32_t usb = 0) {
    return {name, displayName.empty() ? name : displayName, "Ostrel", true, usb};
}

// The error line the port and the listing write for a failed step.
inline std::string ErrorLine(VirtualMidiService& service, const std::string& step, MidiStatus status) {
    return "Error (" + step + "): " + std::to_string(static_cast<unsigned int>(status)) + ":" +
           service.StatusText(status);
}

// Collects what it is told (as a callback, through std::ref, or in ranges) on other threads, and lets a test
// wait, within a bound, for a number of items or for what has come to satisfy a condition.
template <class T> class Inbox {
public:
    void operator()(const T& item) { Add(&item, &item + 1); }
    void Add(const T* begin, const T* end) {
        std::lock_guard<std::mutex> lock(mutex);
        items.insert(items.end(), begin, end);
        arrived.notify_all();
    }
    // Whether `done` holds for what has come, within `timeout`.
    bool Wait(const std::function<bool(const std::vector<T>&)>& done, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return done(items); });
    }
    // What has come, once `count` items have or the time is up; `take` forgets it.
    std::vector<T> Get(std::size_t count = 0, std::chrono::milliseconds timeout = {}, bool take = false) {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait_for(lock, timeout, [&] { return items.size() >= count; });
        return take ? std::exchange(items, {}) : items;
    }
    // Everything told, once `count` items have been told (a failure after 5 s).
    std::vector<T> WaitFor(std::size_t count) {
        std::vector<T> told = Get(count, std::chrono::seconds(5));
        EXPECT_GE(told.size(), count) << "only " << told.size() << " told";
        return told;
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<T> items;
};

} // namespace platformtest
