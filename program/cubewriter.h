#pragma once

#include "fits/checksum.h"
#include "fits/fitsfile.h"
#include "fits/header.h"
#include "fits/messages.h"
#include "fits/result.h"
#include "program/runend.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

// A data cube that the workers of a run write together: begun once its header is known (all but
// the cards its finish adds, for which it keeps room), each plane written at its own offset as
// it comes, on any thread, and the header written last over the blocks kept for it. The file is
// hidden until finish renames it into place; a cube given up or left unfinished is removed.
class CubeWriter {
public:
    // A cube of the run that `end` ends: its planes wait for it to begin until then.
    CubeWriter(std::string name, const OutputFolder* folder, RunEnd& end);
    CubeWriter(const CubeWriter&) = delete;
    CubeWriter& operator=(const CubeWriter&) = delete;

    // Creates the hidden file for `planes` planes of naxis1 x naxis2 elements of BITPIX, behind
    // room for `headerCards` cards (END included), and wakes every waiting plane; the planes'
    // data sum is kept when the header takes `checksums`. A failure is told in `messages`.
    Result begin(int naxis1, int naxis2, int bitpix, int64_t planes, int64_t headerCards, bool checksums,
                 Messages& messages);
    // Waits until the cube is begun: false when it never will be (given up), or when the run has
    // ended (its first plane may be waiting on an input that never comes).
    bool waitBegun();
    // The plane at `index` (from 0): written at its offset, and its share of the data sum kept.
    // A failure is told in `messages`; its cause is the system's error.
    Result writePlane(int64_t index, const std::vector<unsigned char>& data, Messages& messages);
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
    OutputFile file_;
    // Held shared while a plane is written or dropped, alone while the file is created, finished
    // or given up; taken before mutex_.
    std::shared_mutex fileMutex_;
    std::mutex mutex_; // guards the state, the sizes once begun and the data sum
    std::condition_variable begun_;
    enum class State { waiting, begun, givenUp } state_ = State::waiting;
    RunEnd& end_;
    int naxis1_ = 0, naxis2_ = 0, bitpix_ = 0;
    int64_t planes_ = 0;
    int64_t headerBytes_ = 0;
    std::size_t planeBytes_ = 0;
    bool checksums_ = false;
    OnesComplementSum dataSum_;
};
