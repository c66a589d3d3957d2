/* Sends a file to a raw MIDI output in one of several write patterns, so that the kernel tests can
 * tell which patterns reach a USB MIDI device whole (see docs/alsa-delivery.md, "What corrupts
 * undrained writes").
 *
 * usage: rawmidi-send DEVICE FILE [CHUNK [MODE [BUFFER [AVAIL_MIN]]]]
 *   CHUNK      bytes per write (default 4096); a negative CHUNK is MODE nodrain
 *   MODE       drain      blocking writes of CHUNK, each followed by snd_rawmidi_drain (default)
 *              nodrain    blocking writes of CHUNK, one drain at the end
 *              poll       non-blocking: poll until AVAIL_MIN bytes are free, write what fits of
 *                         CHUNK, one drain at the end
 *              empty      non-blocking: write CHUNK, wait (1 ms sleeps) until snd_rawmidi_status
 *                         shows the buffer empty, no drain in between
 *              emptydrain as empty, then snd_rawmidi_drain after each CHUNK
 *   BUFFER     the output buffer size (snd_rawmidi_params_set_buffer_size); 0 = the driver's
 *   AVAIL_MIN  the output's avail_min (poll wakes when this much is free); 0 = the driver's
 * Prints the bytes sent and the time taken. */
#include <alsa/asoundlib.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static long available(snd_rawmidi_t* out)
{
    snd_rawmidi_status_t* status;
    snd_rawmidi_status_alloca(&status);
    int err = snd_rawmidi_status(out, status);
    return err < 0 ? err : (long)snd_rawmidi_status_get_avail(status);
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s DEVICE FILE [CHUNK [MODE [BUFFER [AVAIL_MIN]]]]\n", argv[0]);
        return 2;
    }
    long chunk = argc > 3 ? strtol(argv[3], NULL, 0) : 4096;
    const char* mode = argc > 4 ? argv[4] : chunk < 0 ? "nodrain" : "drain";
    const long buffer = argc > 5 ? strtol(argv[5], NULL, 0) : 0;
    const long availMin = argc > 6 ? strtol(argv[6], NULL, 0) : 0;
    if (chunk < 0)
        chunk = -chunk;
    if (chunk == 0) {
        fprintf(stderr, "rawmidi-send: CHUNK must not be 0\n");
        return 2;
    }
    const int blocking = !strcmp(mode, "drain") || !strcmp(mode, "nodrain");
    if (!blocking && strcmp(mode, "poll") && strcmp(mode, "empty") && strcmp(mode, "emptydrain")) {
        fprintf(stderr, "rawmidi-send: unknown mode %s\n", mode);
        return 2;
    }

    FILE* in = fopen(argv[2], "rb");
    if (!in) {
        perror(argv[2]);
        return 2;
    }
    fseek(in, 0, SEEK_END);
    const long size = ftell(in);
    fseek(in, 0, SEEK_SET);
    unsigned char* data = malloc((size_t)size + 1);
    if (!data || fread(data, 1, (size_t)size, in) != (size_t)size) {
        fprintf(stderr, "rawmidi-send: cannot read %s\n", argv[2]);
        return 2;
    }
    fclose(in);

    snd_rawmidi_t* out = NULL;
    int err = snd_rawmidi_open(NULL, &out, argv[1], blocking ? 0 : SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        fprintf(stderr, "rawmidi-send: cannot open %s: %s\n", argv[1], snd_strerror(err));
        return 2;
    }
    snd_rawmidi_params_t* params;
    snd_rawmidi_params_alloca(&params);
    snd_rawmidi_params_current(out, params);
    if (buffer > 0)
        snd_rawmidi_params_set_buffer_size(out, params, (size_t)buffer);
    if (availMin > 0)
        snd_rawmidi_params_set_avail_min(out, params, (size_t)availMin);
    if ((err = snd_rawmidi_params(out, params)) < 0) {
        fprintf(stderr, "rawmidi-send: cannot set the parameters: %s\n", snd_strerror(err));
        return 2;
    }
    snd_rawmidi_params_current(out, params);
    const long bufferSize = (long)snd_rawmidi_params_get_buffer_size(params);

    struct pollfd fds[4];
    int nfds = snd_rawmidi_poll_descriptors(out, fds, 4);

    const double start = now();
    long sent = 0;
    while (sent < size) {
        const long n = size - sent < chunk ? size - sent : chunk;
        if (blocking) {
            ssize_t written = snd_rawmidi_write(out, data + sent, (size_t)n);
            if (written < 0) {
                fprintf(stderr, "rawmidi-send: write: %s\n", snd_strerror((int)written));
                return 1;
            }
            sent += written;
            if (!strcmp(mode, "drain"))
                snd_rawmidi_drain(out);
            continue;
        }
        if (!strcmp(mode, "poll")) {
            poll(fds, (nfds_t)nfds, 10000);
            ssize_t written = snd_rawmidi_write(out, data + sent, (size_t)n);
            if (written == -EAGAIN)
                continue;
            if (written < 0) {
                fprintf(stderr, "rawmidi-send: write: %s\n", snd_strerror((int)written));
                return 1;
            }
            sent += written;
            continue;
        }
        /* empty, emptydrain: the piece, then wait until the buffer is empty */
        for (long done = 0; done < n;) {
            ssize_t written = snd_rawmidi_write(out, data + sent + done, (size_t)(n - done));
            if (written == -EAGAIN) {
                sleep_ms(1);
                continue;
            }
            if (written < 0) {
                fprintf(stderr, "rawmidi-send: write: %s\n", snd_strerror((int)written));
                return 1;
            }
            done += written;
        }
        sent += n;
        while (available(out) < bufferSize)
            sleep_ms(1);
        if (!strcmp(mode, "emptydrain"))
            snd_rawmidi_drain(out);
    }
    snd_rawmidi_drain(out);
    const double elapsed = now() - start;
    snd_rawmidi_close(out);
    free(data);
    printf("rawmidi-send: %ld bytes in %.3f s (%s, buffer %ld)\n", sent, elapsed, mode, bufferSize);
    return 0;
}
