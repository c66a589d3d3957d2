// The platform port's identity exchange (what --verify-identity turns on) against the simulated
// Kelva on the virtual service, in virtual time: the request goes out, the reply comes back, and the
// send sequence's verdict can now name the version the device reports.
#include "Clock.h"
#include "CoreMidiPort.h"
#include "DeviceStatus.h"
#include "Log.h"
#include "SimulatedDevice.h"
#include "SysExSender.h"
#include "Update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

using Bytes = std::vector<unsigned char>;
using ::testing::IsEmpty;

namespace {

const Bytes identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
const std::set<std::string> kelva{"Ostrel Kelva"};

struct VerdictSink : UpdateProgress {
    std::string completed, error;
    void Progress(float) override {}
    void ProgressIndeterminate() override {}
    void Status(const std::string&) override {}
    void Error(const std::string& text) override { error = text; }
    void Completed(const std::string& text) override { completed = text; }
};

struct IdentityExchangeTest : ::testing::Test {
    VirtualClock clock{0};
    ScopedClock scoped{clock};
    ScopedLogCapture log;
    VirtualMidiService service;

    Bytes Ask(CoreMidiPort& port, unsigned int timeoutMs = 5000) {
        return port.ReceiveSysEx(timeoutMs, identityRequest.data(), identityRequest.size());
    }
};

} // namespace

TEST_F(IdentityExchangeTest, OffByDefaultNothingIsSentAndTheAnswerIsEmpty) {
    SimulatedDevice device(service);
    CoreMidiPort port(service, kelva);
    const std::uint64_t start = clock.NowMs();
    EXPECT_THAT(Ask(port), IsEmpty());
    EXPECT_EQ(clock.NowMs(), start);
    EXPECT_EQ(device.IdentityRequests(), 0u);
}

TEST_F(IdentityExchangeTest, ConnectsSendsTheRequestAndReturnsTheReply) {
    SimulatedDevice::Options options;
    options.protocol.firmwareVersion = Version{2, 31};
    SimulatedDevice device(service, options);
    CoreMidiPort port(service, kelva);
    port.SetRequestIdentity(true);
    const Bytes reply = Ask(port); // the port is not connected yet: it finds the device first
    EXPECT_EQ(reply, DeviceProtocol::IdentityReply(Version{2, 31}));
    EXPECT_EQ(ParseDeviceEnquiryResponse(reply).version, "2.31");
    EXPECT_EQ(device.IdentityRequests(), 1u);
    ASSERT_FALSE(device.Messages().empty());
    EXPECT_EQ(device.Messages().back(), identityRequest);
    EXPECT_LT(clock.NowMs(), 100u);
}

TEST_F(IdentityExchangeTest, GivesUpAfterTheTimeOutWhenNoReplyComes) {
    for (bool withoutSource : {false, true}) {
        SCOPED_TRACE(withoutSource ? "device without a source" : "device that does not answer");
        SimulatedDevice::Options options;
        options.protocol.answerIdentity = false;
        options.withoutSource = withoutSource;
        SimulatedDevice device(service, options);
        CoreMidiPort port(service, kelva);
        port.SetRequestIdentity(true);
        const std::uint64_t start = clock.NowMs();
        EXPECT_THAT(Ask(port, 5000), IsEmpty());
        EXPECT_GE(clock.NowMs() - start, 5000u);
        EXPECT_LT(clock.NowMs() - start, 5100u);
        EXPECT_EQ(device.IdentityRequests(), 1u);
    }
}

TEST_F(IdentityExchangeTest, NoDeviceMeansNoRequestAndAnEmptyAnswer) {
    CoreMidiPort port(service, kelva);
    port.SetRequestIdentity(true);
    EXPECT_THAT(Ask(port), IsEmpty());
}

TEST_F(IdentityExchangeTest, ASilentDeviceGetsItsVersionIntoTheVerdict) {
    struct Case {
        Version deviceVersion;
        std::string expected;
    } cases[] = {
        {Version{1, 5}, "The 'Ostrel Kelva' was updated sucessfully to version 1.05."},
        {Version{1, 4},
         "The 'Ostrel Kelva' firmware version is now 1.04.\nThe update file version was 1.05.\n"
         "The update process did not complete successfully."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        SimulatedDevice::Options options;
        options.protocol.answer = DeviceProtocol::Answer::Silent;
        options.protocol.firmwareVersion = c.deviceVersion;
        SimulatedDevice device(service, options);
        Update update(Bytes{0xF0, 0x00, 0x00, 0x0E, 0x01, 0x02, 0xF7}, "Ostrel Kelva", "Ostrel Kelva", "");
        update.version = Version{1, 5};
        CoreMidiPort port(service, update.macPortNames);
        port.SetRequestIdentity(true);
        SimpleSysExSender sender(port);
        VerdictSink sink;
        sender.Send(update, sink);
        EXPECT_EQ(sink.completed + sink.error, c.expected);
        EXPECT_EQ(device.IdentityRequests(), 1u);
    }
}
