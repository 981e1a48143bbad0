#pragma once

#include "fits/result.h"

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

// A caller's say over a wait of the system that a signal cuts short (EINTR), for a caller that
// must answer Ctrl-C at once (an interpreter): true gives the read up, with EINTR as its error;
// false waits on.
class Cancellation {
public:
    virtual bool requested() = 0;

protected:
    ~Cancellation() = default;
};

// A camera file open for reading, counting the bytes it reads. Its own buffer takes a frame of
// the camera's usual size in one read of the system, and the frames are merged from it in place.
class CameraStream {
public:
    CameraStream() = default;
    ~CameraStream() { close(); }
    CameraStream(const CameraStream&) = delete;
    CameraStream& operator=(const CameraStream&) = delete;

    // Fails, with the system's error for its cause, when the file cannot be opened. Each read of the system takes
    // as much as the buffer holds, or at most `readAhead` bytes beyond what is asked: a reader
    // of headers alone reads little more than them. An open or read that a signal interrupts
    // is tried again, unless `cancel` is given and asks to give it up.
    Result open(const std::string& name, std::size_t readAhead = viewLimit, Cancellation* cancel = nullptr);
    // The same file again, at `offset` from its start; it fails as open does.
    Result reopenAt(int64_t offset);
    void close();

    // Up to `count` bytes; the number that arrived.
    std::size_t read(void* buffer, std::size_t count);
    // The next `count` bytes (at most viewLimit) where they stand in the stream's buffer, valid
    // until the stream is used again; `got` says how many arrived.
    const unsigned char* view(std::size_t count, std::size_t& got);
    // Moves `count` bytes on without a test: a shortage shows at the next read. A stream that
    // cannot seek (a pipe) is read through; a skip beyond the largest offset the system can
    // seek to ends past the data.
    void skipBytes(int64_t count);
    // Moves `count` bytes on; fails, with the system's error, when the system cannot.
    Result seekForward(int64_t count);

    int64_t bytesRead() const { return bytesRead_; }
    const std::string& name() const { return name_; }
    bool failed() const { return error_ != 0; }
    // Why a read came up short, for people: the system's reason, or the end of the file
    // where its data should go on.
    std::string shortReadReason() const;

    static constexpr std::size_t viewLimit = 4 * 4 * 128 * 128 + 8 * 1024; // four 128 x 128 frames and some

    unsigned char scratch[dataBlockBytes]; // fill bytes skipped through, and a declared header's rest

private:
    // Moves past `count` bytes of the buffer, or all of them: the count still to move on, with
    // the buffer emptied when it is not 0.
    int64_t passBuffered(int64_t count);
    // Brings the buffer to `count` bytes from its start on, as far as the file has them.
    void fill(std::size_t count);

    // Opens name_; false, with errno set, when it cannot.
    Result openFile();

    int descriptor_ = -1;
    Cancellation* cancel_ = nullptr;
    std::string name_;
    int64_t bytesRead_ = 0;
    int error_ = 0; // the system's error number of a read that failed
    std::size_t readAhead_ = viewLimit;
    unsigned char buffer_[viewLimit];
    std::size_t begin_ = 0, end_ = 0; // the bytes of the buffer not yet taken
};
