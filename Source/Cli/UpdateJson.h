#pragma once

#include "Update.h"

#include <nlohmann/json.hpp>

// The description of a loaded update that `inspect --json` prints.
nlohmann::ordered_json UpdateToJson(const Update& update, bool rawSysEx);

// Serialises without failing on text that is not UTF-8: such bytes show as U+FFFD.
std::string DumpJson(const nlohmann::ordered_json& value, int indent = -1);
