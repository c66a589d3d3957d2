#include "UpdateJson.h"

using json = nlohmann::ordered_json;

json UpdateToJson(const Update& update, bool rawSysEx) {
    json portions = json::array();
    for (const Update::SysExPortion& portion : update.sysExPortions)
        portions.push_back({{"size", portion.data.size()}, {"delay", portion.delay}});

    const MidiPortWindowsParameters& windows = update.windowsParameters;
    return {
        {"kind", rawSysEx ? "sysex" : "update"},
        {"productName", update.productName},
        {"message", update.message},
        {"version", update.version.ToString()},
        {"versionNumbers", {update.version.major, update.version.minor}},
        {"usbAddress", update.usbAddress},
        {"macPortNames", update.macPortNames},
        {"windowsParameters",
         {{"names", windows.names},
          {"ideal", windows.ideal},
          {"max", windows.max},
          {"delay", windows.delay},
          {"unprepDelay", windows.unprepDelay},
          {"chunks", windows.chunks}}},
        {"imageSize", update.image.size()},
        {"portions", portions},
        {"totalSysExSize", update.TotalSysExSize()},
    };
}

std::string DumpJson(const json& value, int indent) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}
