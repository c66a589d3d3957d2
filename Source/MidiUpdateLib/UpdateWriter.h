#pragma once

#include "Update.h"

#include <string>
#include <vector>

// Writer primitives: append in the update file's little-endian encodings.
void Append(std::vector<unsigned char>& out, unsigned int value);
void Append(std::vector<unsigned char>& out, unsigned short value);
void Append(std::vector<unsigned char>& out, unsigned char value);
// A 32-bit length, then the characters or bytes.
template <class Block> void Append(std::vector<unsigned char>& out, const Block& block);

// Clears out, then writes the whole update-file header.
void CreateUpdateFileHeader(std::vector<unsigned char>& out, std::string productName, Version version,
                            std::string message, unsigned short usbAddress1, unsigned short usbAddress2,
                            unsigned short usbAddress3);

// Record helpers; each appends one record.
void AddSysExPortion(std::vector<unsigned char>& out, const std::vector<unsigned char>& data,
                     unsigned int delay);
void AddImage(std::vector<unsigned char>& out, const std::vector<unsigned char>& image);
void AddWindowsPortParameters(std::vector<unsigned char>& out, const std::string& parameters);
void AddMacPortName(std::vector<unsigned char>& out, const std::string& names);
