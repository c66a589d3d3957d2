// libFuzzer target for what a device sends during a whole update. The input is a script of byte
// strings with their times and packet sizes (DeviceScript.h); a device made of a destination and a
// source on the virtual MIDI service plays it while the platform port and SimpleSysExSender send a
// small update on the virtual clock. Whatever the device sends, the update must end with exactly
// one verdict, within the time the status rules allow, with every byte of the update delivered
// whole and in order, and with the receive side's memory bounded however much the device sends.
#include "Clock.h"
#include "CoreMidiPort.h"
#include "DeviceScript.h"
#include "Log.h"
#include "SysExSender.h"
#include "Update.h"
#include "VirtualMidiService.h"

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

using device_script::Bytes;

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Bytes allocated and not yet freed, counted by the sanitizer's allocator hooks.
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};

void OnMalloc(const volatile void*, std::size_t size) {
    const std::int64_t now = liveBytes += static_cast<std::int64_t>(size);
    std::int64_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
}

void OnFree(const volatile void* pointer) {
    liveBytes -= static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(pointer)));
}

// The receive side holds at most a message being collected, the last complete one and a copy taken
// from it (1 MiB each at most; twice that for the stored one while it is replaced), plus the packets
// in flight. A collector without its limit would grow to 8 MiB for a 4 MiB message.
constexpr std::int64_t maxReceiveSideBytes = 6 * 1024 * 1024;

// The longest wait the status rules allow for one portion: up to six silent polls, and runs of up
// to 201 busy answers between them, each poll taking at most the 2 s status time-out.
constexpr std::uint64_t maxWaitPerPortionMs = (6 + 6 * 201) * 2000;
constexpr std::uint64_t identityTimeoutMs = 5000;
constexpr std::uint64_t identityPollMs = 10;

const Bytes identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

struct Verdicts : UpdateProgress {
    std::vector<std::string> reports; // every status text and verdict, in order
    int verdicts = 0;
    bool verifying = false;
    void Progress(float value) override { Check(value >= 0.0f && value <= 1.0f); }
    void ProgressIndeterminate() override {}
    void Status(const std::string& text) override {
        Check(verdicts == 0);
        verifying = verifying || text == "Verifying update status...";
        reports.push_back(text);
    }
    void Error(const std::string& text) override { Verdict("error: " + text); }
    void Completed(const std::string& text) override { Verdict("completed: " + text); }
    void Verdict(const std::string& text) {
        ++verdicts;
        reports.push_back(text);
    }
};

// Plays the script: every event due by the clock's time is emitted from the device's source.
class Device {
public:
    Device(VirtualMidiService& service, const device_script::Script& script, std::uint64_t startMs)
        : service(service), script(script), startMs(startMs) {
        VirtualMidiService::EndpointInfo info;
        info.name = info.displayName = "Ostrel Kelva";
        info.manufacturer = "Ostrel";
        service.AddDestination(info, [this](const Bytes& bytes) {
            std::lock_guard<std::mutex> lock(mutex);
            received.insert(received.end(), bytes.begin(), bytes.end());
        });
        source = service.AddSource(info);
    }

    void At(std::uint64_t nowMs) {
        while (next < script.events.size() && startMs + script.events[next].atMs <= nowMs)
            Play(script.events[next++]);
    }

    Bytes Received() {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    // Whether the device has sent this byte value (each played event's pattern holds all it sent).
    bool Sent(unsigned char value) const {
        for (std::size_t i = 0; i < next; ++i) {
            const Bytes& pattern = script.events[i].pattern;
            if (std::find(pattern.begin(), pattern.end(), value) != pattern.end())
                return true;
        }
        return false;
    }

private:
    void Play(const device_script::Event& event) {
        constexpr std::size_t piece = 64 * 1024;
        Bytes bytes;
        for (std::size_t done = 0; done < event.size;) {
            const std::size_t size = std::min(piece, event.size - done);
            bytes.resize(size);
            for (std::size_t i = 0; i < size; ++i)
                bytes[i] = event.pattern[(done + i) % event.pattern.size()];
            std::vector<std::size_t> packets;
            if (event.packetSize != 0)
                packets.assign(size / event.packetSize, event.packetSize);
            service.Emit(source, bytes, packets);
            done += size;
        }
    }

    VirtualMidiService& service;
    const device_script::Script& script;
    std::uint64_t startMs;
    std::size_t next = 0;
    MidiRef source = 0;
    std::mutex mutex;
    Bytes received;
};

Bytes Portion(unsigned char seed, std::size_t messages) {
    Bytes data;
    for (std::size_t m = 0; m < messages; ++m) {
        data.insert(data.end(), {0xF0, 0x00, 0x20, 0x31});
        for (unsigned char i = 0; i < 40; ++i)
            data.push_back(static_cast<unsigned char>((seed * 13 + m * 7 + i) & 0x7F));
        data.push_back(0xF7);
    }
    return data;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogSink([](const std::string&) {}); // the port logs every packet; nobody reads it here
    __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const device_script::Script script = device_script::Decode(data, size);
    const device_script::Setup& setup = script.setup;

    VirtualClock clock;
    ScopedClock scoped(clock);
    VirtualMidiService service;
    const std::uint64_t start = clock.NowMs();
    Device device(service, script, start);
    clock.AddObserver([&device](std::uint64_t now) { device.At(now); });

    Update update(Portion(1, 1), "Ostrel Kelva", "Ostrel Kelva$Ostrel Dramlin", "");
    update.version = setup.versionUnknown ? unknownVersion : Version{1, 5};
    update.sysExPortions.clear();
    Bytes expected;
    for (unsigned int i = 0; i < setup.portions; ++i) {
        update.sysExPortions.push_back({Portion(static_cast<unsigned char>(i), 1 + i), setup.delayMs});
        expected.insert(expected.end(), update.sysExPortions.back().data.begin(),
                        update.sysExPortions.back().data.end());
    }

    Verdicts verdicts;
    const std::int64_t baseline = liveBytes.load();
    peakBytes = baseline;
    {
        CoreMidiPort port(service, {"Ostrel Kelva", "Ostrel Dramlin"});
        port.SetRequestIdentity(setup.identityExchange);
        SimpleSysExSender sender(port);
        sender.Send(update, verdicts);
    }
    Check(peakBytes.load() - baseline < maxReceiveSideBytes);

    // One verdict, the last report.
    Check(verdicts.verdicts == 1);
    const std::string& verdict = verdicts.reports.back();
    if (std::getenv("DEVICE_INPUT_FUZZER_VERBOSE"))
        std::printf("%zu events, %zu bytes, %llu ms: %s\n", script.events.size(), script.totalBytes,
                    static_cast<unsigned long long>(clock.NowMs() - start), verdict.c_str());
    Check(verdict.starts_with("completed: ") || verdict.starts_with("error: "));

    // Within the written bounds, in virtual time.
    const std::uint64_t elapsed = clock.NowMs() - start;
    Check(elapsed <=
          setup.portions * (maxWaitPerPortionMs + setup.delayMs) + identityTimeoutMs + identityPollMs);

    // The device is there all along and takes every packet: each portion reaches it once, whole and
    // in order; the identity request follows only when the sender verified with the exchange on.
    if (verdicts.verifying && setup.identityExchange)
        expected.insert(expected.end(), identityRequest.begin(), identityRequest.end());
    Check(device.Received() == expected);

    // A verdict that names the device's answer needs one: an F0 and the bytes of a status message's
    // header (3F 73) or of an identity reply (7E) among what the device sent.
    const bool answered = device.Sent(0xF0) && ((device.Sent(0x3F) && device.Sent(0x73)) ||
                                                (setup.identityExchange && device.Sent(0x7E)));
    if (!answered)
        Check(verdict == "completed: The update has been sent.");
    return 0;
}
