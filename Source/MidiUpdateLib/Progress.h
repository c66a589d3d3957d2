#pragma once

#include <string>

// Where the update library reports what it does: a fraction of the work done (0.0 to 1.0), a busy
// state without a fraction, a status line, and one final verdict.
class UpdateProgress {
public:
    virtual ~UpdateProgress();
    virtual void Progress(float fraction) = 0;
    virtual void ProgressIndeterminate() = 0;
    virtual void Status(const std::string& text) = 0;
    virtual void Error(const std::string& text) = 0;
    virtual void Completed(const std::string& text) = 0;
};

// Maps the progress of one step (0.0 to 1.0 of the step) into the step's share, inFrom to inTo of
// inOutOf, of the parent's whole; everything else passes through unchanged.
class UpdateProgressConverter : public UpdateProgress {
public:
    UpdateProgressConverter(UpdateProgress& parent, float inFrom, float inTo, float inOutOf);

    void Progress(float fraction) override;
    void ProgressIndeterminate() override;
    void Status(const std::string& text) override;
    void Error(const std::string& text) override;
    void Completed(const std::string& text) override;

private:
    UpdateProgress& parent;
    float offset;
    float scale;
};
