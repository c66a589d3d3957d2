// Replaces the global operator new of the test binary to record the largest allocation, so that
// tests can prove a damaged length field does not make the reader reserve gigabytes.
#include "UpdateTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MIDIUPDATER_TESTS_NO_TRACKING 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MIDIUPDATER_TESTS_NO_TRACKING 1
#endif

namespace {
std::atomic<std::size_t> largest{0};
}

#ifndef MIDIUPDATER_TESTS_NO_TRACKING
void* operator new(std::size_t size) {
    std::size_t seen = largest.load(std::memory_order_relaxed);
    while (size > seen && !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
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
}
std::size_t Largest() {
    return largest.load();
}
} // namespace allocations
