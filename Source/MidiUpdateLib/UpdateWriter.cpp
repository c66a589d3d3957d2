#include "UpdateWriter.h"

void Append(std::vector<unsigned char>& out, unsigned int value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

void Append(std::vector<unsigned char>& out, unsigned short value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void Append(std::vector<unsigned char>& out, unsigned char value) {
    out.push_back(value);
}

template <class Block> void Append(std::vector<unsigned char>& out, const Block& block) {
    Append(out, static_cast<unsigned int>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
}

template void Append<std::string>(std::vector<unsigned char>&, const std::string&);
template void Append<std::vector<unsigned char>>(std::vector<unsigned char>&,
                                                 const std::vector<unsigned char>&);

void CreateUpdateFileHeader(std::vector<unsigned char>& out, std::string productName, Version version,
                            std::string message, unsigned short usbAddress1, unsigned short usbAddress2,
                            unsigned short usbAddress3) {
    out.clear();
    out.insert(out.end(), FILE_HEADER.begin(), FILE_HEADER.end());
    Append(out, UPDATE_FILE_FORMAT_VERSION);
    Append(out, productName);
    Append(out, version.major);
    Append(out, version.minor);
    Append(out, message);
    Append(out, usbAddress1);
    Append(out, usbAddress2);
    Append(out, usbAddress3);
}

void AddSysExPortion(std::vector<unsigned char>& out, const std::vector<unsigned char>& data,
                     unsigned int delay) {
    Append(out, static_cast<unsigned int>(SYSEX_PORTION_RECORD));
    Append(out, data);
    Append(out, delay);
}

void AddImage(std::vector<unsigned char>& out, const std::vector<unsigned char>& image) {
    Append(out, static_cast<unsigned int>(IMAGE_RECORD));
    Append(out, image);
}

void AddWindowsPortParameters(std::vector<unsigned char>& out, const std::string& parameters) {
    Append(out, static_cast<unsigned int>(WINDOWS_PARAMETERS_RECORD));
    Append(out, parameters);
}

void AddMacPortName(std::vector<unsigned char>& out, const std::string& names) {
    Append(out, static_cast<unsigned int>(MAC_PORT_NAMES_RECORD));
    Append(out, names);
}
