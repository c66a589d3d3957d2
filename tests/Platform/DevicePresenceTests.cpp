// Catches: a change of the device's presence not told or told twice, a wrong device line or USB flag, the
// identity not asked when the device appears, asked again while it stays or while an update runs, and the
// version of a device kept for one that appears on another port.
#include "Clock.h"
#include "DevicePresence.h"
#include "Log.h"
#include "PlatformTestSupport.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace platformtest;

namespace {

const Bytes identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// A device on the virtual service that answers the identity request with firmware 1.0<digit>, or not.
struct FakeDevice {
    VirtualMidiService& service;
    MidiRef destination = 0, source = 0;
    std::atomic<int> requests{0};

    FakeDevice(VirtualMidiService& service, const std::string& port, bool answers, std::int32_t usb,
               unsigned char digit = 4)
        : service(service) {
        // The version bytes A, B, C, D (A * 22 + B = 1; C, D the digits), then at byte 20 the text.
        Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x20, 0x31,
                    0x06, 0x00, 0x00, 0x00, 0x01, 0x00, digit};
        reply.resize(20, 0x00);
        for (char c : std::string("Kelva           "))
            reply.push_back(static_cast<unsigned char>(c));
        reply.push_back(0xF7);
        source = service.AddSource(Named(port, "Ostrel Kelva", usb));
        destination = service.AddDestination(Named(port, "Ostrel Kelva", usb), [=, this](const Bytes& bytes) {
            requests += bytes == identityRequest;
            if (answers && bytes == identityRequest)
                this->service.Emit(source, reply);
        });
    }
    void Unplug() {
        service.RemoveEndpoint(source);
        service.RemoveEndpoint(destination);
    }
};

struct DevicePresenceTest : ::testing::Test {
    VirtualClock clock{0};
    ScopedClock scoped{clock};
    ScopedLogCapture log;
    VirtualMidiService service;
    Told<DeviceState> states;
};

} // namespace

TEST(DeviceLine, SaysWhatTheUserNeedsToKnow) {
    EXPECT_EQ(DeviceLine({}), "Device: not connected - connect it and put it into update mode");
    EXPECT_EQ(DeviceLine({true, "Ostrel Kelva MIDI 1", true, ""}),
              "Device: Ostrel Kelva MIDI 1 (USB) - connected");
    EXPECT_EQ(DeviceLine({true, "Ostrel Kelva MIDI 1", true, "1.04"}),
              "Device: Ostrel Kelva MIDI 1 (USB) - connected, firmware 1.04");
    EXPECT_EQ(DeviceLine({true, "Kelva", false, ""}), "Device: Kelva - connected");
}

TEST_F(DevicePresenceTest, FollowsTheDeviceAndAsksItsVersionOnceWhenItAppearsOnAPort) {
    DevicePresence presence(service, {"Ostrel Kelva MIDI 1", "Ostrel Kelva MIDI 2"}, states.Callback());
    EXPECT_EQ(states.WaitFor(1).back(), DeviceState{}); // not there at the start: told so
    FakeDevice first(service, "Ostrel Kelva MIDI 1", true, 7);
    const DeviceState one{true, "Ostrel Kelva MIDI 1", true, "1.04"};
    EXPECT_EQ(states.WaitFor(2).back(), one);
    EXPECT_EQ(presence.State(), one);
    EXPECT_TRUE(presence.Live());
    // Another device on the second port changes nothing while the first stays, and is asked once it is
    // the one found.
    FakeDevice second(service, "Ostrel Kelva MIDI 2", true, 0, 5);
    first.Unplug();
    EXPECT_EQ(states.WaitFor(3).back(), (DeviceState{true, "Ostrel Kelva MIDI 2", false, "1.05"}));
    second.Unplug();
    const auto told = states.WaitFor(4);
    EXPECT_EQ(told.size(), 4u) << "a state told twice";
    EXPECT_EQ(told.back(), DeviceState{});
    EXPECT_EQ(first.requests + second.requests, 2);
}

TEST_F(DevicePresenceTest, ADeviceThatDoesNotAnswerOrMayNotBeAskedShowsNoVersion) {
    for (bool answers : {false, true}) {
        SCOPED_TRACE(answers ? "answers, but an update is running" : "does not answer");
        FakeDevice device(service, "Ostrel Kelva MIDI 1", answers, 0);
        Told<DeviceState> told;
        {
            DevicePresence presence(service, {"Ostrel Kelva MIDI 1"}, told.Callback(),
                                    [=] { return !answers; });
            EXPECT_EQ(told.WaitFor(1).back(), (DeviceState{true, "Ostrel Kelva MIDI 1", false, ""}));
        }
        EXPECT_EQ(device.requests, answers ? 0 : 1);
        device.Unplug();
    }
}
