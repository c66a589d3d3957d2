// The device's bytes reach the port's collector on one thread (the MIDI receive thread) while the
// status poll takes messages on another (the sender's thread). Run these under ThreadSanitizer too.
#include "Clock.h"
#include "DeviceStatus.h"
#include "Log.h"
#include "ScriptedMidiPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Bytes = std::vector<unsigned char>;

// A status message whose unexamined bytes carry a 21-bit sequence number.
Bytes NumberedStatus(unsigned int number, unsigned char flags) {
    Bytes message = StatusMessage(flags);
    message[5] = static_cast<unsigned char>(number & 0x7F);
    message[6] = static_cast<unsigned char>((number >> 7) & 0x7F);
    message[7] = static_cast<unsigned char>((number >> 14) & 0x7F);
    return message;
}

unsigned int NumberOf(const Bytes& message) {
    return message[5] | (static_cast<unsigned int>(message[6]) << 7) |
           (static_cast<unsigned int>(message[7]) << 14);
}

// Feeds packets to the port on its own thread, in lockstep with virtual time: whenever the poll
// thread advances the clock, it waits until the device thread has delivered what was due by then.
class DeviceThread {
public:
    DeviceThread(VirtualClock& clock, ScriptedMidiPort& port,
                 std::deque<std::pair<std::uint64_t, Bytes>> script)
        : port(port), script(std::move(script)), thread([this] { Run(); }) {
        clock.AddObserver([this](std::uint64_t now) {
            std::unique_lock<std::mutex> guard(mutex);
            requested = now;
            changed.notify_all();
            changed.wait(guard, [&] { return handled == now; });
        });
    }
    ~DeviceThread() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            stop = true;
            changed.notify_all();
        }
        thread.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> guard(mutex);
        for (;;) {
            changed.wait(guard, [&] { return stop || requested != handled; });
            if (stop)
                return;
            const std::uint64_t now = requested;
            guard.unlock();
            while (!script.empty() && script.front().first <= now) {
                const Bytes message = script.front().second;
                script.pop_front();
                // Each message in three packets, after a real-time byte.
                port.Receive({0xF8});
                port.Receive(Bytes(message.begin(), message.begin() + 4));
                port.Receive(Bytes(message.begin() + 4, message.begin() + 9));
                port.Receive(Bytes(message.begin() + 9, message.end()));
            }
            guard.lock();
            handled = now;
            changed.notify_all();
        }
    }

    ScriptedMidiPort& port;
    std::deque<std::pair<std::uint64_t, Bytes>> script;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t requested = 0;
    std::uint64_t handled = 0;
    bool stop = false;
    std::thread thread;
};

} // namespace

TEST(CollectorConcurrency, StatusWaitReadsWhatAnotherThreadFeeds) {
    VirtualClock clock(0);
    ScopedClock useClock(clock);
    ScopedLogCapture log;
    ScriptedMidiPort port;
    RecordingProgress progress;
    DeviceThread device(clock, port,
                        {{300, NumberedStatus(1, 0x20)},
                         {800, NumberedStatus(2, 0x20)},
                         {1300, NumberedStatus(3, 0x20)},
                         {1700, NumberedStatus(4, 0x00)}});
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 1);
    EXPECT_EQ(clock.NowMs(), 2000u);
    EXPECT_EQ(progress.Statuses(),
              (std::vector<std::string>{"Checking update status...",
                                        "Waiting for device to complete update installation...",
                                        "Device has accepted update."}));
}

TEST(CollectorConcurrency, PollNeverSeesATornOrRepeatedMessage) {
    VirtualClock clock(0);
    ScopedClock useClock(clock);
    ScopedLogCapture log;
    ScriptedMidiPort port;
    constexpr unsigned int messages = 20000;
    std::atomic<bool> done{false};

    std::thread feeder([&] {
        for (unsigned int number = 1; number <= messages; ++number) {
            const Bytes message = NumberedStatus(number, number == messages ? 0x00 : 0x20);
            // Split at a different place each time, with noise between messages.
            const std::size_t cut = 1 + number % (message.size() - 1);
            port.Receive(Bytes(message.begin(), message.begin() + cut));
            port.Receive(Bytes(message.begin() + cut, message.end()));
            port.Receive({0xFE, 0x90, 0x40, 0x7F});
        }
        done = true;
    });

    unsigned int last = 0;
    bool sawFinal = false; // the last message is the only one that says accepted
    int polls = 0;
    bool finished = false;
    while (!finished) {
        finished = done.load();
        // Alternate between the poll itself and a direct look, so both paths race with the feeder.
        if (++polls % 2 == 0) {
            const int status = GetUpdateStatus(port, 0);
            EXPECT_TRUE(status == 0 || status == 1 || status == 2) << status;
            sawFinal = sawFinal || status == 1;
            continue;
        }
        const Bytes message = port.LastSysEx();
        if (message.empty())
            continue;
        ASSERT_EQ(message.size(), 13u);
        ASSERT_NE(CheckSysExUpdateStatus(message), 0);
        const unsigned int number = NumberOf(message);
        ASSERT_GT(number, last) << "a message was handed out twice or out of order";
        last = number;
        sawFinal = sawFinal || number == messages;
    }
    feeder.join();
    // The newest message survives until it is taken: the look after the feeder ended finds it.
    EXPECT_TRUE(sawFinal);
    EXPECT_TRUE(port.LastSysEx().empty());
}
