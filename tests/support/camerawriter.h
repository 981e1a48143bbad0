// Test-side writer of camera files: builds the bytes of a tagged header and its data part in
// memory, little-endian whatever the host, so that tests can feed the reader files whose every
// byte they know.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

constexpr int kDataBlockBytes = 32768;
constexpr int kUltrafastSlotBytes = 8192;
constexpr uint8_t kEndMarker = 255;

// The image corners of records 13 and 14 and the FINX column of record 77.
struct FrameGeometry {
    int initX = 0;
    int initY = 0;
    int endX = 127;
    int endY = 127;
    int finX = 127;  // last column of data block 1; equals endX when the file has no FINX record

    int naxis1() const { return endX - initX + 1; }
    int naxis2() const { return endY - initY + 1; }
    int blockColumns() const { return finX - initX + 1; }
};

// A naxis1 x naxis2 image starting at (0, 0); blockColumns > 0 splits each frame after that
// many columns (a FINX layout), 0 keeps all columns in data block 1.
FrameGeometry geometryOf(int naxis1, int naxis2, int blockColumns = 0);

// A time of day as the camera stores it (records 67 and 72, the packed trailer).
struct ClockTime {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int hundredths = 0;
};

// Pixel of an unpacked file; frames are numbered from 1 as F1 ... F4 of the observing modes.
using FramePixel = std::function<int32_t(int frame, int x, int y)>;
// Pixel of a packed or ultrafast file; images counted from 0, beams numbered 1 and 2.
using BeamPixel = std::function<int32_t(int image, int beam, int x, int y)>;

// Bytes that follow data flag `flag` (1 to 87); -1 for string records, which take 1 + length.
int recordBytes(int flag);

// Fields of the record of `flag` in file order, one letter each: b int8 plus one ignored byte,
// h int16, i int32, f float32, d float64, s string, xN N ignored bytes. Empty for other flags.
std::string_view recordFields(int flag);

// Length of the packed data, the place of the trailer: whole data blocks for naxis1 columns per
// image, images = packedCount (doubled for obsmode > 2), two beams counted for obsmode > 1.
int64_t packedDataBytes(int naxis1, int naxis2, int obsmode, int packedCount);

// Length of the ultrafast data: 8192 bytes per image (doubled for obsmode > 1), rounded up to
// whole data blocks.
int64_t ultrafastDataBytes(int obsmode, int ultrafastCount);

// The pixel (x, y) that the camera reads k-th within one ultrafast slot, for k = 0 ... n - 1.
// Throws std::invalid_argument for sizes the readout order cannot cover (naxis1 < 2, more than
// 64 columns or rows).
std::vector<std::pair<int, int>> ultrafastReadOrder(int naxis1, int naxis2);

class CameraWriter {
public:
    // Raw bytes, all multi-byte values little-endian.
    CameraWriter& byte(uint8_t value);
    CameraWriter& int16(int16_t value);
    CameraWriter& int32(int32_t value);
    CameraWriter& float32(float value);
    CameraWriter& float64(double value);
    CameraWriter& fill(size_t count, uint8_t value = 0);

    // A bare data flag, with nothing after it.
    CameraWriter& flag(int flag);
    // A string value: one length byte, then the text without terminator (at most 255 bytes).
    CameraWriter& text(std::string_view text);
    // The end marker 255 that closes the header.
    CameraWriter& endMarker();
    // Zero bytes up to a declared header size counted from the start; nothing if already there.
    CameraWriter& padTo(size_t headerSize);

    // Flag `flag` and one value per field of recordFields(flag), ignored bytes left out (they are
    // written as zeros). Integer fields need integral values in range. Throws on a wrong count.
    CameraWriter& record(int flag, const std::vector<double>& values = {});
    // A string record (flags 18 to 23, 26, 52, 53, 59).
    CameraWriter& stringRecord(int flag, std::string_view text);

    CameraWriter& telescopeScale(float arcsecPerMm);     // 1 TELESCLE
    CameraWriter& magnification(float value);            // 7 MAGNIFIC
    CameraWriter& wavelength(float micrometres);         // 11 LAMBDA
    CameraWriter& totalCoadds(int32_t coadds);           // 12 TOTCOADD, all four beams
    CameraWriter& initXY(int x, int y);                  // 13 INITX, INITY
    CameraWriter& endXY(int x, int y);                   // 14 ENDX, ENDY (and FINX = ENDX)
    CameraWriter& object(std::string_view name);         // 18 OBJECT
    CameraWriter& telescope(std::string_view name);      // 20 TELESCOP
    CameraWriter& dateTime(int year, int month, int day,
                         int hour, int minute, int second);  // 24 DATE-OBS, TIME-OBS
    CameraWriter& raDec(double raDegrees, double decDegrees);  // 25 RA, DEC
    CameraWriter& obsmode(int mode);                     // 29 OBSMODE (int8)
    CameraWriter& sampleMode(int mode);                  // 30 SAMPMODE (int8)
    CameraWriter& framesPerCoimage(int frames);          // 40 FRPERCOI
    CameraWriter& offsets(float x, float y);             // 41 OFFSET1, OFFSET2
    CameraWriter& chopWait(float msec);                  // 42 CHOPWAIT
    CameraWriter& site(int code);                        // 48 OBSERVAT
    CameraWriter& packed(int count, int sequence);       // 54 PACKED, PSEQ
    CameraWriter& orientation(std::string_view code);    // 59 ORIENTST
    CameraWriter& timeObs(ClockTime start);              // 67 TIME-OBS with hundredths
    CameraWriter& headerSize(int size);                  // 68 header size, int16
    CameraWriter& headerSize32(int32_t size);            // 71 header size, int32
    CameraWriter& timeEnd(ClockTime end);                // 72 TIME-END
    CameraWriter& beamCoadds(int beam, int32_t coadds);  // 76, 78, 79 TOTCOAD2 ... TOTCOAD4
    CameraWriter& finX(int x);                           // 77 FINX
    CameraWriter& ultrafast(int count);                  // 80 ULTRAFST

    // Records 13 and 14, and 77 when g.finX differs from g.endX.
    CameraWriter& corners(const FrameGeometry& g);

    // `count` frames of an unpacked file, frame 1 first; fill bytes take `fillByte`. Columns of
    // data block 1 are written for x = 0 ... blockColumns - 1 even when that passes naxis1.
    CameraWriter& frames(const FrameGeometry& g, int count, const FramePixel& value,
                       uint8_t fillByte = 0);

    // Packed data of naxis1 x naxis2 images: beam 1 (and beam 2 for obsmode 2 to 4) as int32
    // columns carried across data blocks, padded with zeros to packedDataBytes. Images follow
    // each other as the unpacking reads them, packedCount of them (doubled for obsmode > 2).
    // The trailer is a separate call.
    CameraWriter& packedData(const FrameGeometry& g, int obsmode, int packedCount,
                           const BeamPixel& value);

    // Ultrafast data: one int16 beam image per 8192-byte slot (two slots per image for obsmode 2),
    // in the camera's readout order, padded with zeros to ultrafastDataBytes. Values must fit
    // in int16.
    CameraWriter& ultrafastData(const FrameGeometry& g, int obsmode, int ultrafastCount,
                              const BeamPixel& value);

    // The trailer behind packed data: 10 ignored bytes (zeros), then the end time as four int16.
    CameraWriter& trailer(ClockTime end);

    // Drops every byte from `size` on, to make a file end early.
    CameraWriter& truncate(size_t size);

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

    // Writes the bytes to `path`; throws std::runtime_error when that fails.
    void save(const std::string& path) const;

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace testsupport
