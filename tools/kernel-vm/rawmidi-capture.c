/* Records what arrives at a raw MIDI input (in the kernel tests: the USB gadget's own end) into
 * a file, with a 256 KiB input buffer: the gadget drops whatever does not fit its buffer, and a
 * real device would hold the bus off instead, so the reader must never be the bottleneck.
 *
 * usage: rawmidi-capture DEVICE OUT BYTES [IDLE_SECONDS] [READY_FILE]
 * For experiments on the reader's part: CAPTURE_BUFFER (the input buffer, default 262144),
 * CAPTURE_READ (bytes per read, default 262144) and CAPTURE_DELAY_US (a sleep after each read,
 * default 0) in the environment.
 * Stops after BYTES bytes, when nothing has arrived for IDLE_SECONDS (default 30), or on SIGINT or
 * SIGTERM (keeping what it has). Creates
 * READY_FILE once the device is open. Prints the byte count and the time from the first to the
 * last byte; exits 0 when exactly BYTES arrived, 1 when fewer did, 2 on errors. */
#include <alsa/asoundlib.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static volatile sig_atomic_t stopRequested = 0;

static void RequestStop(int signalNumber)
{
    (void)signalNumber;
    stopRequested = 1;
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s DEVICE OUT BYTES [IDLE_SECONDS] [READY_FILE]\n", argv[0]);
        return 2;
    }
    const char* device = argv[1];
    const size_t expected = strtoull(argv[3], NULL, 0);
    const int idleMs = (argc > 4 ? atoi(argv[4]) : 30) * 1000;

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RequestStop; /* no SA_RESTART: poll returns EINTR */
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    snd_rawmidi_t* in = NULL;
    int err = snd_rawmidi_open(&in, NULL, device, SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        fprintf(stderr, "rawmidi-capture: cannot open %s: %s\n", device, snd_strerror(err));
        return 2;
    }
    snd_rawmidi_params_t* params;
    snd_rawmidi_params_alloca(&params);
    snd_rawmidi_params_current(in, params);
    const char* bufferText = getenv("CAPTURE_BUFFER");
    const char* readText = getenv("CAPTURE_READ");
    const char* delayText = getenv("CAPTURE_DELAY_US");
    const size_t bufferBytes = bufferText ? strtoull(bufferText, NULL, 0) : 256 * 1024;
    size_t readBytes = readText ? strtoull(readText, NULL, 0) : 256 * 1024;
    const long delayUs = delayText ? strtol(delayText, NULL, 0) : 0;
    if (readBytes == 0 || readBytes > 256 * 1024)
        readBytes = 256 * 1024;
    snd_rawmidi_params_set_buffer_size(in, params, bufferBytes);
    if ((err = snd_rawmidi_params(in, params)) < 0) {
        fprintf(stderr, "rawmidi-capture: cannot set the buffer size: %s\n", snd_strerror(err));
        return 2;
    }
    FILE* out = fopen(argv[2], "wb");
    if (!out) {
        perror(argv[2]);
        return 2;
    }
    if (argc > 5) {
        FILE* ready = fopen(argv[5], "w");
        if (ready)
            fclose(ready);
    }

    int nfds = snd_rawmidi_poll_descriptors_count(in);
    struct pollfd fds[8];
    if (nfds > 8)
        nfds = 8;
    snd_rawmidi_poll_descriptors(in, fds, (unsigned)nfds);

    static unsigned char buffer[256 * 1024];
    size_t total = 0;
    double first = 0, last = 0;
    while (total < expected && !stopRequested) {
        int ready = poll(fds, (nfds_t)nfds, idleMs);
        if (ready == 0)
            break;
        if (ready < 0)
            continue;
        ssize_t n = snd_rawmidi_read(in, buffer, readBytes);
        if (n == -EAGAIN)
            continue;
        if (n < 0) {
            fprintf(stderr, "rawmidi-capture: read: %s\n", snd_strerror((int)n));
            break;
        }
        if (total == 0)
            first = now();
        last = now();
        fwrite(buffer, 1, (size_t)n, out);
        total += (size_t)n;
        if (delayUs > 0) {
            struct timespec pause = {delayUs / 1000000, (delayUs % 1000000) * 1000};
            nanosleep(&pause, NULL);
        }
    }
    fclose(out);
    snd_rawmidi_status_t* status;
    snd_rawmidi_status_alloca(&status);
    const size_t xruns = snd_rawmidi_status(in, status) >= 0 ? snd_rawmidi_status_get_xruns(status) : 0;
    snd_rawmidi_close(in);
    printf("rawmidi-capture: %zu of %zu bytes in %.3f s, %zu dropped by the input (xruns)\n", total, expected,
           total ? last - first : 0.0, xruns);
    return total == expected ? 0 : 1;
}
