#pragma once

#include "AlsaDelivery.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Pieces that the ALSA MIDI service and the simulated device's ALSA client share.
namespace alsa {

// Input pool (cells) and alsa-lib input buffer (bytes) of our clients: large enough for the largest
// event the kernel lets a user client hold (55972 bytes of data in 2000 cells).
constexpr int inputPoolCells = 2000;
constexpr std::size_t inputBufferBytes = 128 * 1024;

// Stops alsa-lib from writing its own error lines to standard error; the callers report each
// failure once themselves. Process-wide; called before every open.
void QuietLibraryErrors();

// Opens a sequencer client for input and output, blocking, with the given name and the large input
// pool and buffer. `opened`, when given, is called with the client as soon as it is open, before it
// takes its name (which Linux 6.13 and later announce as a change of the client). Returns 0 or a
// negative error code; on error `seq` stays null.
int OpenClient(const std::string& name, snd_seq_t*& seq, const std::function<void(snd_seq_t*)>& opened = {});

// Turns sequencer events back into MIDI bytes: SysEx data as it came, any other MIDI event as its
// message, without running status. Non-MIDI events give nothing.
class EventDecoder {
public:
    EventDecoder();
    ~EventDecoder();
    EventDecoder(const EventDecoder&) = delete;
    EventDecoder& operator=(const EventDecoder&) = delete;
    // Appends the event's bytes to `out`.
    void Decode(const snd_seq_event_t& event, std::vector<unsigned char>& out);

private:
    snd_midi_event_t* parser = nullptr;
};

// A thread that waits on a sequencer client's input and hands each event to a callback, in arrival
// order, until it is stopped. Stopping wakes the wait at once (an eventfd beside the client's file
// descriptors) and joins the thread; the callback is not running and will not run afterwards.
class SequencerReader {
public:
    using EventHandler = std::function<void(const snd_seq_event_t& event)>;
    SequencerReader(snd_seq_t* seq, EventHandler handler);
    ~SequencerReader();
    SequencerReader(const SequencerReader&) = delete;
    SequencerReader& operator=(const SequencerReader&) = delete;
    void Stop();

private:
    void Run();
    snd_seq_t* seq;
    EventHandler handler;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// Sends bytes from `port` of `seq` as direct SysEx events of at most `limit` bytes each, to the
// port's subscribers (dest empty) or to one address. Before each event `waitForRoom` (when given)
// is called with the cells the event needs and must return 0 once the receiver can take it, or an
// error code to give up. Returns 0 or the first negative error code.
int SendSysExEvents(snd_seq_t* seq, int port, const Address* dest, const unsigned char* data,
                    std::size_t size, std::size_t limit,
                    const std::function<int(std::size_t cells)>& waitForRoom);

// Waits on the program's clock until client `client` has at least `cells` free input cells (see
// WaitForRoom: -ETIMEDOUT when its free count has not grown for `stallMs`). Answers 0 at once for a
// client without an input pool (a kernel client) or when the pool cannot be read.
int WaitForInputRoom(snd_seq_t* seq, int client, std::size_t cells, unsigned int stallMs = deliveryStallMs);

// The sequencer's file descriptor (the first poll descriptor), or -1.
int SequencerFd(snd_seq_t* seq);

// What an event from the system client's announce port (SND_SEQ_CLIENT_SYSTEM:
// SND_SEQ_PORT_SYSTEM_ANNOUNCE) tells of the MIDI setup: a port that started, exited or changed is an
// endpoint added, removed or changed (named by its reference), a client that exited or changed is an
// endpoint removed or changed (none named: its ports announce themselves). Nothing for a client's
// start (its ports follow), for subscriptions, for the system client's own ports, or for an event from
// anywhere else.
std::optional<SetupNotification> AnnouncedSetupChange(const snd_seq_event_t& event);

} // namespace alsa
