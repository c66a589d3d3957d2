// What the virtual service's parts share: its objects, connections, failures and receive thread.
#pragma once

#include "VirtualMidiService.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace virtualmidi {

enum class Kind { Client, OutputPort, InputPort, Destination, Source, Entity, Device, ExternalDevice };

struct Object {
    Kind kind = Kind::Client;
    std::string name;
    std::string displayName;
    std::string manufacturer;
    std::int32_t offline = 0;
    std::int32_t usbDevice = 0;
    MidiRef entity = 0; // endpoints: their entity, if they have one
    MidiRef owner = 0;  // ports: their client; entities: their endpoint
    MidiReadProc readProc = nullptr;
    void* readContext = nullptr;
    VirtualMidiService::DestinationHandler handler;
};

struct Connection {
    MidiRef port = 0;
    MidiRef source = 0;
    void* context = nullptr;
};

// One packet list on its way from a source to one input port.
struct Delivery {
    MidiRef port = 0;
    MidiRef source = 0;
    MidiPacketList packets;
};

struct Job {
    std::uint64_t id = 0;
    std::vector<Delivery> deliveries;
    std::optional<SetupNotification> notification; // a setup change to tell the watchers of
};

} // namespace virtualmidi

using virtualmidi::Connection;
using virtualmidi::Delivery;
using virtualmidi::Job;
using virtualmidi::Kind;
using virtualmidi::Object;

struct VirtualMidiService::State {
    mutable std::mutex mutex;
    std::condition_variable changed;

    std::uint64_t nextRef = 1;
    std::map<MidiRef, Object> objects;
    std::vector<MidiRef> destinations;
    std::vector<MidiRef> sources;
    std::vector<MidiRef> devices;
    std::vector<MidiRef> externalDevices;
    std::vector<Connection> connections;

    std::map<Call, MidiStatus> failAlways;
    std::map<Call, MidiStatus> failNext;
    std::map<Call, std::size_t> callCounts;

    // Receive thread.
    std::deque<Job> jobs;
    std::uint64_t nextJob = 1;
    std::uint64_t lastDoneJob = 0;
    bool stopping = false;
    MidiRef deliveringTo = 0; // the input port whose read proc runs right now, 0 for none

    // Setup watchers, by number; the number of the one whose callback runs right now, 0 for none.
    std::map<std::uint64_t, SetupCallback> watchers;
    std::uint64_t nextWatcher = 1;
    std::uint64_t notifying = 0;
    std::thread::id receiveThreadId;
    std::thread receiveThread;

    MidiRef NewRef();

    // Counts the call and answers with the status it was told to fail with, or 0.
    MidiStatus Check(Call call);

    Object* Find(MidiRef ref, std::initializer_list<Kind> kinds);
    MidiRef Add(Kind kind, const EndpointInfo& info);

    void DropConnections(auto&& matches) {
        connections.erase(std::remove_if(connections.begin(), connections.end(), matches), connections.end());
    }

    // Waits until the receive thread is no longer inside the read proc of the port, so that a port
    // that has been disconnected or disposed is never called again. The receive thread itself may
    // disconnect from within a read proc without waiting for itself.
    void WaitUntilNotDelivering(std::unique_lock<std::mutex>& lock, MidiRef port);
    bool IsConnected(MidiRef port, MidiRef source) const;

    // Runs one job's deliveries; called with the lock held, releases it around each read proc.
    void Deliver(std::unique_lock<std::mutex>& lock, Job& job);

    // Queues a setup change for the watchers (called with the lock held); nothing when none watches.
    void Announce(SetupChange change, MidiRef endpoint);

    // Tells every watcher of the job's change, one after the other; releases the lock around each
    // callback. A watcher removed meanwhile is not called.
    void Notify(std::unique_lock<std::mutex>& lock, const SetupNotification& notification);

    void Run();
};
