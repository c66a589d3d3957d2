// The device's presence, followed from the virtual service's setup changes: the states the listener
// is told, the identity asked once when the device appears (and only when allowed), the line shown.
#include "Clock.h"
#include "DevicePresence.h"
#include "Log.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using Bytes = std::vector<unsigned char>;

namespace {

const Bytes identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
// An identity reply for firmware 1.04: a three-byte manufacturer, the family and two more bytes, the
// version bytes A, B, C, D with A * 22 + B = 1 and C, D the digits 0 and 4, then at byte 20 the text.
Bytes IdentityReply() {
    Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x20, 0x31, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04};
    reply.resize(20, 0x00);
    for (char c : std::string("Kelva           "))
        reply.push_back(static_cast<unsigned char>(c));
    reply.push_back(0xF7);
    return reply;
}

// A device on the virtual service that answers the identity request, or not.
struct FakeDevice {
    VirtualMidiService& service;
    MidiRef destination = 0, source = 0;
    std::atomic<int> requests{0};

    FakeDevice(VirtualMidiService& service, bool answers, std::int32_t usbDevice = 7) : service(service) {
        VirtualMidiService::EndpointInfo info{"Ostrel Kelva MIDI 1", "Ostrel Kelva", "Ostrel", true,
                                              usbDevice};
        source = service.AddSource(info);
        destination = service.AddDestination(info, [this, answers](const Bytes& bytes) {
            if (bytes != identityRequest)
                return;
            ++requests;
            if (answers)
                this->service.Emit(source, IdentityReply());
        });
    }
    void Unplug() {
        service.RemoveEndpoint(destination);
        service.RemoveEndpoint(source);
    }
};

struct StateLog {
    std::mutex mutex;
    std::condition_variable told;
    std::vector<DeviceState> states;

    DevicePresence::Listener Listener() {
        return [this](const DeviceState& state) {
            std::lock_guard<std::mutex> lock(mutex);
            states.push_back(state);
            told.notify_all();
        };
    }
    // The state told last, once `count` states have been told (bounded wait).
    DeviceState WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(told.wait_for(lock, std::chrono::seconds(5), [&] { return states.size() >= count; }))
            << "only " << states.size() << " states told";
        return states.empty() ? DeviceState{} : states.back();
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return states.size();
    }
};

struct DevicePresenceTest : ::testing::Test {
    VirtualClock clock{0};
    ScopedClock scoped{clock};
    ScopedLogCapture log;
    VirtualMidiService service;
    StateLog states;
    const std::set<std::string> kelva{"Ostrel Kelva MIDI 1"};
};

} // namespace

TEST(DeviceLine, SaysWhatTheUserNeedsToKnow) {
    struct Row {
        DeviceState state;
        const char* line;
    };
    const Row rows[] = {
        {{}, "Device: not connected - connect it and put it into update mode"},
        {{true, "Ostrel Kelva MIDI 1", true, ""}, "Device: Ostrel Kelva MIDI 1 (USB) - connected"},
        {{true, "Ostrel Kelva MIDI 1", true, "1.04"},
         "Device: Ostrel Kelva MIDI 1 (USB) - connected, firmware 1.04"},
        {{true, "Kelva", false, ""}, "Device: Kelva - connected"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(DeviceLine(row.state), row.line);
}

TEST_F(DevicePresenceTest, FollowsTheDeviceInAndOutAndAsksItsVersionOnceWhenItAppears) {
    DevicePresence presence(service, kelva, states.Listener());
    EXPECT_EQ(states.WaitFor(1), DeviceState{}); // not there at the start: told so

    FakeDevice device(service, true);
    const DeviceState expected{true, "Ostrel Kelva MIDI 1", true, "1.04"};
    EXPECT_EQ(states.WaitFor(2), expected);
    EXPECT_EQ(presence.State(), expected);
    EXPECT_TRUE(presence.Live());

    service.SetOffline(device.source, 0); // a change that changes nothing the user sees
    device.Unplug();
    EXPECT_EQ(states.WaitFor(3), DeviceState{});
    EXPECT_EQ(device.requests, 1);
    EXPECT_EQ(states.Count(), 3u);
}

TEST_F(DevicePresenceTest, ADeviceThatDoesNotAnswerOrMayNotBeAskedShowsNoVersion) {
    for (bool answers : {false, true}) {
        SCOPED_TRACE(answers ? "answers, but an update is running" : "does not answer");
        FakeDevice device(service, answers, 0);
        StateLog told;
        {
            DevicePresence presence(service, kelva, told.Listener(), [answers] { return !answers; });
            EXPECT_EQ(told.WaitFor(1), (DeviceState{true, "Ostrel Kelva MIDI 1", false, ""}));
        }
        EXPECT_EQ(device.requests, answers ? 0 : 1);
        device.Unplug();
    }
}
