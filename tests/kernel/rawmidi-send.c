/* Sends a file to a raw MIDI output in blocking writes of at most CHUNK bytes, each followed by
 * snd_rawmidi_drain unless CHUNK is given as a negative number. The kernel tests use it to tell
 * the harness's own faults from the USB MIDI driver's: on kernel 6.1, large writes to a USB MIDI
 * device without draining can arrive with some bytes replaced, drained writes of 4096 arrive whole.
 *
 * usage: rawmidi-send DEVICE FILE [CHUNK]   (CHUNK default 4096; -N = writes of N, no drain)
 * Prints the bytes sent and the time taken. */
#include <alsa/asoundlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s DEVICE FILE [CHUNK]\n", argv[0]);
        return 2;
    }
    long chunk = argc > 3 ? strtol(argv[3], NULL, 0) : 4096;
    const int drain = chunk > 0;
    if (chunk < 0)
        chunk = -chunk;
    if (chunk == 0) {
        fprintf(stderr, "rawmidi-send: CHUNK must not be 0\n");
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
    int err = snd_rawmidi_open(NULL, &out, argv[1], 0);
    if (err < 0) {
        fprintf(stderr, "rawmidi-send: cannot open %s: %s\n", argv[1], snd_strerror(err));
        return 2;
    }
    const double start = now();
    long sent = 0;
    while (sent < size) {
        const long n = size - sent < chunk ? size - sent : chunk;
        ssize_t written = snd_rawmidi_write(out, data + sent, (size_t)n);
        if (written < 0) {
            fprintf(stderr, "rawmidi-send: write: %s\n", snd_strerror((int)written));
            return 1;
        }
        sent += written;
        if (drain)
            snd_rawmidi_drain(out);
    }
    snd_rawmidi_drain(out);
    const double elapsed = now() - start;
    snd_rawmidi_close(out);
    free(data);
    printf("rawmidi-send: %ld bytes in %.3f s\n", sent, elapsed);
    return 0;
}
