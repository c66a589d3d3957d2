#include "LoadUpdate.h"

#include "FileIo.h"

LoadedUpdate LoadUpdateFile(const std::string& path) {
    std::ifstream stream = OpenForReading(path);
    LoadedUpdate loaded;
    loaded.rawSysEx = IsSysExFile(stream);
    loaded.update = std::make_unique<Update>(stream);
    return loaded;
}
