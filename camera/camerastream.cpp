#include "camera/camerastream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// True to wait again where a wait of the system failed with `error`: a signal cut it short, and
// the caller does not ask to give up.
bool waitAgain(int error, Cancellation* cancel)
{
    return error == EINTR && !(cancel && cancel->requested());
}

} // namespace

Result CameraStream::open(const std::string& name, std::size_t readAhead, Cancellation* cancel)
{
    close();
    name_ = name;
    bytesRead_ = 0;
    readAhead_ = readAhead;
    cancel_ = cancel;
    return openFile();
}

Result CameraStream::openFile()
{
    // A FIFO's open waits for its writer.
    for (;;) {
        descriptor_ = ::open(name_.c_str(), O_RDONLY | O_CLOEXEC);
        const int error = errno;
        if (descriptor_ >= 0)
            return Result();
        if (!waitAgain(error, cancel_))
            return Result::failed(systemCause(error));
    }
}

Result CameraStream::reopenAt(int64_t offset)
{
    close();
    if (Result opened = openFile(); !opened)
        return opened;
    lseek(descriptor_, static_cast<off_t>(offset), SEEK_SET);
    return Result();
}

void CameraStream::close()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
    descriptor_ = -1;
    begin_ = end_ = 0;
    error_ = 0;
}

void CameraStream::fill(std::size_t count)
{
    if (begin_ > 0) {
        std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    while (end_ < count && descriptor_ >= 0 && error_ == 0) {
        // As much as the buffer holds (the file's next frames in one read), or as allowed.
        const std::size_t room = std::min(sizeof buffer_ - end_, count - end_ + readAhead_);
        const ssize_t got = ::read(descriptor_, buffer_ + end_, room);
        if (got < 0) {
            const int error = errno;
            if (waitAgain(error, cancel_))
                continue;
            error_ = error;
        }
        if (got <= 0)
            break;
        end_ += static_cast<std::size_t>(got);
    }
}

const unsigned char* CameraStream::view(std::size_t count, std::size_t& got)
{
    count = std::min(count, sizeof buffer_);
    if (end_ - begin_ < count)
        fill(count);
    got = std::min(count, end_ - begin_);
    const unsigned char* bytes = buffer_ + begin_;
    begin_ += got;
    bytesRead_ += static_cast<int64_t>(got);
    if (error_ != 0)
        errno = error_;
    return bytes;
}

std::size_t CameraStream::read(void* buffer, std::size_t count)
{
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        std::size_t got = 0;
        const unsigned char* bytes = view(count - done, got);
        if (got == 0)
            break;
        std::memcpy(out + done, bytes, got);
        done += got;
    }
    return done;
}

int64_t CameraStream::passBuffered(int64_t count)
{
    const auto buffered = static_cast<int64_t>(end_ - begin_);
    if (count <= buffered) {
        begin_ += static_cast<std::size_t>(std::max<int64_t>(count, 0));
        return 0;
    }
    begin_ = end_ = 0;
    return count - buffered;
}

void CameraStream::skipBytes(int64_t count)
{
    count = passBuffered(count);
    if (count == 0)
        return;
    errno = 0;
    if (lseek(descriptor_, static_cast<off_t>(count), SEEK_CUR) >= 0)
        return;
    if (errno != ESPIPE) {
        lseek(descriptor_, 0, SEEK_END);
        return;
    }
    while (count > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<int64_t>(count, dataBlockBytes));
        if (read(scratch, chunk) != chunk)
            return;
        count -= static_cast<int64_t>(chunk);
    }
}

Result CameraStream::seekForward(int64_t count)
{
    count = passBuffered(count);
    if (count == 0 || lseek(descriptor_, static_cast<off_t>(count), SEEK_CUR) >= 0)
        return Result();
    return Result::failed(systemCause(errno));
}

std::string CameraStream::shortReadReason() const
{
    if (error_ != 0)
        return name_ + ": " + std::strerror(error_);
    return name_ + " ends before the end of its data";
}
