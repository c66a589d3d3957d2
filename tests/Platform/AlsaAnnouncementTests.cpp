// What the system client's announcements tell a setup watch; made-up events, no sequencer needed.
// Catches: an announcement told as the wrong change or endpoint, or told where nothing may be (another
// sender, another port of the system client, the system client itself, events that change no setup).
#include "AlsaSequencer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using alsa::Address;

// "added 130:2", "removed none" (no endpoint), or "" when nothing is told.
std::string Text(const std::optional<SetupNotification>& told) {
    if (!told)
        return "";
    const char* const changes[] = {"added", "removed", "changed"};
    const MidiRef e = told->endpoint;
    return std::string(changes[static_cast<int>(told->change)]) + " " +
           (e == 0 ? "none" : std::to_string((e - 1) >> 8) + ":" + std::to_string((e - 1) & 0xFF));
}

TEST(AlsaAnnouncement, TellsTheSetupChangeItMeans) {
    const Address announce{SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE},
        timer{SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_TIMER};
    const struct {
        const char* what;
        int type;
        Address from, about;
        std::string told;
    } rows[] = {
        {"port start", SND_SEQ_EVENT_PORT_START, announce, {130, 2}, "added 130:2"},
        {"kernel client's port start", SND_SEQ_EVENT_PORT_START, announce, {24, 0}, "added 24:0"},
        {"port exit", SND_SEQ_EVENT_PORT_EXIT, announce, {130, 2}, "removed 130:2"},
        {"port change", SND_SEQ_EVENT_PORT_CHANGE, announce, {130, 2}, "changed 130:2"},
        {"client exit", SND_SEQ_EVENT_CLIENT_EXIT, announce, {130, 0}, "removed none"},
        {"client change", SND_SEQ_EVENT_CLIENT_CHANGE, announce, {130, 0}, "changed none"},
        {"client start", SND_SEQ_EVENT_CLIENT_START, announce, {130, 0}, ""},
        {"subscribed", SND_SEQ_EVENT_PORT_SUBSCRIBED, announce, {130, 2}, ""},
        {"unsubscribed", SND_SEQ_EVENT_PORT_UNSUBSCRIBED, announce, {130, 2}, ""},
        {"note on the announce port", SND_SEQ_EVENT_NOTEON, announce, {130, 2}, ""},
        {"the system client's own port", SND_SEQ_EVENT_PORT_START, announce, {SND_SEQ_CLIENT_SYSTEM, 0}, ""},
        {"from the system timer port", SND_SEQ_EVENT_PORT_START, timer, {130, 2}, ""},
        {"sent by another client", SND_SEQ_EVENT_PORT_EXIT, {131, 0}, {130, 2}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        event.type = static_cast<snd_seq_event_type_t>(row.type);
        event.source = {static_cast<unsigned char>(row.from.client),
                        static_cast<unsigned char>(row.from.port)};
        event.data.addr = {static_cast<unsigned char>(row.about.client),
                           static_cast<unsigned char>(row.about.port)};
        EXPECT_EQ(Text(alsa::AnnouncedSetupChange(event)), row.told);
    }
}

} // namespace
