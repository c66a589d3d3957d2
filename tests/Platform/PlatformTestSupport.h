#pragma once

#include "Clock.h"
#include "CoreMidiPort.h"
#include "Log.h"
#include "VirtualMidiService.h"

#include <gmock/gmock.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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

// Collects what it is told (as a callback, through std::ref) on another thread, and lets a test wait for
// a number of items.
template <class T> struct Told {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<T> items;

    void operator()(const T& item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(item);
        arrived.notify_all();
    }
    // Everything told, once `count` items have been told (bounded wait).
    std::vector<T> WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return items.size() >= count; }))
            << "only " << items.size() << " told";
        return items;
    }
};

} // namespace platformtest
