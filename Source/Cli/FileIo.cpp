#include "FileIo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string Reason(int error) {
    return std::strerror(error);
}

bool WriteAll(int fd, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}
} // namespace

std::ifstream OpenForReading(const std::string& path) {
    errno = 0;
    std::ifstream stream(path, std::ios::in | std::ios::binary);
    if (!stream.is_open())
        throw FileError("cannot open '" + path + "': " + Reason(errno ? errno : ENOENT));
    // A directory opens for reading but yields no bytes; say so rather than reading it as an empty file.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        throw FileError("cannot open '" + path + "': " + Reason(EISDIR));
    return stream;
}

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
    std::ifstream stream = OpenForReading(path);
    std::vector<unsigned char> bytes;
    char block[64 * 1024];
    while (stream.read(block, sizeof block) || stream.gcount() > 0)
        bytes.insert(bytes.end(), block, block + stream.gcount());
    if (stream.bad())
        throw FileError("cannot read '" + path + "': " + Reason(errno ? errno : EIO));
    return bytes;
}

void WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes) {
    WriteFileAtomically(path, bytes.data(), bytes.size());
}

void WriteFileAtomically(const std::string& path, const unsigned char* bytes, std::size_t size) {
    if (path == "-") {
        if (!WriteAll(STDOUT_FILENO, bytes, size))
            throw FileError("cannot write to standard output: " + Reason(errno));
        return;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        throw FileError("cannot create '" + path + "': " + Reason(errno));
    // Keep the first failure's errno: a later close or unlink may overwrite it.
    int error = WriteAll(fd, bytes, size) && ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw FileError("cannot write '" + path + "': " + Reason(error));
    }
    // mkstemp makes the file private; give it the permissions an ordinary new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temporary.c_str(), 0666 & ~mask);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        throw FileError("cannot write '" + path + "': " + Reason(renameError));
    }
}
