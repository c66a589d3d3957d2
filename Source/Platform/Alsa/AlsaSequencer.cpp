#include "AlsaSequencer.h"

#include "AlsaPoolQuery.h"
#include "Log.h"

#include <cerrno>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace alsa {

namespace {
void IgnoreLibraryError(const char*, int, const char*, int, const char*, ...) {}
} // namespace

void QuietLibraryErrors() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&IgnoreLibraryError); });
}

int OpenClient(const std::string& name, snd_seq_t*& seq, const std::function<void(snd_seq_t*)>& opened) {
    QuietLibraryErrors();
    seq = nullptr;
    snd_seq_t* handle = nullptr;
    if (int err = snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, 0); err < 0)
        return err;
    if (opened)
        opened(handle);
    int err = snd_seq_set_client_name(handle, name.c_str());
    if (err >= 0)
        err = snd_seq_set_client_pool_input(handle, inputPoolCells);
    if (err >= 0)
        err = snd_seq_set_input_buffer_size(handle, inputBufferBytes);
    if (err < 0) {
        snd_seq_close(handle);
        return err;
    }
    seq = handle;
    return 0;
}

EventDecoder::EventDecoder() {
    if (snd_midi_event_new(64, &parser) < 0)
        parser = nullptr;
    else
        snd_midi_event_no_status(parser, 1);
}

EventDecoder::~EventDecoder() {
    if (parser != nullptr)
        snd_midi_event_free(parser);
}

void EventDecoder::Decode(const snd_seq_event_t& event, std::vector<unsigned char>& out) {
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        const auto* data = static_cast<const unsigned char*>(event.data.ext.ptr);
        out.insert(out.end(), data, data + event.data.ext.len);
        return;
    }
    if (parser == nullptr)
        return;
    unsigned char buffer[16];
    snd_midi_event_reset_decode(parser);
    const long length = snd_midi_event_decode(parser, buffer, sizeof buffer, &event);
    if (length > 0)
        out.insert(out.end(), buffer, buffer + length);
}

SequencerReader::SequencerReader(snd_seq_t* seq, EventHandler handler)
    : seq(seq), handler(std::move(handler)) {
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread = std::thread([this] { Run(); });
}

SequencerReader::~SequencerReader() {
    Stop();
    if (wakeFd >= 0)
        close(wakeFd);
}

void SequencerReader::Stop() {
    if (!thread.joinable())
        return;
    stopping.store(true);
    const std::uint64_t one = 1;
    if (wakeFd >= 0) {
        [[maybe_unused]] ssize_t written = write(wakeFd, &one, sizeof one);
    }
    thread.join();
}

void SequencerReader::Run() {
    const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned int>(count), POLLIN);
    fds[static_cast<std::size_t>(count)] = pollfd{wakeFd, POLLIN, 0};

    while (!stopping.load()) {
        for (pollfd& fd : fds)
            fd.revents = 0;
        // The timeout only guards against a lost wake-up; the eventfd ends the wait at once.
        const int ready = poll(fds.data(), fds.size(), wakeFd >= 0 ? -1 : 50);
        if (stopping.load())
            break;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        bool input = false;
        for (int i = 0; i < count; ++i)
            input = input || (fds[static_cast<std::size_t>(i)].revents & (POLLIN | POLLERR)) != 0;
        if (!input)
            continue;
        // Poll said readable: the first read does not block; the rest come from alsa-lib's buffer.
        do {
            snd_seq_event_t* event = nullptr;
            const int err = snd_seq_event_input(seq, &event);
            if (err == -ENOSPC) {
                // Our input pool overflowed and the kernel dropped what was queued for us.
                LogLine("SequencerReader: input overflow, events were lost");
                break;
            }
            if (err < 0 || event == nullptr)
                break;
            handler(*event);
        } while (!stopping.load() && snd_seq_event_input_pending(seq, 0) > 0);
    }
}

int SendSysExEvents(snd_seq_t* seq, int port, const Address* dest, const unsigned char* data,
                    std::size_t size, std::size_t limit,
                    const std::function<int(std::size_t cells)>& waitForRoom) {
    std::size_t offset = 0;
    for (std::size_t piece : CutIntoEvents(size, limit)) {
        if (waitForRoom) {
            if (int err = waitForRoom(CellsForEvent(piece)); err < 0)
                return err;
        }
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, port);
        if (dest != nullptr)
            snd_seq_ev_set_dest(&event, dest->client, dest->port);
        else
            snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_sysex(&event, static_cast<unsigned int>(piece),
                             const_cast<unsigned char*>(data + offset));
        if (int err = snd_seq_event_output_direct(seq, &event); err < 0)
            return err;
        offset += piece;
    }
    return 0;
}

int WaitForInputRoom(snd_seq_t* seq, int client, std::size_t cells, unsigned int stallMs) {
    const int fd = SequencerFd(seq);
    if (fd < 0)
        return 0;
    int pool = 0;
    int free = 0;
    if (QueryInputPool(fd, client, pool, free) < 0 || pool <= 0)
        return 0;
    return WaitForRoom(
        [fd, client](int& freeCells) {
            int size = 0;
            return QueryInputPool(fd, client, size, freeCells);
        },
        cells, stallMs);
}

int SequencerFd(snd_seq_t* seq) {
    pollfd fd{-1, 0, 0};
    if (snd_seq_poll_descriptors(seq, &fd, 1, POLLOUT) != 1)
        return -1;
    return fd.fd;
}

std::optional<SetupNotification> AnnouncedSetupChange(const snd_seq_event_t& event) {
    if (event.source.client != SND_SEQ_CLIENT_SYSTEM || event.source.port != SND_SEQ_PORT_SYSTEM_ANNOUNCE)
        return std::nullopt;
    const Address about{event.data.addr.client, event.data.addr.port};
    if (about.client == SND_SEQ_CLIENT_SYSTEM)
        return std::nullopt;
    SetupNotification notification;
    switch (event.type) {
    case SND_SEQ_EVENT_PORT_START:
        notification.change = SetupChange::EndpointAdded;
        break;
    case SND_SEQ_EVENT_PORT_EXIT:
        notification.change = SetupChange::EndpointRemoved;
        break;
    case SND_SEQ_EVENT_PORT_CHANGE:
        notification.change = SetupChange::EndpointChanged;
        break;
    case SND_SEQ_EVENT_CLIENT_EXIT:
        notification.change = SetupChange::EndpointRemoved;
        return notification;
    case SND_SEQ_EVENT_CLIENT_CHANGE:
        notification.change = SetupChange::EndpointChanged;
        return notification;
    default:
        return std::nullopt;
    }
    notification.endpoint = EndpointRef(about).value_or(0);
    return notification;
}

} // namespace alsa
