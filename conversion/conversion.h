#pragma once

#include "camera/observation.h"
#include "camera/readveska.h"
#include "camera/session.h"
#include "conversion/cube.h"
#include "conversion/options.h"
#include "fits/encode.h"
#include "fits/fitsimage.h"
#include "fits/messages.h"
#include "fits/result.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

struct RasterFree {
    void operator()(Raster* raster) const { std::free(raster); }
};
using RasterMemory = std::unique_ptr<Raster, RasterFree>;

// What was asked of a file that could not be read: a camera file, a FITS input or a map.
enum class Wanted { camera, fitsInput, map };

// A failure of the input `name`, explained where the file's first bytes say why: a FITS file
// given as a camera file, a file that is no camera file at all, or no FITS file where a FITS
// input or map is wanted. The explanation is said, by its name (which the program words with
// its options), and becomes the failure's reason and cause.
Result explained(Result result, const std::string& name, Wanted wanted, Messages& messages);

// A raster of zeros; calloc leaves the pages a run never touches unused.
RasterMemory zeroRaster();

// A gain map or a mask, loaded once for every input: its file's name, record (sizes and header)
// and pixels, each already scaled by the file's BSCALE and BZERO.
struct Map {
    std::string name;
    FitsImage record;
    RasterMemory pixels;
};

// Loads `map.name`; a failure is told in `messages`: the reader's texts and a hint.
Result loadMap(Map& map, Messages& messages);

struct Maps {
    std::shared_ptr<const Map> mask;
    std::shared_ptr<const Map> gain;
};

// Where the conversion of a camera file learns the values that carry from file to file
// (CameraSession): it hands over the file's own (those it read, also of a file that failed) and
// is given the values that apply to the file. Called once for every camera file.
class SessionLink {
public:
    virtual ~SessionLink() = default;
    virtual CameraSession sessionFor(const CarriedValues& own) = 0;
};

// The link of files converted one after another: each takes over what the one before left.
class SessionInOrder : public SessionLink {
public:
    CameraSession sessionFor(const CarriedValues& own) override
    {
        session_ = session_.after(own);
        return session_;
    }

private:
    CameraSession session_;
};

// The buffers of one converting thread, kept from input to input so that a run allocates them
// once: the input raster, the camera file's, a packed image's values and scratch for the
// encoder; and what answers a wait that a signal cuts short, for a caller that asks.
struct Workspace {
    RasterMemory raster = zeroRaster();
    std::unique_ptr<CameraReading> camera;
    std::vector<unsigned char> packedImage;
    std::vector<unsigned char> scratch;
    Cancellation* cancel = nullptr;
};

// One output in memory, as its file holds it: the header's blocks with any checksums filled in
// (`header`), and the data elements, big-endian, without the zeros that pad the last block.
struct Output {
    FitsImage image; // its sizes, BITPIX and finished header
    std::string header;
    std::vector<unsigned char> data;
    // A table that follows, as the file holds it (header and data, each padded), or empty.
    std::string extension;
};

// What one input gave: its output (an image, or a cube of its frames or packed images), the
// observation record, the orientation code that turned it (for a cube of a packed file's images,
// the one -f reads from their header), and for a packed file read to be unpacked (-p) its images,
// which come one by one from Converter::convertPackedImage.
struct Conversion {
    Output output;
    Observation observation;
    OrientationCode orientation;
    std::unique_ptr<PackedImages> packed;
    int32_t obsmode = 0;  // the observing mode that applied to a camera file
    float divisor = 0.0f; // the coadds that divided the frame taken alone (-o)
};

// The names -p gives an image of a packed file: its file's and its IRAFNAME.
struct ImageNames {
    std::string fileName;
    std::string irafName;
};

// The conversion of inputs into their outputs in memory, callable as a library: one object that
// holds what every input shares (the options, the maps) and the buffers it reuses from input to
// input. The program's workers each have one, and so do the observing log, the fuzz targets and
// the Python package. It never prints, exits, throws past its caller or touches process-wide
// state: what it has to say goes to the Messages given, in the order a run prints it. One object
// converts on one thread at a time.
class Converter {
public:
    // Converts as `options` ask, with the maps loaded for them (loadMap); `cancel`, when given,
    // answers the waits that a signal cuts short. The buffers of an earlier converter of the
    // thread (releaseWorkspace) may be taken over, so that calls with other options each allocate
    // none.
    Converter(const ConversionOptions& options, Maps maps, Cancellation* cancel = nullptr,
              Workspace workspace = Workspace());

    const ConversionOptions& options() const { return options_; }
    const Maps& maps() const { return maps_; }

    // The file `inputName` (a camera file, or a FITS file with -f): read, masked and gained,
    // corrected for a zero chop wait, oriented and expanded, its header completed with the
    // world-coordinate and HISTORY cards (and those of --modern), its data encoded. A camera
    // file takes from `session` what earlier files left. With -p, a packed file's header alone,
    // whose images then come from takePackedImage and convertPackedImage. Every failure concerns
    // this input alone; one that `endsRun` says all in `messages`.
    Result convert(const std::string& inputName, SessionLink& session, Messages& messages, Conversion& conversion);
    // Every frame of the camera file that its observing mode reads (--frames), each as -o n
    // converts it, as the planes of one cube: the header of the first frame's with NAXIS3, a card
    // per plane naming its frame and the coadds that divide it, and how the combined image is
    // formed from the planes; with --modern the table of the planes follows.
    Result convertFrames(const std::string& inputName, SessionLink& session, Messages& messages,
                         Conversion& conversion);
    // Every image of the packed file `inputName` converted as -p --cube converts it, as one cube:
    // the header of its first converted image with NAXIS3 and, with --modern, the table of the
    // planes.
    Result convertPackedCube(const std::string& inputName, Messages& messages, Conversion& conversion);

    // The values of the next image of a packed file that convert read with -p: one at a time, in
    // order, into this converter's buffers.
    Result takePackedImage(Conversion& packed, Messages& messages);
    // Image k (from 0) of the packed file, whose values takePackedImage took last, in `output`:
    // as the image file `names` that -p writes, or, with --cube, as the -f conversion of that file
    // converts it: masked, oriented, expanded and completed like any input (the header then named
    // as the cube's, without the image's own number and start). Converters of other threads may
    // convert other images of the same packed file at once.
    Result convertPackedImage(const Conversion& packed, int64_t k, const ImageNames& names, Messages& messages,
                              Output& output);

    // The header of the camera file `inputName` alone, as a conversion starts from it and no
    // further: SIMPLE to BZERO with the image size of its corners (0 x 0 without them), IRAFNAME,
    // INSTRUME and the cards of its records, then END, in `output.header`; no data. The records
    // are read as the observing log reads them, a page at a time, a packed file's too.
    Result readHeader(const std::string& inputName, Messages& messages, Output& output);

    // Which pixels of a converted image the mask made bad: a byte per pixel of a width x height
    // output plane in the order of its data, 1 where the mask's value for the input pixel it
    // comes from is 0 or missing, as the conversion takes it, else 0. The mask is placed as the
    // image was: turned as `code` says (unless -n) and expanded.
    void maskedPixels(const OrientationCode& code, int width, int height, std::vector<unsigned char>& bad);

    // The buffers, for a reader of headers that keeps the camera reader's from file to file.
    Workspace& workspace() { return workspace_; }
    // The buffers, for the thread's next converter; this one converts no more.
    Workspace releaseWorkspace()
    {
        workspace_.cancel = nullptr;
        return std::move(workspace_);
    }

private:
    Result convertWith(const ConversionOptions& options, const std::string& inputName, SessionLink& session,
                       Messages& messages, Conversion& conversion);
    Result convertFramesWith(const std::string& inputName, SessionLink& session, Messages& messages,
                             Conversion& conversion);
    Result convertPackedCubeWith(const std::string& inputName, Messages& messages, Conversion& conversion);
    Result convertImageOfPacked(const ConversionOptions& options, const Conversion& packed, int64_t k,
                                const ImageNames& names, Messages& messages, Output& output);

    ConversionOptions options_;
    Maps maps_;
    Workspace workspace_;
};

// A table's header and rows as the file holds them, each padded to whole blocks; the header's
// checksums, if any, filled in.
std::string tableText(const Header& header, const std::string& data);

// The IRAFNAME of the cube of `inputName`'s images or frames: its name with 'i' for its first letter.
std::string cubeIrafName(const std::string& inputName, const ConversionOptions& options);

// The record of image k of the `count` of a packed file: its estimated start, k n-ths of the way
// from the file's start to its end.
PlaneRecord packedPlaneRecord(const std::string& fileName, const Observation& observation, int64_t k, int64_t count);
