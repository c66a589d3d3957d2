// Catches, in the service the other tests stand on (its packets reach every port test): setup changes
// untold, out of order or off the receive thread, or told after their watch was destroyed.
#include "PlatformTestSupport.h"

#include <future>

using namespace platformtest;

using Change = std::pair<SetupChange, MidiRef>;

TEST(VirtualMidiService, WatchersHearOfEndpointsAddedChangedAndRemovedInOrderOnTheReceiveThread) {
    VirtualMidiService service;
    Inbox<Change> told;
    auto watch = service.WatchSetup([&told, test = std::this_thread::get_id()](auto& n) {
        EXPECT_NE(std::this_thread::get_id(), test) << "told on the test's thread";
        told({n.change, n.endpoint});
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
}

TEST(VirtualMidiServiceConcurrency, ADestroyedWatchWaitsForItsRunningCallbackAndIsNeverCalledAgain) {
    VirtualMidiService service;
    Inbox<MidiRef> gone, stays;
    std::promise<void> entered, release;
    bool first = true;
    auto watch = service.WatchSetup([&](const SetupNotification& notification) {
        if (std::exchange(first, false)) {
            entered.set_value();
            release.get_future().wait(); // still running while the test destroys the watch
        }
        gone(notification.endpoint);
    });
    auto staying = service.WatchSetup([&stays](auto& n) { stays(n.endpoint); });
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
    EXPECT_EQ(gone.WaitFor(1).size(), 1u);
}
