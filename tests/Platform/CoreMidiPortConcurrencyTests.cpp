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
#include <vector>

using namespace platformtest;

// The service's receive thread feeds the port while the sender's thread polls, takes messages and
// disconnects: run under ThreadSanitizer to check the store's locking and safe teardown.
TEST(CoreMidiPortConcurrency, ReceiveThreadAgainstSenderThread) {
    VirtualMidiService service;
    ScopedLogCapture log;
    FakeEndpoints kelva;
    kelva.AddDestination(service, Named("Ostrel Kelva", "Ostrel Kelva"));
    kelva.source = service.AddSource(Named("Ostrel Kelva", "Ostrel Kelva"));

    // Messages of different lengths, each recognisable as whole: F0, n, n copies of n, F7.
    auto message = [](unsigned char n) {
        Bytes bytes = {0xF0, n};
        bytes.insert(bytes.end(), n, n);
        bytes.push_back(0xF7);
        return bytes;
    };
    auto isWhole = [](const Bytes& bytes) {
        if (bytes.size() < 3 || bytes.front() != 0xF0 || bytes.back() != 0xF7)
            return false;
        const unsigned char n = bytes[1];
        if (bytes.size() != static_cast<std::size_t>(n) + 3)
            return false;
        for (std::size_t i = 2; i + 1 < bytes.size(); ++i)
            if (bytes[i] != n)
                return false;
        return true;
    };

    auto port = std::make_unique<CoreMidiPort>(service, std::set<std::string>{"Ostrel Kelva"});
    ASSERT_TRUE(port->IsConnected());

    constexpr int messages = 400;
    std::atomic<bool> done{false};
    std::thread device([&] {
        for (int i = 0; i < messages; ++i) {
            const unsigned char n = static_cast<unsigned char>(1 + i % 60);
            // Whole messages, cut into packets at varying places.
            service.Emit(kelva.source, message(n), {static_cast<std::size_t>(1 + i % 5), 2});
        }
        done = true;
    });

    int taken = 0;
    int broken = 0;
    for (int round = 0; !done || round < 10; ++round) {
        if (!port->IsConnected())
            continue;
        Bytes bytes = port->LastSysEx();
        if (!bytes.empty()) {
            ++taken;
            if (!isWhole(bytes))
                ++broken;
        }
        port->ClearLastSysEx();
        if (round % 7 == 3)
            port->Disconnect();
    }
    device.join();
    // Nothing emitted after the last search is lost: the port still hears the device.
    ASSERT_TRUE(port->IsConnected());
    service.Emit(kelva.source, message(9));
    Bytes last = port->LastSysEx();
    EXPECT_EQ(last, message(9));
    port.reset();
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.LivePortCount(), 0u);
}
