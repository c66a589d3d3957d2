#pragma once

#include "Update.h"

#include <string>
#include <vector>

// The summary of a loaded update as the update job writes it to the log, one text per line:
// product name, note, image size, portion count, port names and the total SysEx size.
std::vector<std::string> UpdateSummaryLines(const Update& update);
