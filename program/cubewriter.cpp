#include "program/cubewriter.h"

#include "program/texts.h"

#include <cstdlib>
#include <shared_mutex>
#include <stdexcept>

CubeWriter::CubeWriter(std::string name, const OutputFolder* folder, RunEnd& end)
    : name_(std::move(name)), file_(name_, folder, ownMessages_), end_(end)
{
    end.registerWait(mutex_, begun_);
}

namespace {

// What the cube's own file said, handed to the caller's messages.
Result handedOn(Result result, Messages& own, Messages& messages)
{
    messages.append(own);
    own.clear();
    return result;
}

} // namespace

Result CubeWriter::begin(int naxis1, int naxis2, int bitpix, int64_t planes, int64_t headerCards, bool checksums,
                         Messages& messages)
{
    std::unique_lock file(fileMutex_);
    std::lock_guard lock(mutex_);
    checksums_ = checksums;
    naxis1_ = naxis1;
    naxis2_ = naxis2;
    bitpix_ = bitpix;
    planes_ = planes;
    headerBytes_ = (headerCards + cardsPerBlock - 1) / cardsPerBlock * blockLength;
    planeBytes_ = static_cast<std::size_t>(naxis1) * naxis2 * static_cast<std::size_t>(std::abs(bitpix / 8));
    Result created = hinted(file_.create(), ownMessages_);
    state_ = created ? State::begun : State::givenUp;
    begun_.notify_all();
    return handedOn(created, ownMessages_, messages);
}

bool CubeWriter::waitBegun()
{
    std::unique_lock lock(mutex_);
    begun_.wait(lock, [&] { return state_ != State::waiting || end_.ended(); });
    return state_ == State::begun;
}

Result CubeWriter::writePlane(int64_t index, const std::vector<unsigned char>& data, Messages& messages)
{
    const auto offset = static_cast<int64_t>(index * static_cast<int64_t>(planeBytes_));
    // The plane's share of the data sum, its bytes as far into their words as the plane lies.
    OnesComplementSum sum(static_cast<unsigned>(offset % 4));
    if (checksums_)
        sum.add(data.data(), planeBytes_);
    // Planes are written side by side; the file is not closed under them.
    std::shared_lock file(fileMutex_);
    if (Result written = file_.writeAt(static_cast<off_t>(headerBytes_ + offset), {{data.data(), planeBytes_}});
        !written)
        return hinted(writeFailed(messages, name_, written.cause().value()), messages);
    std::lock_guard lock(mutex_);
    dataSum_.add(sum.value());
    return Result();
}

void CubeWriter::dropPlane(int64_t index)
{
    // The cube fails with the plane, so its share of the data sum no longer matters.
    const auto offset = static_cast<off_t>(headerBytes_ + index * static_cast<int64_t>(planeBytes_));
    std::shared_lock file(fileMutex_);
    file_.release(offset, planeBytes_);
}

Result CubeWriter::finish(const Header& header, const Header* extension, const std::string& extensionData,
                          Messages& messages)
{
    std::unique_lock file(fileMutex_);
    std::lock_guard lock(mutex_);
    const int64_t dataBytes = planes_ * static_cast<int64_t>(planeBytes_);
    std::string extensionText;
    if (extension) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(extensionData.data());
        extensionText = headerText(*extension, dataSumOf(bytes, extensionData.size()));
    }
    const std::string headerBytes = headerText(header, dataSum_.value());
    if (static_cast<int64_t>(headerBytes.size()) != headerBytes_)
        throw std::logic_error("the header of data cube " + name_ + " does not fill the room kept for it");
    const std::size_t extensionPadding = extension ? blockPadding(static_cast<int64_t>(extensionData.size())) : 0;
    Result written = file_.writeAt(static_cast<off_t>(headerBytes_ + dataBytes),
                                   {{zeroBlock, blockPadding(dataBytes)},
                                    {extensionText.data(), extensionText.size()},
                                    {extensionData.data(), extensionData.size()},
                                    {zeroBlock, extensionPadding}});
    if (written)
        written = file_.writeAt(0, {{headerBytes.data(), headerBytes.size()}});
    if (!written)
        return handedOn(hinted(file_.fail(written.cause().value()), ownMessages_), ownMessages_, messages);
    return handedOn(hinted(file_.commit(), ownMessages_), ownMessages_, messages);
}

void CubeWriter::giveUp()
{
    std::unique_lock file(fileMutex_);
    std::lock_guard lock(mutex_);
    file_.discard();
    state_ = State::givenUp;
    begun_.notify_all();
}
