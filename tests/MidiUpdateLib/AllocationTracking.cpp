// Replaces the global operator new of the test binary to record the largest allocation and how far
// the heap grows, so that tests can prove a damaged length field does not make the reader reserve
// gigabytes and a device that floods the updater does not make it hold what it sends.
#include "AllocationTracking.h"

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MIDIUPDATER_TESTS_NO_TRACKING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MIDIUPDATER_TESTS_NO_TRACKING 1
#endif
#endif

namespace {
// The largest block asked for; bytes of live blocks (as malloc counts them), the most there were since
// the Reset, and the count at the Reset.
std::atomic<std::size_t> largest{0}, live{0}, peak{0}, atReset{0};

[[maybe_unused]] void RaiseTo(std::atomic<std::size_t>& mark, std::size_t value) {
    std::size_t seen = mark.load(std::memory_order_relaxed);
    while (value > seen && !mark.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}
} // namespace

#ifndef MIDIUPDATER_TESTS_NO_TRACKING
void* operator new(std::size_t size) {
    RaiseTo(largest, size);
    void* block = std::malloc(size ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    const std::size_t held = malloc_usable_size(block);
    RaiseTo(peak, live.fetch_add(held, std::memory_order_relaxed) + held);
    return block;
}
void operator delete(void* block) noexcept {
    if (block != nullptr)
        live.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}
#endif

namespace allocations {
bool Tracked() {
#ifdef MIDIUPDATER_TESTS_NO_TRACKING
    return false;
#else
    return true;
#endif
}
void Reset() {
    largest.store(0);
    atReset.store(live.load());
    peak.store(atReset.load());
}
std::size_t Largest() {
    return largest.load();
}
std::size_t PeakGrowth() {
    return peak.load() - atReset.load();
}
} // namespace allocations
