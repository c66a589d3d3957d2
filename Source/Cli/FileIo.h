#pragma once

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

// A file that cannot be opened, read or written; what() names the file and the system's reason.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Opens a file for binary reading, or throws FileError.
std::ifstream OpenForReading(const std::string& path);

// The whole content of a file, or throws FileError.
std::vector<unsigned char> ReadWholeFile(const std::string& path);

// Writes the bytes to path through a temporary file beside it and a rename, so that path holds either
// its old content or all of the new one, never half of it. "-" writes to standard output.
void WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes);
void WriteFileAtomically(const std::string& path, const unsigned char* bytes, std::size_t size);
