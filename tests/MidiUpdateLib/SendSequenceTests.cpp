// Catches: a wrong verdict or verdict text, a lost status or retry line, a wrong retry budget (six
// attempts of 10 s looking and 5 s pause over the whole update), a skipped pause, a failed send or
// refused portion that does not spoil the update, wrong bytes sent, progress outside a portion's share.
#include "ScriptedMidiPort.h"
#include "SysExSender.h"

namespace {

const std::string acceptedText = "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.";
const std::string errorText =
    "error: There was an error sending the update file.\nPlease restart the device and try again.";
const std::string sentText = "completed: The update has been sent.";
const std::string notConfirmedText = "completed: The update has been sent, but the device has not yet "
                                     "confirmed that the update process was successful.";
const std::string started = "Started update", looking = "Looking for Ostrel Kelva to update...",
                  sentOk = "MIDI update sent successfully.", verifying = "Verifying update status...";

// Answers of the device to a portion, as soon as its last byte arrives.
enum Answer { silent, accepts, busyForEver, refuses, firstSendFails };
using Answers = std::vector<Answer>;

struct SendRig : Rig {
    Update update{Bytes{}, "Ostrel Kelva", "", ""};
    SimpleSysExSender sender{port};
    bool busy = false;

    SendRig() { update.version = {1, 5}; }

    // Portions of 1000 bytes (one message, its second byte the portion's index), the first with a
    // pause of 100 ms, answered as given.
    void Play(const Answers& answers) {
        for (std::size_t i = 0; i < answers.size(); ++i) {
            Bytes data(1000, static_cast<unsigned char>(i));
            data.front() = 0xF0;
            data.back() = 0xF7;
            update.sysExPortions.push_back({data, i == 0 ? 100u : 0u});
        }
        clock.AddObserver([this](std::uint64_t) {
            if (busy)
                port.Receive(busyMessage);
        });
        port.fails = [answers, sends = 0](const unsigned char* data) mutable {
            return answers[data[1]] == firstSendFails && !sends++;
        };
        port.onSend = [this, answers](const unsigned char* data, std::size_t) {
            busy = answers[data[1]] == busyForEver;
            if (answers[data[1]] == refuses || answers[data[1]] == accepts ||
                answers[data[1]] == firstSendFails)
                port.Receive(answers[data[1]] == refuses ? refusedMessage : acceptedMessage);
        };
        sender.Send(update, progress);
    }
    // The statuses that Send itself shows, not those of sending, waiting or pausing.
    Lines SequenceStatuses() const {
        Lines shown;
        for (const auto& text : progress.Statuses())
            if (!text.starts_with("Sent ") && !text.starts_with("Checking") &&
                !text.starts_with("Device has") && !text.starts_with("Waiting for"))
                shown.push_back(text);
        return shown;
    }
};
class SendSequence : public ::testing::Test, public SendRig {};

struct Row {
    const char* name;
    Answers answers;         // one portion each
    std::size_t absentLooks; // IsConnected answers false this often first (12 looks an attempt)
    bool vanishes;           // the device goes away when the port first lets go of it
    Bytes identity;          // the device's identity reply
    Version version;         // the update file's
    Lines statuses;          // as SequenceStatuses() gives them
    std::string verdict;
    std::uint64_t ms; // virtual time taken
    std::size_t sent; // portions that reached the device
};

const Bytes v105 = IdentityReply({0x41}, {0, 1, 0, 5}), v150 = IdentityReply({0x41}, {0, 1, 5, 0});
const Version v = {1, 5};
const std::string retry22 = "Could not send chunk #2 of 2. Retrying...",
                  retry23 = "Could not send chunk #2 of 3. Retrying...";

const std::vector<Row> rows{
    {"accepted", Answers{accepts}, 0, false, v105, v, Lines{started, looking, sentOk}, acceptedText, 100, 1},
    {"refused", Answers{refuses}, 0, false, v105, v, Lines{started, looking, sentOk}, errorText, 100, 1},
    {"silent, no identity reply", Answers{silent}, 0, false, Bytes{}, v,
     Lines{started, looking, sentOk, verifying}, sentText, 12100, 1},
    {"busy for ever, short identity reply", Answers{busyForEver}, 0, false, Bytes{0xF0, 0x7E, 0x00, 0xF7}, v,
     Lines{started, looking, sentOk, verifying}, notConfirmedText, 201 * 500 + 100, 1},
    {"silent, replies with the update's version", Answers{silent}, 0, false, v105, v,
     Lines{started, looking, sentOk, verifying}, acceptedText, 12100, 1},
    {"silent, update of unknown version", Answers{silent}, 0, false, v105, unknownVersion,
     Lines{started, looking, sentOk, verifying},
     "completed: The update has been sent to the device sucessfully.\nIt is now at version firmware 1.05.",
     12100, 1},
    {"silent, another version (1.50 is not 1.05)", Answers{silent}, 0, false, v150, v,
     Lines{started, looking, sentOk, verifying},
     "error: The 'Ostrel Kelva' firmware version is now 1.50.\nThe update file version was 1.05.\nThe "
     "update process did not complete successfully.",
     12100, 1},
    {"no portions", Answers{}, 0, false, Bytes{}, v, Lines{started, sentOk, verifying}, sentText, 0, 0},
    {"absent: six attempts", Answers{accepts}, 99, false, Bytes{}, v, Lines{started, looking}, errorText,
     90000, 0},
    {"present after two attempts", Answers{accepts}, 24, false, Bytes{}, v, Lines{started, looking, sentOk},
     acceptedText, 30100, 1},
    {"vanishes after the first of two", Answers{accepts, accepts}, 0, true, Bytes{}, v,
     Lines{started, looking, "Sending chunk #2 of 2", retry22, retry22, retry22, retry22, retry22}, errorText,
     75100, 1},
    {"the retries are shared by the whole update", Answers{accepts, accepts, accepts}, 36, true, Bytes{}, v,
     Lines{started, looking, "Sending chunk #2 of 3", retry23, retry23, looking,
           "Could not send chunk #3 of 3. Retrying..."},
     errorText, 90100, 1},
    {"first given up, then accepted", Answers{accepts, accepts}, 72, false, Bytes{}, v,
     Lines{started, looking, looking}, errorText, 90000, 1},
    {"first refused, then accepted", Answers{refuses, accepts}, 0, false, Bytes{}, v,
     Lines{started, looking, "Sending chunk #2 of 2", sentOk}, errorText, 100, 2},
    {"first silent, then accepted", Answers{silent, accepts}, 0, false, Bytes{}, v,
     Lines{started, looking, "Sending chunk #2 of 2", sentOk}, acceptedText, 12100, 2},
    {"a send fails once, then accepted", Answers{accepts, firstSendFails}, 0, false, Bytes{}, v,
     Lines{started, looking, "Sending chunk #2 of 2", "The port is in use.", retry22, sentOk}, acceptedText,
     5100, 2},
};

} // namespace

TEST(SendSequenceTable, VerdictStatusesTimeAndBytesByDevice) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SendRig rig;
        rig.port.answers.assign(row.absentLooks, false);
        rig.port.vanishes = row.vanishes;
        rig.port.identity = row.identity;
        rig.update.version = row.version;
        rig.Play(row.answers);
        EXPECT_EQ(rig.SequenceStatuses(), row.statuses);
        EXPECT_EQ(rig.progress.lines.back(), row.verdict);
        EXPECT_EQ(CountOf(rig.progress.lines, row.verdict), 1);
        EXPECT_EQ(rig.clock.NowMs(), row.ms);
        ASSERT_EQ(rig.port.sent.size(), row.sent);
        for (const auto& sent : rig.port.sent)
            EXPECT_EQ(sent.bytes, rig.update.sysExPortions.at(sent.bytes[1]).data);
        // The identity request (with its 5-s time-out) goes out exactly when "Verifying" is shown.
        using Requests = decltype(rig.port.requests);
        const Requests enquiry{{5000, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}};
        EXPECT_EQ(rig.port.requests, CountOf(row.statuses, verifying) ? enquiry : Requests{});
    }
}

TEST_F(SendSequence, EveryReportOfAnAcceptedPortionInOrder) {
    clock.AddObserver([this](std::uint64_t now) { progress.Status("slept until " + std::to_string(now)); });
    Play({accepts});
    EXPECT_EQ(progress.lines, (Lines{"progress 0", "busy", "status: Started update",
                                     "status: Looking for Ostrel Kelva to update...", "busy",
                                     // the portion
                                     "busy", "status: Sent 0 bytes of 1000 bytes", "progress 1",
                                     "status: Sent 1000 bytes of 1000 bytes",
                                     // the device's status
                                     "status: Checking update status...", "busy",
                                     "status: Device has accepted update.", "progress 1",
                                     // the pause
                                     "status: Waiting for device to become ready for more data...", "busy",
                                     "status: slept until 100",
                                     "status: Waiting for device to become active...", "progress 1",
                                     // the verdict
                                     "progress 1", "status: MIDI update sent successfully.", acceptedText}));
    EXPECT_EQ(port.disconnects, 1);
}

TEST_F(SendSequence, EachPortionFillsItsShareOfTheBar) {
    Play({accepts, accepts, accepts, accepts});
    EXPECT_EQ(progress.Only("progress "),
              (Lines{"0", "0.25", "0.25", "0.25", "0.5", "0.5", "0.75", "0.75", "1", "1", "1"}));
}

// Every attempt fails at chunk k of a three-chunk portion: the portion is not delivered, all six
// attempts go to it, the reason is shown once, no status wait, no pause, no "sent successfully".
class FailingSends : public SendSequence, public ::testing::WithParamInterface<int> {};

TEST_P(FailingSends, EveryAttemptFailsAtTheSameChunk) {
    port.ideal = port.max = 1000;
    update.sysExPortions.push_back({Messages(3, 1000), 250});
    port.fails = [this](const unsigned char* chunk) {
        return chunk == &update.sysExPortions[0].data[1000 * GetParam()];
    };
    sender.Send(update, progress);
    EXPECT_EQ(port.failures, 6);
    EXPECT_EQ(port.sent.size(), 6u * GetParam());
    EXPECT_EQ(SequenceStatuses(), (Lines{started, looking, "The port is in use."}));
    EXPECT_EQ(clock.NowMs(), 6u * 5000u);
    EXPECT_EQ(progress.lines.back(), errorText);
}

INSTANTIATE_TEST_SUITE_P(EveryChunk, FailingSends, ::testing::Values(0, 1, 2));
