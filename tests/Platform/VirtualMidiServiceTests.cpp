// Catches, in the service the other tests stand on: packets lost, reordered, split wrongly or delivered off
// the receive thread or to a gone connection; setup changes untold, out of order, or told after their watch
// was destroyed.
#include "PlatformTestSupport.h"

#include <atomic>
#include <future>
#include <thread>
#include <tuple>

using namespace platformtest;

namespace {

// What an input port was told; offReceiveThread: a packet arrived on the thread that emitted it.
struct Received {
    std::vector<Bytes> packets;
    std::size_t lists = 0;
    void* connection = nullptr;
    std::thread::id emitter = std::this_thread::get_id();
    bool offReceiveThread = false;
};

} // namespace

TEST(VirtualMidiService, EmitDeliversInOrderOnTheReceiveThreadToConnectedPortsOnly) {
    VirtualMidiService service;
    const MidiRef source = service.AddSource(Named("S")), other = service.AddSource(Named("T"));
    const MidiRef echo =
        service.AddDestination(Named("E"), [&](const Bytes& bytes) { service.Emit(source, bytes); });
    auto record = [](const MidiPacketList& packets, void* read, void* connection) {
        auto& got = *static_cast<Received*>(read);
        ++got.lists;
        got.connection = connection;
        got.offReceiveThread = got.offReceiveThread || std::this_thread::get_id() == got.emitter;
        for (const MidiPacket& packet : packets)
            got.packets.push_back(packet.data);
    };
    Received got;
    MidiRef client = 0, in = 0, out = 0;
    int context = 0;
    ASSERT_EQ(service.ClientCreate("c", client), midiNoError);
    ASSERT_EQ(service.InputPortCreate(client, "in", record, &got, in), midiNoError);
    ASSERT_EQ(service.OutputPortCreate(client, "out", out), midiNoError);
    ASSERT_EQ(service.PortConnectSource(in, source, &context), midiNoError);
    service.Emit(source, {1, 2, 3, 4, 5, 6}, {2, 1});
    service.Emit(other, {0});
    service.Emit(source, {7, 8}, {4, 4}); // sizes beyond the bytes are passed over
    ASSERT_EQ(service.Send(out, echo, MidiPacket{0, {9}}), midiNoError); // a reply from a destination
    EXPECT_EQ(got.packets, (std::vector<Bytes>{{1, 2}, {3}, {4, 5, 6}, {7, 8}, {9}}));
    EXPECT_EQ(std::tuple(got.lists, got.connection, got.offReceiveThread), std::tuple(3u, &context, false));
    ASSERT_EQ(service.PortDisconnectSource(in, source), midiNoError);
    service.Emit(source, {10});
    ASSERT_EQ(service.PortConnectSource(in, source, nullptr), midiNoError);
    service.RemoveEndpoint(source);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    service.Emit(source, {11});
    EXPECT_EQ(got.packets.size(), 5u);
}

using Change = std::pair<SetupChange, MidiRef>;

TEST(VirtualMidiService, WatchersHearOfEndpointsAddedChangedAndRemovedInOrderOnTheReceiveThread) {
    VirtualMidiService service;
    Told<Change> told;
    std::atomic<bool> onTestThread{false};
    auto watch = service.WatchSetup([&, test = std::this_thread::get_id(), tell = told.Callback()](auto& n) {
        onTestThread = onTestThread || std::this_thread::get_id() == test;
        tell({n.change, n.endpoint});
    });
    const MidiRef source = service.AddSource(Named("Kelva"));
    const MidiRef destination = service.AddDestination(Named("Kelva"), nullptr);
    for (int offline : {1, 1, 0}) // the second changes nothing: nothing to tell
        service.SetOffline(source, offline);
    service.RemoveEndpoint(destination);
    service.RemoveEndpoint(destination); // gone already
    EXPECT_EQ(told.WaitFor(5), (std::vector<Change>{{SetupChange::EndpointAdded, source},
                                                    {SetupChange::EndpointAdded, destination},
                                                    {SetupChange::EndpointChanged, source},
                                                    {SetupChange::EndpointChanged, source},
                                                    {SetupChange::EndpointRemoved, destination}}));
    EXPECT_FALSE(onTestThread);
}

TEST(VirtualMidiServiceConcurrency, ADestroyedWatchWaitsForItsRunningCallbackAndIsNeverCalledAgain) {
    VirtualMidiService service;
    Told<MidiRef> gone, stays;
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    bool first = true;
    auto watch = service.WatchSetup([&, tell = gone.Callback()](const SetupNotification& notification) {
        if (std::exchange(first, false)) {
            entered.set_value();
            released.wait(); // still running while the test destroys the watch
        }
        tell(notification.endpoint);
    });
    auto staying = service.WatchSetup([tell = stays.Callback()](auto& n) { tell(n.endpoint); });
    service.AddSource(Named("A"));
    entered.get_future().wait();
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] { watch.reset(), destroyed = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(destroyed) << "the watch went while its callback was running";
    release.set_value();
    destroyer.join();
    service.AddSource(Named("B"));
    stays.WaitFor(2);
    std::lock_guard<std::mutex> lock(gone.mutex);
    EXPECT_EQ(gone.items.size(), 1u);
}
