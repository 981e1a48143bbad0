#include "camera/camerastream.h"

#include <algorithm>
#include <cerrno>

bool CameraStream::open(const std::string& name)
{
    name_ = name;
    file_ = openFile(name, "rb");
    if (!file_)
        return false;
    // Whole data blocks per read instead of the library's small default buffer.
    std::setvbuf(file_.get(), buffer_, _IOFBF, sizeof buffer_);
    return true;
}

bool CameraStream::reopenAt(int64_t offset)
{
    // Packed data are read in whole data blocks, which the library reads straight into the
    // caller's buffer when its own is smaller: the default buffer serves best.
    file_ = openFile(name_, "rb");
    if (!file_)
        return false;
    std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET);
    return true;
}

std::size_t CameraStream::read(void* buffer, std::size_t count)
{
    const std::size_t got = std::fread(buffer, 1, count, file_.get());
    bytesRead_ += static_cast<int64_t>(got);
    return got;
}

void CameraStream::skipBytes(int64_t count)
{
    if (count <= 0)
        return;
    errno = 0;
    if (std::fseek(file_.get(), static_cast<long>(count), SEEK_CUR) == 0)
        return;
    if (errno != ESPIPE) {
        std::fseek(file_.get(), 0, SEEK_END);
        return;
    }
    while (count > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<int64_t>(count, dataBlockBytes));
        if (read(scratch, chunk) != chunk)
            return;
        count -= static_cast<int64_t>(chunk);
    }
}

bool CameraStream::seekForward(int64_t count)
{
    return std::fseek(file_.get(), static_cast<long>(count), SEEK_CUR) == 0;
}

std::string CameraStream::shortReadReason() const
{
    return ::shortReadReason(file_.get(), name_, "data");
}
