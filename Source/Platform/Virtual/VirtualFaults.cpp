// The virtual service's failures on demand, and the count of every call.
#include "VirtualServiceState.h"

MidiStatus VirtualMidiService::State::Check(Call call) {
    ++callCounts[call];
    if (auto next = failNext.find(call); next != failNext.end()) {
        MidiStatus status = next->second;
        failNext.erase(next);
        return status;
    }
    if (auto always = failAlways.find(call); always != failAlways.end())
        return always->second;
    return midiNoError;
}

void VirtualMidiService::FailCall(Call call, MidiStatus status) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (status == midiNoError)
        state->failAlways.erase(call);
    else
        state->failAlways[call] = status;
}

void VirtualMidiService::FailNextCall(Call call, MidiStatus status) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (status == midiNoError)
        state->failNext.erase(call);
    else
        state->failNext[call] = status;
}

std::size_t VirtualMidiService::CallCount(Call call) const {
    std::lock_guard<std::mutex> lock(state->mutex);
    auto it = state->callCounts.find(call);
    return it == state->callCounts.end() ? 0 : it->second;
}
