#pragma once

#include "AllocationTracking.h"
#include "Update.h"
#include "UpdateWriter.h"
#include "Utilities.h"

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

inline std::string AsString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

inline std::istringstream StreamOf(const Bytes& bytes) {
    return std::istringstream(AsString(bytes), std::ios::in | std::ios::binary);
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A header written by the writer: product "AB", version 1.2, note "xyz", address 3, 4, 5 (39 bytes).
inline Bytes SmallHeader() {
    Bytes out;
    CreateUpdateFileHeader(out, "AB", Version{1, 2}, "xyz", 3, 4, 5);
    return out;
}

inline Bytes U32(unsigned int value) {
    Bytes out;
    Append(out, value);
    return out;
}

// The ParseError text that reading the bytes gives, or "" when they are accepted.
inline std::string ParseFailure(const Bytes& bytes) {
    auto stream = StreamOf(bytes);
    try {
        Update update(stream);
    } catch (const ParseError& error) {
        return error.what();
    }
    return "";
}

inline Update ReadBack(const Bytes& bytes) {
    auto stream = StreamOf(bytes);
    return Update(stream);
}

inline const std::string badHeader = "Update file was invalid (bad header).";
inline const std::string wrongVersion =
    "Update file is wrong version. Please check you have the latest version of the updater.";
inline const std::string truncatedHeader = "Update file was truncated. Did it download correctly?";
inline const std::string truncatedSysEx = "Trucated sysex";
inline const std::string unrecognised =
    "File contains unrecognised data. Please Please check you have the latest version of the updater.";
