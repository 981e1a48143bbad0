#pragma once

#include "camera/observation.h"
#include "fits/checksum.h"
#include "fits/fitsfile.h"
#include "fits/header.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The header of a data cube, made from the header its planes would have as images: three axes,
// NAXIS3 with the count of planes right after NAXIS2, and EXTEND when an extension follows.
// False when the header lacks the NAXIS cards.
bool makeCubeHeader(Header& header, int64_t planes, bool extension);

// What a cube says of one of its planes: the plane's source file, its start (an instant in
// hundredths of a second from the beginning of modified Julian day 0) and end where known, the
// values a cube's planes may differ in, and for a cube of frames (--frames) the frame's label
// and the coadds that divide it.
struct PlaneRecord {
    std::string fileName;
    std::optional<int64_t> start, end;
    std::optional<std::string> object;
    std::optional<int64_t> obsmode;
    std::optional<double> wavelength, filter1, filter2, filter3;
    std::string frame;
    double divisor = 0.0;
};

// The record of a plane converted from `fileName`: its start is the image's own DATE-BEG where
// it has one, else the observation's start, unknown for an image unpacked without DATE-BEG.
PlaneRecord planeRecordOf(const std::string& fileName, const Observation& observation);

// The binary-table extension TIMES of a --modern data cube, a row per plane: its number from 1
// (IMAGENUM), source file (FILENAME), start (DATE_BEG, an ISO instant, blank when unknown, and
// MJD_BEG, NaN then), OBJECT and OBSMODE, and for a cube of frames FRAME and DIVISOR. The header
// ends with checksums, which headerText fills in; `data` is the table's rows, big-endian.
void planeTable(const std::vector<PlaneRecord>& planes, bool frames, Header& header, std::string& data);

// The keys (OBJECT, OBSMODE, LAMBDA, FILTER1 to FILTER3) in which planes of the cube `cubeName`
// differ from its first: a warning for each in `messages`, naming the planes, and the text of a
// HISTORY card for each, in order.
std::vector<std::string> differingPlanes(const std::vector<PlaneRecord>& planes, const std::string& cubeName,
                                         Messages& messages);

// A data cube that the workers of a run write together: begun once its header is known (all but
// the cards its finish adds, for which it keeps room), each plane written at its own offset as
// it comes, on any thread, and the header written last over the blocks kept for it. The file is
// hidden until finish renames it into place; a cube given up or left unfinished is removed.
class CubeWriter {
public:
    CubeWriter(std::string name, const OutputFolder* folder);
    CubeWriter(const CubeWriter&) = delete;
    CubeWriter& operator=(const CubeWriter&) = delete;

    // Creates the hidden file for `planes` planes of naxis1 x naxis2 elements of BITPIX, behind
    // room for `headerCards` cards (END included), and wakes every waiting plane; the planes'
    // data sum is kept when the header takes `checksums`. A failure is told in `messages`.
    Result begin(int naxis1, int naxis2, int bitpix, int64_t planes, int64_t headerCards, bool checksums,
                 Messages& messages);
    // Waits until the cube is begun: false when it never will be (given up), or when the run has
    // stopped waiting for it.
    bool waitBegun();
    // Wakes every plane waiting for the cube to begin, and lets none wait again: the run has
    // ended, and the first plane may be waiting on an input that never comes.
    void stopWaiting();
    // The plane at `index` (from 0): written at its offset, and its share of the data sum kept.
    // A failure is told in `messages` and described in `failure`.
    Result writePlane(int64_t index, const std::vector<unsigned char>& data, Messages& messages,
                      WriteFailure& failure);
    // Gives back the room the plane at `index` takes, when the file system can: the plane no
    // longer counts, and the cube is not finished.
    void dropPlane(int64_t index);
    // Pads the data, writes the finished `header` (exactly the room kept, its checksums filled in
    // over the data) and the extension behind the data when given, and renames the file into
    // place.
    Result finish(const Header& header, const Header* extension, const std::string& extensionData,
                  Messages& messages);
    // Removes the hidden file; planes still waiting to begin are told so.
    void giveUp();

    const std::string& name() const { return name_; }
    // The hidden file, while it exists, and its folder.
    const std::string& hiddenName() const { return file_.hiddenName(); }
    int folderDescriptor() const { return file_.folderDescriptor(); }
    // The bytes kept for the header, once begun.
    int64_t headerRoom() const { return headerBytes_; }
    int naxis1() const { return naxis1_; }
    int naxis2() const { return naxis2_; }
    int bitpix() const { return bitpix_; }

private:
    std::string name_;
    Messages ownMessages_; // the output file's: each call copies what it says to its caller's
    WriteFailure failure_;
    OutputFile file_;
    std::mutex mutex_;
    std::condition_variable begun_;
    enum class State { waiting, begun, givenUp } state_ = State::waiting;
    bool stopped_ = false; // no plane waits for the cube to begin
    int naxis1_ = 0, naxis2_ = 0, bitpix_ = 0;
    int64_t planes_ = 0;
    int64_t headerBytes_ = 0;
    std::size_t planeBytes_ = 0;
    bool checksums_ = false;
    OnesComplementSum dataSum_;
};
