// Catches: a wrong verdict or verdict text, no look for 10 s then on other ports, a lost status or retry
// line, a wrong retry budget (six attempts of 10 s looking and 5 s pause over the whole update), a skipped
// pause, a failed send or refused portion that does not spoil the update, wrong bytes sent, progress outside
// a portion's share.
#include "ScriptedMidiPort.h"
#include "SysExSender.h"

#include <regex>

namespace {

const std::string accepted = "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.",
                  error = "error: There was an error sending the update file.\nPlease restart the device "
                          "and try again.",
                  sentText = "completed: The update has been sent.", started = "Started update",
                  looking = "Looking for Ostrel Kelva to update...",
                  sentOk = "MIDI update sent successfully.", verifying = "Verifying update status...",
                  inUse = "The port is in use.";

// Answers of the device to each portion, as soon as its last byte arrives: a accepts, r refuses,
// b busy for ever, s silent, f accepts but the first send of it fails, v accepts and the device goes
// away when the port lets go of it.

struct SendRig : Rig {
    Update update{Bytes{}, "Ostrel Kelva", "", ""};
    SimpleSysExSender sender{port};
    bool busy = false;

    SendRig() { update.version = {1, 5}; }

    // Portions of 1000 bytes (one message, its second byte the portion's index), the first with a
    // pause of 100 ms, answered as given.
    void Play(const std::string& answers) {
        for (std::size_t i = 0; i < answers.size(); ++i) {
            update.sysExPortions.push_back({Messages(1, 1000), i == 0 ? 100u : 0u});
            update.sysExPortions.back().data[1] = static_cast<unsigned char>(i);
        }
        clock.AddObserver([this](std::uint64_t) { port.Receive(busy ? busyMessage : Bytes{}); });
        port.device = [this, answers, sends = 0](const unsigned char* data) mutable {
            const char answer = answers[data[1]];
            if (answer == 'f' && !sends++)
                return false;
            busy = answer == 'b';
            port.vanishes = port.vanishes || answer == 'v';
            if (answer != 'b' && answer != 's')
                port.Receive(answer == 'r' ? refusedMessage : acceptedMessage);
            return true;
        };
        sender.Send(update, progress);
    }
    // The statuses Send itself shows (not those of sending, waiting or pausing), every verdict, then
    // the virtual time taken and the number of sends that reached the device.
    Lines Transcript() {
        const std::regex hidden("progress .*|busy|status: (Sent |Checking|Device has|Waiting for).*");
        Lines shown;
        for (const auto& line : progress.lines)
            if (!std::regex_match(line, hidden))
                shown.push_back(line.starts_with("status: ") ? line.substr(8) : line);
        shown.push_back(std::to_string(clock.NowMs()) + " ms, " + std::to_string(port.sent.size()) + " sent");
        return shown;
    }
};
class SendSequence : public ::testing::Test, public SendRig {};

const Bytes v105 = IdentityReply({0x41}, {0, 1, 0, 5});
const std::string retry22 = "Could not send chunk #2 of 2. Retrying...",
                  retry23 = "Could not send chunk #2 of 3. Retrying...";

struct Row {
    const char* name;
    std::string answers;         // one portion each
    Lines transcript;            // as Transcript() gives it, after "Started" and the first "Looking"
    std::size_t absentLooks = 0; // IsConnected answers false this often first (12 looks an attempt)
    Bytes identity = {};         // the device's identity reply
    Version version = {1, 5};    // the update file's
};
const std::vector<Row> rows{
    {"accepted", "a", Lines{sentOk, accepted, "100 ms, 1 sent"}, 0, v105},
    {"silent, no identity reply", "s", Lines{sentOk, verifying, sentText, "12100 ms, 1 sent"}},
    {"busy for ever, short identity reply", "b",
     Lines{
         sentOk, verifying,
         "completed: The update has been sent, but the device has not yet confirmed that the update process "
         "was successful.",
         "100600 ms, 1 sent"},
     0, Bytes{0xF0, 0x7E, 0x00, 0xF7}},
    {"silent, replies with the update's version", "s", Lines{sentOk, verifying, accepted, "12100 ms, 1 sent"},
     0, v105},
    {"silent, update of unknown version", "s",
     Lines{sentOk, verifying,
           "completed: The update has been sent to the device sucessfully.\nIt is now at version firmware "
           "1.05.",
           "12100 ms, 1 sent"},
     0, v105, unknownVersion},
    {"silent, another version (1.50 is not 1.05)", "s",
     Lines{sentOk, verifying,
           "error: The 'Ostrel Kelva' firmware version is now 1.50.\nThe update file version was 1.05.\nThe "
           "update process did not complete successfully.",
           "12100 ms, 1 sent"},
     0, IdentityReply({0x41}, {0, 1, 5, 0})},
    {"no portions", "", Lines{sentOk, verifying, sentText, "0 ms, 0 sent"}},
    {"absent: six attempts", "a", Lines{error, "90000 ms, 0 sent"}, 99},
    {"present after two attempts", "a", Lines{sentOk, accepted, "30100 ms, 1 sent"}, 24},
    {"vanishes after the first of two", "va",
     Lines{"Sending chunk #2 of 2", retry22, retry22, retry22, retry22, retry22, error, "75100 ms, 1 sent"}},
    {"the retries are shared by the whole update", "vaa",
     Lines{"Sending chunk #2 of 3", retry23, retry23, looking, "Could not send chunk #3 of 3. Retrying...",
           error, "90100 ms, 1 sent"},
     36},
    {"first given up, then accepted", "aa", Lines{looking, error, "90000 ms, 1 sent"}, 72},
    {"first refused, then accepted", "ra", Lines{"Sending chunk #2 of 2", sentOk, error, "100 ms, 2 sent"}},
    {"first silent, then accepted", "sa",
     Lines{"Sending chunk #2 of 2", sentOk, accepted, "12100 ms, 2 sent"}},
    {"a send fails once, then accepted", "af",
     Lines{"Sending chunk #2 of 2", inUse, retry22, sentOk, accepted, "5100 ms, 2 sent"}},
};

} // namespace

TEST(SendSequenceTable, VerdictStatusesTimeAndBytesByDevice) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SendRig rig;
        rig.port.answers.assign(row.absentLooks, false);
        rig.port.identity = row.identity;
        rig.update.version = row.version;
        rig.Play(row.answers);
        EXPECT_EQ(Join(rig.Transcript()),
                  started + (row.answers.empty() ? "" : " | " + looking) + " | " + Join(row.transcript));
        for (const auto& sent : rig.port.sent)
            EXPECT_EQ(sent, rig.update.sysExPortions.at(sent[1]).data);
        // The identity request (with its 5-s time-out) goes out exactly when "Verifying" is shown.
        EXPECT_EQ(rig.port.requests,
                  decltype(rig.port.requests)(std::ranges::count(row.transcript, verifying),
                                              {5000, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}));
    }
}

TEST_F(SendSequence, EveryReportOfAPortionAcceptedByADeviceFoundOnceOtherPortsArePermitted) {
    clock.AddObserver([this](std::uint64_t now) { progress.Status("slept until " + std::to_string(now)); });
    port.connected = false; // looked for once a second for 10 s, then found on any port
    port.connectsAfterPermit = true;
    Play("a");
    // Started and looking; the portion; the device's status; the pause; the verdict.
    EXPECT_EQ(
        Join(progress.lines),
        "progress 0 | busy | status: Started update | status: Looking for Ostrel Kelva to update... | busy | "
        "status: slept until 1000 | status: slept until 2000 | status: slept until 3000 | status: slept "
        "until 4000 | "
        "status: slept until 5000 | status: slept until 6000 | status: slept until 7000 | status: slept "
        "until 8000 | "
        "status: slept until 9000 | status: slept until 10000 | "
        "busy | status: Sent 0 bytes of 1000 bytes | progress 1 | status: Sent 1000 bytes of 1000 bytes | "
        "status: Checking update status... | busy | status: Device has accepted update. | progress 1 | "
        "status: Waiting for device to become ready for more data... | busy | status: slept until 10100 | "
        "status: Waiting for device to become active... | progress 1 | progress 1 | "
        "status: MIDI update sent successfully. | " +
            accepted);
    EXPECT_EQ(port.disconnects, 1);
}

TEST_F(SendSequence, EachPortionFillsItsShareOfTheBar) {
    Play("aaaa");
    EXPECT_EQ(Join(progress.lines, "progress "),
              "0 | 0.25 | 0.25 | 0.25 | 0.5 | 0.5 | 0.75 | 0.75 | 1 | 1 | 1");
}

TEST_F(SendSequence, EveryAttemptFailingAtTheSameChunkSpoilsTheUpdate) {
    // A three-chunk portion: no status wait, no pause, the reason shown once, no "sent successfully".
    for (std::size_t k : {0, 1, 2}) {
        SendRig rig;
        rig.port.ideal = rig.port.max = 1000;
        rig.update.sysExPortions.push_back({Messages(3, 1000), 250});
        const unsigned char* failing = &rig.update.sysExPortions[0].data[1000 * k];
        rig.port.device = [failing](const unsigned char* chunk) { return chunk != failing; };
        rig.sender.Send(rig.update, rig.progress);
        EXPECT_EQ(rig.port.failures, 6);
        EXPECT_EQ(rig.Transcript(),
                  (Lines{started, looking, inUse, error, Format("30000 ms, %zu sent", 6 * k)}));
    }
}
