#pragma once

#include "fits/fitsfile.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int dataBlockBytes = 32768; // the unit of a camera file's data part

// The camera's little-endian values, whatever the host.
inline int16_t littleInt16(const unsigned char* p)
{
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}
inline int32_t littleInt32(const unsigned char* p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8
                                | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// A camera file open for reading, whole data blocks at a time, counting the bytes it reads.
class CameraStream {
public:
    // False, with errno set, when the file cannot be opened.
    bool open(const std::string& name);
    // The same file again, at `offset` from its start; false, with errno set, when it
    // cannot be opened.
    bool reopenAt(int64_t offset);
    void close() { file_.reset(); }

    // Up to `count` bytes; the number that arrived.
    std::size_t read(void* buffer, std::size_t count);
    // Moves `count` bytes on without a test: a shortage shows at the next read. A stream that
    // cannot seek (a pipe) is read through; a skip beyond the largest offset the system can
    // seek to ends past the data.
    void skipBytes(int64_t count);
    // Moves `count` bytes on; false, with errno set, when the system cannot.
    bool seekForward(int64_t count);

    int64_t bytesRead() const { return bytesRead_; }
    const std::string& name() const { return name_; }
    bool failed() const { return file_ && std::ferror(file_.get()); }
    // Why a read came up short, for people: the system's reason, or the end of the file
    // where its data should go on.
    std::string shortReadReason() const;

    unsigned char scratch[dataBlockBytes]; // one column run, fill bytes, or one packed data block

private:
    char buffer_[2 * dataBlockBytes]; // the stdio buffer, which must outlive `file_`
    File file_;
    std::string name_;
    int64_t bytesRead_ = 0;
};
