#include "VirtualMidiService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using testing::ElementsAre;
using testing::HasSubstr;
using Bytes = std::vector<unsigned char>;
using Call = VirtualMidiService::Call;

namespace {

struct Received {
    std::vector<Bytes> packets;
    std::vector<void*> readContexts;
    std::vector<void*> connectionContexts;
    std::vector<std::thread::id> threads;
    std::size_t lists = 0;
};

void Record(const MidiPacketList& packets, void* readContext, void* connectionContext) {
    auto* received = static_cast<Received*>(readContext);
    ++received->lists;
    for (const MidiPacket& packet : packets) {
        received->packets.push_back(packet.data);
        received->readContexts.push_back(readContext);
        received->connectionContexts.push_back(connectionContext);
        received->threads.push_back(std::this_thread::get_id());
    }
}

struct Listener {
    VirtualMidiService& service;
    Received received;
    MidiRef client = 0;
    MidiRef port = 0;

    explicit Listener(VirtualMidiService& s) : service(s) {
        EXPECT_EQ(service.ClientCreate("listener", client), midiNoError);
        EXPECT_EQ(service.InputPortCreate(client, "in", &Record, &received, port), midiNoError);
    }
};

} // namespace

TEST(VirtualMidiServiceTest, ReferencesAreNonZeroAndNeverReused) {
    VirtualMidiService service;
    std::set<MidiRef> seen;
    for (int i = 0; i < 20; ++i) {
        MidiRef client = 0;
        ASSERT_EQ(service.ClientCreate("c", client), midiNoError);
        MidiRef port = 0;
        ASSERT_EQ(service.OutputPortCreate(client, "p", port), midiNoError);
        MidiRef dest = service.AddDestination({"d", "d", "m", true}, nullptr);
        EXPECT_NE(client, 0u);
        EXPECT_NE(port, 0u);
        EXPECT_NE(dest, 0u);
        EXPECT_TRUE(seen.insert(client).second);
        EXPECT_TRUE(seen.insert(port).second);
        EXPECT_TRUE(seen.insert(dest).second);
        ASSERT_EQ(service.PortDispose(port), midiNoError);
        ASSERT_EQ(service.ClientDispose(client), midiNoError);
        service.RemoveEndpoint(dest);
    }
    EXPECT_EQ(service.LiveClientCount(), 0u);
    EXPECT_EQ(service.LivePortCount(), 0u);
    EXPECT_EQ(service.NumberOfDestinations(), 0u);
}

TEST(VirtualMidiServiceTest, ListsEndpointsInOrderAndAnswersTheirProperties) {
    VirtualMidiService service;
    MidiRef a = service.AddDestination({"A", "A disp", "Maker", true}, nullptr);
    MidiRef b = service.AddDestination({"B", "B disp", "", false}, nullptr);
    MidiRef s = service.AddSource({"S", "S disp", "Maker", true});
    service.AddDevice("Dev");
    service.AddExternalDevice("Ext");
    EXPECT_EQ(service.NumberOfDestinations(), 2u);
    EXPECT_EQ(service.GetDestination(0), a);
    EXPECT_EQ(service.GetDestination(1), b);
    EXPECT_EQ(service.GetDestination(2), 0u);
    EXPECT_EQ(service.NumberOfSources(), 1u);
    EXPECT_EQ(service.GetSource(0), s);
    EXPECT_EQ(service.NumberOfDevices(), 1u);
    EXPECT_NE(service.GetDevice(0), 0u);
    EXPECT_EQ(service.NumberOfExternalDevices(), 1u);
    EXPECT_NE(service.GetExternalDevice(0), 0u);

    std::string value;
    ASSERT_EQ(service.GetStringProperty(a, MidiProperty::Name, value), midiNoError);
    EXPECT_EQ(value, "A");
    ASSERT_EQ(service.GetStringProperty(a, MidiProperty::DisplayName, value), midiNoError);
    EXPECT_EQ(value, "A disp");
    ASSERT_EQ(service.GetStringProperty(a, MidiProperty::Manufacturer, value), midiNoError);
    EXPECT_EQ(value, "Maker");
    std::string deviceName;
    ASSERT_EQ(service.GetStringProperty(service.GetExternalDevice(0), MidiProperty::Name, deviceName),
              midiNoError);
    EXPECT_EQ(deviceName, "Ext");

    std::int32_t offline = 7;
    ASSERT_EQ(service.GetIntegerProperty(a, MidiProperty::Offline, offline), midiNoError);
    EXPECT_EQ(offline, 0);
    service.SetOffline(a, 3);
    ASSERT_EQ(service.GetIntegerProperty(a, MidiProperty::Offline, offline), midiNoError);
    EXPECT_EQ(offline, 3);
    EXPECT_NE(service.GetIntegerProperty(a, MidiProperty::Name, offline), midiNoError);

    std::string text;
    ASSERT_EQ(service.GetProperties(a, text), midiNoError);
    EXPECT_EQ(text, R"({ name = "A"; displayName = "A disp"; manufacturer = "Maker"; offline = 3; })");

    MidiRef entity = 0;
    ASSERT_EQ(service.EndpointGetEntity(a, entity), midiNoError);
    EXPECT_NE(entity, 0u);
    ASSERT_EQ(service.GetProperties(entity, text), midiNoError);
    EXPECT_THAT(text, HasSubstr(R"(name = "A")"));

    MidiRef none = 0;
    EXPECT_NE(service.EndpointGetEntity(b, none), midiNoError);
    EXPECT_EQ(none, 0u);
    EXPECT_NE(service.GetProperties(0, text), midiNoError);
}

TEST(VirtualMidiServiceTest, FailCallLastsUntilClearedAndFailNextCallOnce) {
    VirtualMidiService service;
    MidiRef client = 0;
    service.FailNextCall(Call::ClientCreate, 42);
    EXPECT_EQ(service.ClientCreate("c", client), 42);
    EXPECT_EQ(client, 0u);
    EXPECT_EQ(service.ClientCreate("c", client), midiNoError);

    MidiRef dest = service.AddDestination({"D", "D", "", true}, nullptr);
    service.FailCall(Call::GetOffline, -5);
    std::int32_t offline = 0;
    EXPECT_EQ(service.GetIntegerProperty(dest, MidiProperty::Offline, offline), -5);
    EXPECT_EQ(service.GetIntegerProperty(dest, MidiProperty::Offline, offline), -5);
    service.FailCall(Call::GetOffline, midiNoError);
    EXPECT_EQ(service.GetIntegerProperty(dest, MidiProperty::Offline, offline), midiNoError);
    EXPECT_EQ(service.CallCount(Call::GetOffline), 3u);
    EXPECT_EQ(service.CallCount(Call::ClientCreate), 2u);

    // Every kind of call can be failed.
    std::string s;
    MidiRef ref = 0;
    service.FailNextCall(Call::GetName, 1);
    EXPECT_EQ(service.GetStringProperty(dest, MidiProperty::Name, s), 1);
    service.FailNextCall(Call::GetManufacturer, 2);
    EXPECT_EQ(service.GetStringProperty(dest, MidiProperty::Manufacturer, s), 2);
    service.FailNextCall(Call::GetDisplayName, 3);
    EXPECT_EQ(service.GetStringProperty(dest, MidiProperty::DisplayName, s), 3);
    service.FailNextCall(Call::GetProperties, 4);
    EXPECT_EQ(service.GetProperties(dest, s), 4);
    service.FailNextCall(Call::GetEntity, 5);
    EXPECT_EQ(service.EndpointGetEntity(dest, ref), 5);
    service.FailNextCall(Call::OutputPortCreate, 6);
    EXPECT_EQ(service.OutputPortCreate(client, "o", ref), 6);
    service.FailNextCall(Call::InputPortCreate, 7);
    EXPECT_EQ(service.InputPortCreate(client, "i", nullptr, nullptr, ref), 7);
    MidiRef out = 0;
    ASSERT_EQ(service.OutputPortCreate(client, "o", out), midiNoError);
    service.FailNextCall(Call::Send, 8);
    EXPECT_EQ(service.Send(out, dest, MidiPacket{0, {0xF8}}), 8);
    service.FailNextCall(Call::PortDispose, 9);
    EXPECT_EQ(service.PortDispose(out), 9);
    EXPECT_EQ(service.PortDispose(out), midiNoError);
    service.FailNextCall(Call::ClientDispose, 10);
    EXPECT_EQ(service.ClientDispose(client), 10);
    EXPECT_EQ(service.ClientDispose(client), midiNoError);
    EXPECT_EQ(service.LiveClientCount(), 0u);
}

TEST(VirtualMidiServiceTest, SendHandsThePacketToTheDestinationOnTheCallersThread) {
    VirtualMidiService service;
    std::vector<Bytes> got;
    std::thread::id thread;
    MidiRef dest = service.AddDestination({"D", "D", "", true}, [&](const Bytes& bytes) {
        got.push_back(bytes);
        thread = std::this_thread::get_id();
    });
    MidiRef client = 0, out = 0;
    ASSERT_EQ(service.ClientCreate("c", client), midiNoError);
    ASSERT_EQ(service.OutputPortCreate(client, "o", out), midiNoError);
    ASSERT_EQ(service.Send(out, dest, MidiPacket{0, {0xF0, 0x01, 0xF7}}), midiNoError);
    EXPECT_THAT(got, ElementsAre(Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_EQ(thread, std::this_thread::get_id());
    EXPECT_NE(service.Send(out, 12345, MidiPacket{0, {0xF8}}), midiNoError);
    EXPECT_NE(service.Send(0, dest, MidiPacket{0, {0xF8}}), midiNoError);
}

TEST(VirtualMidiServiceTest, EmitDeliversOnTheReceiveThreadInOrderSplitAtTheGivenSizes) {
    VirtualMidiService service;
    MidiRef source = service.AddSource({"S", "S", "", true});
    Listener listener(service);
    int connectionContext = 0;
    ASSERT_EQ(service.PortConnectSource(listener.port, source, &connectionContext), midiNoError);
    EXPECT_EQ(service.ConnectionCount(), 1u);

    service.Emit(source, {1, 2, 3, 4, 5, 6}, {2, 1});
    service.Emit(source, {7, 8});
    // Emit returned, so everything has been delivered already.
    EXPECT_THAT(listener.received.packets, ElementsAre(Bytes{1, 2}, Bytes{3}, Bytes{4, 5, 6}, Bytes{7, 8}));
    EXPECT_EQ(listener.received.lists, 2u);
    for (std::size_t i = 0; i < listener.received.packets.size(); ++i) {
        EXPECT_EQ(listener.received.readContexts[i], &listener.received);
        EXPECT_EQ(listener.received.connectionContexts[i], &connectionContext);
        EXPECT_NE(listener.received.threads[i], std::this_thread::get_id());
        EXPECT_EQ(listener.received.threads[i], listener.received.threads[0]);
    }

    // Sizes beyond the bytes are ignored.
    service.Emit(source, {9}, {4, 4});
    EXPECT_EQ(listener.received.packets.back(), Bytes{9});
}

TEST(VirtualMidiServiceTest, DisconnectedOrRemovedSourcesDeliverNothing) {
    VirtualMidiService service;
    MidiRef source = service.AddSource({"S", "S", "", true});
    MidiRef other = service.AddSource({"T", "T", "", true});
    Listener listener(service);
    ASSERT_EQ(service.PortConnectSource(listener.port, source, nullptr), midiNoError);
    service.Emit(other, {1});
    EXPECT_TRUE(listener.received.packets.empty());

    ASSERT_EQ(service.PortDisconnectSource(listener.port, source), midiNoError);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    service.Emit(source, {2});
    EXPECT_TRUE(listener.received.packets.empty());
    EXPECT_NE(service.PortDisconnectSource(listener.port, source), midiNoError);

    ASSERT_EQ(service.PortConnectSource(listener.port, source, nullptr), midiNoError);
    service.RemoveEndpoint(source);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.NumberOfSources(), 1u);
    EXPECT_EQ(service.GetSource(0), other);
    service.Emit(source, {3});
    EXPECT_TRUE(listener.received.packets.empty());
    std::string name;
    EXPECT_NE(service.GetStringProperty(source, MidiProperty::Name, name), midiNoError);
    EXPECT_NE(service.PortConnectSource(listener.port, source, nullptr), midiNoError);
}

TEST(VirtualMidiServiceTest, RemovedDestinationLeavesTheListAndRefusesQueriesAndSends) {
    VirtualMidiService service;
    int handled = 0;
    MidiRef dest = service.AddDestination({"D", "D", "", true}, [&](const Bytes&) { ++handled; });
    MidiRef client = 0, out = 0;
    ASSERT_EQ(service.ClientCreate("c", client), midiNoError);
    ASSERT_EQ(service.OutputPortCreate(client, "o", out), midiNoError);
    service.RemoveEndpoint(dest);
    EXPECT_EQ(service.NumberOfDestinations(), 0u);
    std::int32_t offline = 0;
    EXPECT_NE(service.GetIntegerProperty(dest, MidiProperty::Offline, offline), midiNoError);
    std::string text;
    EXPECT_NE(service.GetProperties(dest, text), midiNoError);
    EXPECT_NE(service.Send(out, dest, MidiPacket{0, {0xF8}}), midiNoError);
    EXPECT_EQ(handled, 0);
}

TEST(VirtualMidiServiceTest, DisposingAClientDisposesItsPortsAndConnections) {
    VirtualMidiService service;
    MidiRef source = service.AddSource({"S", "S", "", true});
    Listener listener(service);
    ASSERT_EQ(service.PortConnectSource(listener.port, source, nullptr), midiNoError);
    EXPECT_EQ(service.LivePortCount(), 1u);
    ASSERT_EQ(service.ClientDispose(listener.client), midiNoError);
    EXPECT_EQ(service.LivePortCount(), 0u);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    service.Emit(source, {1});
    EXPECT_TRUE(listener.received.packets.empty());
}

TEST(VirtualMidiServiceTest, ADestinationHandlerMayEmitAReply) {
    VirtualMidiService service;
    MidiRef source = service.AddSource({"S", "S", "", true});
    MidiRef dest = service.AddDestination({"D", "D", "", true},
                                          [&](const Bytes& bytes) { service.Emit(source, bytes); });
    Listener listener(service);
    ASSERT_EQ(service.PortConnectSource(listener.port, source, nullptr), midiNoError);
    MidiRef out = 0;
    ASSERT_EQ(service.OutputPortCreate(listener.client, "o", out), midiNoError);
    ASSERT_EQ(service.Send(out, dest, MidiPacket{0, {0xF0, 0x7F, 0xF7}}), midiNoError);
    EXPECT_THAT(listener.received.packets, ElementsAre(Bytes{0xF0, 0x7F, 0xF7}));
}

TEST(VirtualMidiServiceTest, StatusTextNamesTheStatus) {
    VirtualMidiService service;
    EXPECT_THAT(service.StatusText(VirtualMidiService::objectNotFound), HasSubstr("kMIDIObjectNotFound"));
    EXPECT_THAT(service.StatusText(-50), HasSubstr("-50"));
    EXPECT_FALSE(service.StatusText(0).empty());
}

namespace {

// Collects the setup notifications a watch receives, and lets a test wait for a number of them.
struct SetupLog {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<SetupChange, MidiRef>> changes;
    std::vector<std::thread::id> threads;

    SetupCallback Callback() {
        return [this](const SetupNotification& notification) {
            std::lock_guard<std::mutex> lock(mutex);
            changes.emplace_back(notification.change, notification.endpoint);
            threads.push_back(std::this_thread::get_id());
            arrived.notify_all();
        };
    }
    bool WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(5), [&] { return changes.size() >= count; });
    }
};

} // namespace

TEST(VirtualMidiServiceTest, SetupWatchersHearOfEndpointsAddedChangedAndRemovedInOrderOnTheReceiveThread) {
    VirtualMidiService service;
    SetupLog log;
    auto watch = service.WatchSetup(log.Callback());
    ASSERT_NE(watch, nullptr);

    const MidiRef source = service.AddSource({"Kelva", "Kelva", "Ostrel"});
    const MidiRef destination = service.AddDestination({"Kelva", "Kelva", "Ostrel"}, nullptr);
    service.SetOffline(source, 1);
    service.SetOffline(source, 1); // no change, nothing to tell
    service.SetOffline(source, 0);
    service.RemoveEndpoint(destination);
    service.RemoveEndpoint(destination); // gone already
    ASSERT_TRUE(log.WaitFor(5));

    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_THAT(log.changes, ElementsAre(std::pair{SetupChange::EndpointAdded, source},
                                         std::pair{SetupChange::EndpointAdded, destination},
                                         std::pair{SetupChange::EndpointChanged, source},
                                         std::pair{SetupChange::EndpointChanged, source},
                                         std::pair{SetupChange::EndpointRemoved, destination}));
    for (std::thread::id thread : log.threads)
        EXPECT_NE(thread, std::this_thread::get_id());
}

TEST(VirtualMidiServiceTest, ADestroyedWatchIsNeverCalledAgainAndItsDestructorWaitsForARunningCallback) {
    VirtualMidiService service;
    SetupLog gone, stays;
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    bool first = true;
    auto watch = service.WatchSetup([&](const SetupNotification& notification) {
        if (std::exchange(first, false)) {
            entered.set_value();
            released.wait(); // the callback is still running while the test destroys the watch
        }
        gone.Callback()(notification);
    });
    auto staying = service.WatchSetup(stays.Callback());

    service.AddSource({"A", "A", ""});
    entered.get_future().wait();
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        watch.reset();
        destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(destroyed) << "the watch went while its callback was running";
    release.set_value();
    destroyer.join();

    service.AddSource({"B", "B", ""});
    ASSERT_TRUE(stays.WaitFor(2)); // the second change has been told to every watcher left
    std::lock_guard<std::mutex> lock(gone.mutex);
    EXPECT_EQ(gone.changes.size(), 1u);
}
