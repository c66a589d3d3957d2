#include "UpdateSummary.h"

#include "Utilities.h"

namespace {
// The first name in sorted order; an empty set shows nothing after the colon.
const char* FirstName(const std::set<std::string>& names) {
    return names.empty() ? "" : names.begin()->c_str();
}
} // namespace

std::vector<std::string> UpdateSummaryLines(const Update& update) {
    return {
        Format("Product name:   %s", update.productName.c_str()),
        Format("Message:        %s", update.message.c_str()),
        Format("Image:          %u bytes", static_cast<unsigned int>(update.image.size())),
        Format("SysEx portions: %u", static_cast<unsigned int>(update.sysExPortions.size())),
        Format("Mac port names: %u:%s", static_cast<unsigned int>(update.macPortNames.size()),
               FirstName(update.macPortNames)),
        Format("Win port names: %u:%s", static_cast<unsigned int>(update.windowsParameters.names.size()),
               FirstName(update.windowsParameters.names)),
        // The names this platform looks for the device under.
        Format("Port names    : %u", static_cast<unsigned int>(update.macPortNames.size())),
        Format("Total SysEx:    %u bytes", update.TotalSysExSize()),
    };
}
