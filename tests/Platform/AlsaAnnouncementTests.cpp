// What the system client's announcements tell a setup watch. Made-up events: no sequencer needed.
#include "AlsaSequencer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct AnnouncementCase {
    const char* what;
    unsigned char type;
    unsigned char fromClient;
    unsigned char fromPort;
    unsigned char aboutClient;
    unsigned char aboutPort;
    std::optional<SetupChange> change; // nothing told when empty
    MidiRef endpoint;
};

// Endpoint references are (client << 8 | port) + 1.
constexpr MidiRef endpoint130_2 = ((130u << 8) | 2u) + 1;
constexpr MidiRef endpoint24_0 = (24u << 8) + 1;

class AlsaAnnouncement : public testing::TestWithParam<AnnouncementCase> {};

TEST_P(AlsaAnnouncement, TellsTheSetupChangeItMeans) {
    const AnnouncementCase& c = GetParam();
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = c.type;
    event.source.client = c.fromClient;
    event.source.port = c.fromPort;
    event.data.addr.client = c.aboutClient;
    event.data.addr.port = c.aboutPort;

    const auto told = alsa::AnnouncedSetupChange(event);
    ASSERT_EQ(told.has_value(), c.change.has_value());
    if (told) {
        EXPECT_EQ(told->change, *c.change);
        EXPECT_EQ(told->endpoint, c.endpoint);
    }
}

constexpr unsigned char sys = SND_SEQ_CLIENT_SYSTEM;
constexpr unsigned char announce = SND_SEQ_PORT_SYSTEM_ANNOUNCE;

INSTANTIATE_TEST_SUITE_P(
    Events, AlsaAnnouncement,
    testing::Values(
        AnnouncementCase{"port start", SND_SEQ_EVENT_PORT_START, sys, announce, 130, 2,
                         SetupChange::EndpointAdded, endpoint130_2},
        AnnouncementCase{"kernel client port start", SND_SEQ_EVENT_PORT_START, sys, announce, 24, 0,
                         SetupChange::EndpointAdded, endpoint24_0},
        AnnouncementCase{"port exit", SND_SEQ_EVENT_PORT_EXIT, sys, announce, 130, 2,
                         SetupChange::EndpointRemoved, endpoint130_2},
        AnnouncementCase{"port change", SND_SEQ_EVENT_PORT_CHANGE, sys, announce, 130, 2,
                         SetupChange::EndpointChanged, endpoint130_2},
        AnnouncementCase{"client exit", SND_SEQ_EVENT_CLIENT_EXIT, sys, announce, 130, 0,
                         SetupChange::EndpointRemoved, 0},
        AnnouncementCase{"client change", SND_SEQ_EVENT_CLIENT_CHANGE, sys, announce, 130, 0,
                         SetupChange::EndpointChanged, 0},
        AnnouncementCase{"client start", SND_SEQ_EVENT_CLIENT_START, sys, announce, 130, 0, std::nullopt, 0},
        AnnouncementCase{"subscribed", SND_SEQ_EVENT_PORT_SUBSCRIBED, sys, announce, 130, 2, std::nullopt, 0},
        AnnouncementCase{"unsubscribed", SND_SEQ_EVENT_PORT_UNSUBSCRIBED, sys, announce, 130, 2, std::nullopt,
                         0},
        AnnouncementCase{"note on the announce port", SND_SEQ_EVENT_NOTEON, sys, announce, 130, 2,
                         std::nullopt, 0},
        AnnouncementCase{"the system client's own port", SND_SEQ_EVENT_PORT_START, sys, announce, sys, 0,
                         std::nullopt, 0},
        AnnouncementCase{"from the system timer port", SND_SEQ_EVENT_PORT_START, sys,
                         SND_SEQ_PORT_SYSTEM_TIMER, 130, 2, std::nullopt, 0},
        AnnouncementCase{"sent by another client", SND_SEQ_EVENT_PORT_EXIT, 131, 0, 130, 2, std::nullopt, 0}),
    [](const testing::TestParamInfo<AnnouncementCase>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (c == ' ' || c == '\'')
                c = '_';
        return name;
    });

} // namespace
