#pragma once

#include "MidiService.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

// What the updater can see of its device: whether it is connected, on which port, and the firmware
// version it reported when asked.
struct DeviceState {
    bool connected = false;
    std::string port;     // the destination's name
    bool usb = false;     // a port of a USB MIDI device
    std::string firmware; // as the device reported it ("1.04"); empty when not asked or no answer
    friend bool operator==(const DeviceState&, const DeviceState&) = default;
};

// "Device: Ostrel Kelva MIDI 1 (USB) - connected, firmware 1.04", or
// "Device: not connected - connect it and put it into update mode".
std::string DeviceLine(const DeviceState& state);

// Keeps the device's state up to date from the service's setup changes (no polling): looks for the
// device as an update would (by the port names, or the only USB MIDI device for an empty set) once
// at the start and again after each change, on a thread of its own, and tells the listener the first
// state and then each state that differs from the last one told. Each look uses a port of its own,
// let go of at once, so that nothing of the device stays held between looks. When the device appears and
// `mayAsk` allows it (no update is running), it is asked once for its identity (the universal identity
// request, answered within the identity time-out on the program's clock) and the version it reports is added.
class DevicePresence {
public:
    using Listener = std::function<void(const DeviceState& state)>;
    static constexpr unsigned int identityTimeoutMs = 2000;

    DevicePresence(MidiService& service, const std::set<std::string>& portNames, Listener listener,
                   std::function<bool()> mayAsk = {});
    // Stops watching; the listener is not running and never runs again once this returns.
    ~DevicePresence();
    DevicePresence(const DevicePresence&) = delete;
    DevicePresence& operator=(const DevicePresence&) = delete;

    DeviceState State() const;
    // Whether the service tells of setup changes; without it the state is the one found at the start.
    bool Live() const { return watch != nullptr; }

private:
    void Run();
    DeviceState Look(const DeviceState& before);

    MidiService& service;
    std::set<std::string> portNames;
    Listener listener;
    std::function<bool()> mayAsk;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool changed = true; // look again
    bool stopping = false;
    bool told = false; // the listener has had a state
    DeviceState state;
    std::unique_ptr<SetupWatch> watch;
    std::thread thread;
};
