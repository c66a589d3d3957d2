#pragma once

#include "Assert.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    if (ideal >= limit)
        return {remaining.start, remaining.start + ideal};
    // Growing one byte at a time while the last byte is neither F7 nor 0A ends the chunk right after
    // the first such byte at an index from ideal - 1 to limit - 2, or at limit bytes without one.
    // Two memchr scans find that byte much faster than a loop; the 0A scan stops at any F7 found.
    const unsigned char* first = remaining.start + ideal - 1;
    std::size_t window = limit - ideal;
    const void* sysExEnd = std::memchr(first, 0xF7, window);
    if (sysExEnd)
        window = static_cast<std::size_t>(static_cast<const unsigned char*>(sysExEnd) - first);
    const void* lineFeed = std::memchr(first, 0x0A, window);
    const void* hit = lineFeed ? lineFeed : sysExEnd;
    const unsigned long length =
        hit ? static_cast<unsigned long>(static_cast<const unsigned char*>(hit) - remaining.start) + 1
            : limit;
    return {remaining.start, remaining.start + length};
}

// The fraction (0.0 to 1.0, despite the name) of total already sent, remaining being the rest.
inline float PercentageDone(const Range<unsigned char>& total, const Range<unsigned char>& remaining) {
    MIDIUPDATER_ASSERT(total.end == remaining.end);
    const std::int64_t done = remaining.start - total.start;
    const std::int64_t size = total.end - total.start;
    return static_cast<float>(done) / static_cast<float>(size);
}
