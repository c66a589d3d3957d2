#pragma once

#include "Update.h"

#include <memory>
#include <string>

// An update read from a file, and whether the file was raw SysEx rather than an update file.
struct LoadedUpdate {
    std::unique_ptr<Update> update;
    bool rawSysEx = false;
};

// Reads FILE as the updater does. Throws FileError when it cannot be opened and ParseError when
// the reader rejects it.
LoadedUpdate LoadUpdateFile(const std::string& path);
