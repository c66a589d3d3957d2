#include "RawMidiDeviceTransport.h"

#include "AlsaSequencer.h"
#include "Log.h"
#include "Utilities.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

std::unique_ptr<RawMidiDeviceTransport> RawMidiDeviceTransport::Open(const std::string& device,
                                                                     std::string& whyNot) {
    std::unique_ptr<RawMidiDeviceTransport> transport(new RawMidiDeviceTransport());
    alsa::QuietLibraryErrors();
    // Two opens, two file descriptors: opened together, both ends would share one descriptor and
    // its blocking mode, and the reader must not block while the writer must.
    snd_rawmidi_t* in = nullptr;
    snd_rawmidi_t* out = nullptr;
    if (int err = snd_rawmidi_open(&in, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK); err < 0) {
        whyNot = "cannot open raw MIDI device " + device + ": " + snd_strerror(err);
        return nullptr;
    }
    transport->input = in;
    if (int err = snd_rawmidi_open(nullptr, &out, device.c_str(), 0); err < 0) {
        whyNot = "cannot open raw MIDI device " + device + " for output: " + snd_strerror(err);
        return nullptr;
    }
    transport->output = out;

    snd_rawmidi_params_t* params = nullptr;
    snd_rawmidi_params_alloca(&params);
    int err = snd_rawmidi_params_current(in, params);
    if (err >= 0)
        err = snd_rawmidi_params_set_buffer_size(in, params, inputBufferBytes);
    if (err >= 0)
        err = snd_rawmidi_params(in, params);
    if (err < 0) {
        whyNot = "cannot set the input buffer of " + device + " to 1 MiB: " + snd_strerror(err);
        return nullptr; // the destructor closes both ends
    }

    transport->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    RawMidiDeviceTransport* self = transport.get();
    transport->thread = std::thread([self] { self->Run(); });
    return transport;
}

RawMidiDeviceTransport::~RawMidiDeviceTransport() {
    if (thread.joinable()) {
        stopping.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(wakeFd, &one, sizeof one);
        thread.join();
    }
    if (wakeFd >= 0)
        close(wakeFd);
    if (output != nullptr) {
        snd_rawmidi_drain(output);
        snd_rawmidi_close(output);
    }
    if (input != nullptr)
        snd_rawmidi_close(input);
}

void RawMidiDeviceTransport::Run() {
    const int count = snd_rawmidi_poll_descriptors_count(input);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    snd_rawmidi_poll_descriptors(input, fds.data(), static_cast<unsigned int>(count));
    fds[static_cast<std::size_t>(count)] = pollfd{wakeFd, POLLIN, 0};
    std::vector<unsigned char> buffer(inputBufferBytes);

    while (!stopping.load()) {
        for (pollfd& fd : fds)
            fd.revents = 0;
        const int ready = poll(fds.data(), fds.size(), -1);
        if (stopping.load())
            break;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // Take everything there is before waiting again.
        for (;;) {
            const ssize_t n = snd_rawmidi_read(input, buffer.data(), buffer.size());
            if (n == -EAGAIN || n == 0)
                break;
            if (n < 0) {
                LogLine(Format("RawMidiDeviceTransport: read failed: %s", snd_strerror(static_cast<int>(n))));
                if (n == -ENODEV)
                    return; // the device end went away
                break;
            }
            DataHandler deliver;
            {
                std::lock_guard<std::mutex> lock(mutex);
                deliver = handler;
            }
            if (deliver)
                deliver(std::vector<unsigned char>(buffer.begin(), buffer.begin() + n));
            else
                dropped += static_cast<std::size_t>(n);
        }
    }
}

void RawMidiDeviceTransport::CreateEndpoints(const Names& /*names*/, bool withSource,
                                             DataHandler dataHandler) {
    std::lock_guard<std::mutex> lock(mutex);
    handler = std::move(dataHandler);
    canSend = withSource;
}

void RawMidiDeviceTransport::RemoveEndpoints() {
    std::lock_guard<std::mutex> lock(mutex);
    handler = nullptr;
    canSend = false;
}

void RawMidiDeviceTransport::SetOffline(std::int32_t /*offline*/) {}

void RawMidiDeviceTransport::Emit(const std::vector<unsigned char>& bytes,
                                  const std::vector<std::size_t>& /*packetSizes*/) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!canSend)
            return;
    }
    std::lock_guard<std::mutex> lock(outputMutex);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = snd_rawmidi_write(output, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            LogLine(Format("RawMidiDeviceTransport: write failed: %s", snd_strerror(static_cast<int>(n))));
            return;
        }
        done += static_cast<std::size_t>(n);
    }
    snd_rawmidi_drain(output);
}
