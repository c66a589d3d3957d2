#include "Progress.h"

#include "Assert.h"

UpdateProgress::~UpdateProgress() = default;

UpdateProgressConverter::UpdateProgressConverter(UpdateProgress& parent, float inFrom, float inTo,
                                                 float inOutOf)
    : parent(parent) {
    MIDIUPDATER_ASSERT(inFrom <= inTo);
    MIDIUPDATER_ASSERT(inFrom <= inOutOf);
    MIDIUPDATER_ASSERT(inTo <= inOutOf);
    offset = inFrom / inOutOf;
    scale = (inTo - inFrom) / inOutOf;
}

void UpdateProgressConverter::Progress(float fraction) {
    const float scaled = fraction * scale;
    parent.Progress(scaled + offset);
}

void UpdateProgressConverter::ProgressIndeterminate() {
    parent.ProgressIndeterminate();
}

void UpdateProgressConverter::Status(const std::string& text) {
    parent.Status(text);
}

void UpdateProgressConverter::Error(const std::string& text) {
    parent.Error(text);
}

void UpdateProgressConverter::Completed(const std::string& text) {
    parent.Completed(text);
}
