#pragma once

#include "Assert.h"

#include <cstdint>

// A half-open run of elements owned by someone else; copied freely, never owns or frees them.
template <class T> struct Range {
    T* start = nullptr;
    T* end = nullptr;

    unsigned long Size() const { return static_cast<unsigned long>(end - start); }
    bool Empty() const { return start == end; }

    // Drops n elements from the front; n may be the whole size but not more.
    void TrimFromFront(unsigned long n) {
        // Tested before moving, so that no pointer past the end is ever formed.
        const bool fits = n <= Size();
        MIDIUPDATER_ASSERT_AS(fits, "start <= end");
        start += n;
    }
};

// The next chunk to send, starting at remaining.start: the whole rest when it is shorter than
// ideal; otherwise ideal bytes, grown one byte at a time until the chunk's last byte is a SysEx
// end (F7) or a line feed (0A), the chunk reaches max bytes, or the rest is used up.
inline Range<unsigned char> NextSysExChunk(Range<unsigned char> remaining, unsigned long ideal,
                                           unsigned long max) {
    MIDIUPDATER_ASSERT(ideal >= 1);
    const unsigned long size = remaining.Size();
    if (size < ideal)
        return remaining;
    // The chunk may grow up to max bytes but never past the end of the rest.
    const unsigned long limit = max < size ? max : size;
    unsigned long length = ideal;
    while (length < limit) {
        const unsigned char last = remaining.start[length - 1];
        if (last == 0xF7 || last == 0x0A)
            break;
        ++length;
    }
    return {remaining.start, remaining.start + length};
}

// The fraction (0.0 to 1.0, despite the name) of total already sent, remaining being the rest.
inline float PercentageDone(const Range<unsigned char>& total, const Range<unsigned char>& remaining) {
    MIDIUPDATER_ASSERT(total.end == remaining.end);
    const std::int64_t done = remaining.start - total.start;
    const std::int64_t size = total.end - total.start;
    return static_cast<float>(done) / static_cast<float>(size);
}
