#pragma once

#include <cstddef>

// What the test binary's heap did since the last Reset, from a replaced global operator new
// (AllocationTracking.cpp, linked into the binaries that use it). Not available in sanitizer builds,
// whose runtimes own operator new: Tracked() says whether the figures mean anything.
namespace allocations {
bool Tracked();
void Reset();
// The largest single allocation.
std::size_t Largest();
// How far the bytes allocated and not yet freed rose above what they were at the Reset.
std::size_t PeakGrowth();
} // namespace allocations
