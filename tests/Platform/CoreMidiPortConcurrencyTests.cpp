// Catches (under ThreadSanitizer): an unlocked message store shared with the service's receive
// thread, a torn or mixed message, a teardown that races a delivery or leaves a port or connection.
#include "CoreMidiPort.h"
#include "Log.h"
#include "PlatformTestSupport.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>

using namespace platformtest;

// The receive thread feeds the port while the sender's thread polls, takes messages and disconnects.
TEST(CoreMidiPortConcurrency, ReceiveThreadAgainstSenderThread) {
    VirtualMidiService service;
    ScopedLogCapture log;
    service.AddDestination(Named("Ostrel Kelva"), nullptr);
    const MidiRef source = service.AddSource(Named("Ostrel Kelva"));
    // Messages of different lengths, each recognisable as whole: F0, n, n copies of n, F7.
    auto message = [](unsigned char n) {
        Bytes bytes = {0xF0, n};
        bytes.insert(bytes.end(), n, n);
        bytes.push_back(0xF7);
        return bytes;
    };
    auto port = std::make_unique<CoreMidiPort>(service, std::set<std::string>{"Ostrel Kelva"});
    ASSERT_TRUE(port->IsConnected());

    std::atomic<bool> done{false};
    std::thread device([&] {
        for (int i = 0; i < 400; ++i) // whole messages, cut into packets at varying places
            service.Emit(source, message(static_cast<unsigned char>(1 + i % 60)),
                         {static_cast<std::size_t>(1 + i % 5), 2});
        done = true;
    });
    int broken = 0;
    for (int round = 0; !done || round < 10; ++round) {
        if (!port->IsConnected())
            continue;
        const Bytes bytes = port->LastSysEx();
        if (!bytes.empty() && (bytes.size() < 3 || bytes != message(bytes[1])))
            ++broken;
        port->ClearLastSysEx();
        if (round % 7 == 3)
            port->Disconnect();
    }
    device.join();
    // Nothing emitted after the last search is lost: the port still hears the device.
    ASSERT_TRUE(port->IsConnected());
    service.Emit(source, message(9));
    EXPECT_EQ(port->LastSysEx(), message(9));
    port.reset();
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.LivePortCount(), 0u);
}
