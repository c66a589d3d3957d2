// Catches: a change of the device's presence not told or told twice, a wrong device line (each state's
// line is compared) or USB flag, the identity not asked when the device appears, asked again while it
// stays or while an update runs, and the version of a device kept for one that appears on another port.
#include "DevicePresence.h"
#include "PlatformTestSupport.h"

using namespace platformtest;

namespace {

// A device on the virtual service that answers the identity request with firmware 1.0<digit>, or not.
struct FakeDevice {
    VirtualMidiService& service;
    MidiRef destination = 0, source = 0;
    std::atomic<int> requests{0};

    FakeDevice(VirtualMidiService& service, const std::string& port, bool answers, std::int32_t usb,
               unsigned char digit = 4)
        : service(service) {
        // The version bytes A, B, C, D (A * 22 + B = 1; C, D the digits), then at byte 20 the text and F7.
        const std::string text = "Kelva           \xF7";
        Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02,  0x00, 0x20, 0x31, 0x06, 0x00,
                    0x00, 0x00, 0x01, 0x00, digit, 0x00, 0x00, 0x00, 0x00, 0x00};
        reply.insert(reply.end(), text.begin(), text.end());
        source = service.AddSource(Named(port, "Ostrel Kelva", usb));
        destination = service.AddDestination(Named(port, "Ostrel Kelva", usb), [=, this](const Bytes& bytes) {
            const bool asked = bytes == Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
            requests += asked;
            if (answers && asked)
                this->service.Emit(source, reply);
        });
    }
    void Unplug() { service.RemoveEndpoint(source), service.RemoveEndpoint(destination); }
};

} // namespace

TEST(DevicePresence, FollowsTheDeviceAndAsksItsVersionOnceWhenItAppearsOnAPortUnlessAnUpdateRuns) {
    VirtualClock clock{0};
    ScopedClock scoped{clock};
    ScopedLogCapture log;
    VirtualMidiService service;
    Inbox<DeviceState> states, silentStates, askedStates;
    {
        // Not answering, then an update running: no version either way.
        FakeDevice silent(service, "Ostrel Kelva MIDI 1", false, 0),
            asked(service, "Ostrel Kelva MIDI 2", true, 0);
        DevicePresence first(service, {"Ostrel Kelva MIDI 1"}, std::ref(silentStates));
        DevicePresence second(service, {"Ostrel Kelva MIDI 2"}, std::ref(askedStates), [] { return false; });
        EXPECT_EQ(DeviceLine(silentStates.WaitFor(1).back()), "Device: Ostrel Kelva MIDI 1 - connected");
        EXPECT_EQ(askedStates.WaitFor(1).back(), (DeviceState{true, "Ostrel Kelva MIDI 2", false, ""}));
        EXPECT_EQ(std::pair(silent.requests.load(), asked.requests.load()), std::pair(1, 0));
        silent.Unplug(), asked.Unplug();
    }
    DevicePresence presence(service, {"Ostrel Kelva MIDI 1", "Ostrel Kelva MIDI 2"}, std::ref(states));
    EXPECT_EQ(states.WaitFor(1).back(), DeviceState{}); // not there at the start: told so
    FakeDevice first(service, "Ostrel Kelva MIDI 1", true, 7);
    const DeviceState one = states.WaitFor(2).back();
    EXPECT_EQ(DeviceLine(one), "Device: Ostrel Kelva MIDI 1 (USB) - connected, firmware 1.04");
    EXPECT_EQ(presence.State(), one);
    EXPECT_TRUE(presence.Live());
    // Another device on the second port changes nothing while the first stays, and is asked once it is
    // the one found.
    FakeDevice second(service, "Ostrel Kelva MIDI 2", true, 0, 5);
    first.Unplug();
    EXPECT_EQ(DeviceLine(states.WaitFor(3).back()), "Device: Ostrel Kelva MIDI 2 - connected, firmware 1.05");
    second.Unplug();
    const auto told = states.WaitFor(4);
    EXPECT_EQ(told.size(), 4u) << "a state told twice";
    EXPECT_EQ(DeviceLine(told.back()), "Device: not connected - connect it and put it into update mode");
    EXPECT_EQ(first.requests + second.requests, 2);
}
