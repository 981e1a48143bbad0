#include "conversion/conversion.h"

#include "camera/cameratexts.h"
#include "camera/datablocks.h"
#include "conversion/conversiontexts.h"
#include "conversion/cube.h"
#include "conversion/geometry.h"
#include "conversion/modernheader.h"
#include "conversion/names.h"
#include "conversion/outputheader.h"
#include "conversion/zerowait.h"
#include "fits/fitsfile.h"
#include "fits/realtext.h"
#include "fits/scan.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

namespace {

// A map of another size than the image applies all the same, pixel [x][y] to [x][y]: the
// pixels beyond it meet a map value of 0, and the map's own beyond the image are unused.
void warnMapSize(const char* what, const Map& map, const std::string& inputName, const FitsImage& image,
                 Messages& messages, const char* becomeWhat = "become 0")
{
    const FitsImage& record = map.record;
    if (record.naxis1 == image.naxis1 && record.naxis2 == image.naxis2)
        return;
    const int64_t covered = int64_t{std::min(record.naxis1, image.naxis1)} * std::min(record.naxis2, image.naxis2);
    const int64_t outside = int64_t{image.naxis1} * image.naxis2 - covered;
    const std::string sizes = std::string(what) + " " + map.name + " is " + std::to_string(record.naxis1) + " x "
        + std::to_string(record.naxis2) + " but " + inputName + " is " + std::to_string(image.naxis1) + " x "
        + std::to_string(image.naxis2);
    if (outside > 0)
        messages.warn("%s: %lld pixels outside the map %s", sizes.c_str(), static_cast<long long>(outside), becomeWhat);
    else
        messages.warn("%s: only its lower-left %d x %d is used", sizes.c_str(), image.naxis1, image.naxis2);
}

// What a read leaves for the rest of the chain besides the image: where it came from, the record,
// the orientation code, and for camera files the carried values that apply. A camera file's
// header has its first cards still to write; a FITS file's header is complete, and so is the
// header of an image of a packed file, which is converted as -f converts the file -p writes of it.
struct ReadInput {
    enum class Source { camera, fitsFile, packedImage } source = Source::camera;
    Observation observation;
    OrientationCode orientation;
    CameraSession session;

    bool headerComplete() const { return source != Source::camera; }
};

// The chain that follows a read: mask and gain, the zero-wait correction or its warnings, the
// orientation and expansion of the output, its completed header and encoded data.
Result convertImage(const std::string& inputName, const ConversionOptions& options, const Maps& maps,
                    const ReadInput& read, FitsImage& image, Workspace& workspace, Messages& messages, Output& output)
{
    Raster& inputImage = *workspace.raster;
    if (maps.mask) {
        warnMapSize("mask", *maps.mask, inputName, image, messages, options.modern ? "are undefined" : "become 0");
        applyMask(inputImage, *maps.mask->pixels, image.naxis1, image.naxis2);
    }
    if (maps.gain) {
        warnMapSize("gain map", *maps.gain, inputName, image, messages);
        applyGain(inputImage, *maps.gain->pixels, image.naxis1, image.naxis2);
    }

    const bool headerComplete = read.headerComplete();
    warnZeroWait(options.zeroWait, headerComplete, read.session.chopWaitMsec, read.session.obsmode, messages);
    float frames = 0.0f;
    if (options.zeroWait) {
        if (headerComplete && !read.observation.framesPerCoimage)
            return messages.failed(ConversionText::zeroWaitNeedsFrames, inputName);
        frames
            = headerComplete ? static_cast<float>(*read.observation.framesPerCoimage) : read.session.framesPerCoimage;
        correctZeroWait(inputImage, image.naxis1, image.naxis2, frames);
    }
    // With --modern a pixel that the mask marks bad is undefined, not 0, which is a real value
    // of a subtracted image: NaN, or an integer image's BLANK. The corrections above saw 0.
    if (options.modern && maps.mask)
        markMasked(inputImage, *maps.mask->pixels, image.naxis1, image.naxis2,
                   image.bitpix < 0 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(blankValue(image)));
    // A converted file, unlike an unpacked one, is turned already.
    if (headerComplete && !options.noFlips && read.observation.oriented) {
        TextValues values;
        values.name = inputName;
        messages.warn(ConversionText::orientedAgain, values, sentence(ConversionText::orientedAgain, values));
    }

    const int64_t expansion = options.expansion;
    if (expansion * image.naxis1 > rasterSize || expansion * image.naxis2 > rasterSize)
        return messages.failed(ConversionText::expansionTooLarge, {options.expansion, image.naxis1, image.naxis2});

    const Orientation turn = read.orientation.orientation();
    const Placement placement
        = placementFor(image.naxis1, image.naxis2, options.expansion, options.noFlips ? Orientation{} : turn);
    // A complete header's NAXIS cards state the size the image was read with.
    const bool resized = placement.width != image.naxis1 || placement.height != image.naxis2;
    image.naxis1 = static_cast<int16_t>(placement.width);
    image.naxis2 = static_cast<int16_t>(placement.height);
    // A camera file's first cards are written now, with the final size; a complete header's are
    // brought up to it.
    if (!headerComplete) {
        fillMinimalCards(image);
    } else if (options.expansion > 1 || resized) {
        if (!image.header.replaceValueCard("NAXIS1", std::to_string(image.naxis1), "PIXELS ON 1ST MOST VARYING AXIS"))
            return messages.failed(ConversionText::noNaxisCard);
        image.header.replaceValueCard("NAXIS2", std::to_string(image.naxis2), "PIXELS ON 2ND MOST VARYING AXIS");
    }
    if (Result completed = completeHeader(image, options, read.observation, !headerComplete,
                                          options.noFlips ? turn : Orientation{}, frames, messages);
        !completed)
        return completed;
    encodePixels(inputImage, placement, image.bitpix, output.data, workspace.scratch);
    output.header = headerText(image.header,
                               hasChecksumCards(image.header) ? dataSumOf(output.data.data(), output.data.size()) : 0);
    output.image = std::move(image);
    return Result();
}

constexpr const char* estimatedStart = "ESTIMATED: EVEN SPACING START TO END";

// What --modern adds to the header of a packed file's images, or of their cube: how many there
// are, the file's times, the interchange and checksums; for each image also which one it is
// (the number a placeholder until the image comes) and its estimated start between the file's
// start and end.
void addModernPackedCards(const ConversionOptions& options, const PackedImages& images, const ObservationTimes& times,
                          bool perImage, Header& header)
{
    header.resumeAtEnd();
    if (perImage)
        header.setValueCard("IMAGENUM", "1", "NUMBER OF THE IMAGE IN ITS PACKED FILE");
    header.setValueCard("NIMAGES", std::to_string(images.count()), "NUMBER OF IMAGES IN THE PACKED FILE");
    addUnitCard(header);
    if (perImage && times.hasEnd) {
        header.setValueCard("DATE-BEG", "''", estimatedStart);
        header.setValueCard("MJD-BEG", "0", estimatedStart);
    }
    addTimeCards(header, times);
    commentUndefinedValues(header);
    if (options.interchange && !images.ultrafast())
        header.addCommentCard("HISTORY ", interchangeHistory);
    addChecksumCards(header);
    header.addEndCard();
}

// Image k of n: its number and its estimated start, (k - 1) n-ths of the way from start to end.
void numberModernImage(int64_t k, int64_t n, const ObservationTimes& times, Header& header)
{
    header.replaceValueCard("IMAGENUM", std::to_string(k), "NUMBER OF THE IMAGE IN ITS PACKED FILE");
    if (!times.hasEnd)
        return;
    const int64_t start = times.startPlus(k - 1, n);
    header.replaceValueCard("DATE-BEG", quotedValue(isoInstant(times.day, start)), estimatedStart);
    header.replaceValueCard("MJD-BEG", mjdText(times.day, start), estimatedStart);
}

// The work of a library call, a lack of memory in it told as the program tells it.
template <typename Work>
Result withinMemory(Messages& messages, Work work)
{
    try {
        return work();
    } catch (const std::bad_alloc&) {
        messages.say(ConversionText::outOfMemory);
        messages.reason("the conversion ran out of memory");
        return Result::fatal(ConversionText::outOfMemory, messages.lastReason());
    }
}

} // namespace

Result explained(Result result, const std::string& name, Wanted wanted, Messages& messages)
{
    // Only plain files are looked at again: a pipe would lose what is read from it.
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error))
        return result;
    File file = openFile(name, "rb");
    unsigned char start[9] = {};
    const std::size_t got = file ? std::fread(start, 1, sizeof start, file.get()) : 0;
    if (got == 0)
        return result;
    const bool fits = got == sizeof start && std::memcmp(start, "SIMPLE  =", sizeof start) == 0;
    ConversionText why;
    if (wanted == Wanted::map && !fits)
        why = ConversionText::notAMap;
    else if (wanted == Wanted::fitsInput && !fits)
        why = ConversionText::notFitsInput;
    else if (wanted == Wanted::camera && fits)
        why = ConversionText::fitsNotCamera;
    else if (wanted == Wanted::camera && (start[0] == 0 || (start[0] >= 88 && start[0] != 255)))
        why = ConversionText::notCamera;
    else
        return result;
    TextValues values;
    values.name = name;
    std::string reason = sentence(why, values);
    messages.reason(why, values, reason);
    return result.endsRun() ? Result::fatal(why, std::move(reason)) : Result::failed(why, std::move(reason));
}

RasterMemory zeroRaster()
{
    RasterMemory raster(static_cast<Raster*>(std::calloc(1, sizeof(Raster))));
    if (!raster)
        throw std::bad_alloc();
    return raster;
}

Result loadMap(Map& map, Messages& messages)
{
    map.pixels = zeroRaster();
    Result result = readFITS(map.name, map.record, *map.pixels, messages, FitsSource::map);
    if (!result)
        return explained(result, map.name, Wanted::map, messages);
    Raster& pixels = *map.pixels;
    for (int x = 0; x < map.record.naxis1; ++x)
        for (int y = 0; y < map.record.naxis2; ++y)
            pixels[x][y] = static_cast<float>(pixels[x][y] * map.record.bscale + map.record.bzero);
    return Result();
}

Converter::Converter(const ConversionOptions& options, Maps maps, Cancellation* cancel, Workspace workspace)
    : options_(options), maps_(std::move(maps)), workspace_(std::move(workspace))
{
    if (!workspace_.raster)
        workspace_.raster = zeroRaster();
    workspace_.cancel = cancel;
}

Result Converter::convert(const std::string& inputName, SessionLink& session, Messages& messages,
                          Conversion& conversion)
{
    return withinMemory(messages, [&] { return convertWith(options_, inputName, session, messages, conversion); });
}

Result Converter::takePackedImage(Conversion& packed, Messages& messages)
{
    return packed.packed->takeNext(workspace_.packedImage, messages);
}

Result Converter::convertPackedImage(const Conversion& packed, int64_t k, const ImageNames& names,
                                     Messages& messages, Output& output)
{
    return withinMemory(messages, [&] { return convertImageOfPacked(options_, packed, k, names, messages, output); });
}

Result Converter::convertFrames(const std::string& inputName, SessionLink& session, Messages& messages,
                                Conversion& conversion)
{
    return withinMemory(messages, [&] { return convertFramesWith(inputName, session, messages, conversion); });
}

Result Converter::convertPackedCube(const std::string& inputName, Messages& messages, Conversion& conversion)
{
    return withinMemory(messages, [&] { return convertPackedCubeWith(inputName, messages, conversion); });
}

std::string tableText(const Header& header, const std::string& data)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    std::string text = headerText(header, dataSumOf(bytes, data.size()));
    text += data;
    text.append(blockPadding(static_cast<int64_t>(data.size())), '\0');
    return text;
}

std::string cubeIrafName(const std::string& inputName, const ConversionOptions& options)
{
    ConversionOptions named = options;
    named.appendFits = false;
    return outputNameFor(inputName, named, 'i');
}

PlaneRecord packedPlaneRecord(const std::string& fileName, const Observation& observation, int64_t k, int64_t count)
{
    PlaneRecord record = planeRecordOf(fileName, observation);
    const ObservationTimes times = observation.times();
    if (times.hasEnd)
        record.start = times.day * hundredthsPerDay + times.startPlus(k, count);
    else if (k == 0 && times.hasDate)
        record.start = times.startInstant();
    return record;
}

namespace {

// The session of one file handed on once, whatever the conversions of its frames ask.
class SessionOnce : public SessionLink {
public:
    explicit SessionOnce(SessionLink& link) : link_(link) {}
    CameraSession sessionFor(const CarriedValues& own) override
    {
        if (!taken_)
            session_ = link_.sessionFor(own);
        taken_ = true;
        return session_;
    }

private:
    SessionLink& link_;
    CameraSession session_;
    bool taken_ = false;
};

// The HISTORY card of the frame a conversion took alone, which a cube of every frame replaces.
void removeFrameHistory(Header& header)
{
    for (int number = header.cardsBeforePlace(); number >= 1; --number)
        if (cardKey(header.card(number)) == "HISTORY"
            && commentaryText(header.card(number)).starts_with("THE FOLLOWING IMAGE DATA IS FRAME"))
            header.removeCard(number);
}

// The cube's header text with its time axis, its checksums over the data, and with `modern` its
// table of planes (of frames when `frames`).
void finishCube(Header& header, const std::vector<PlaneRecord>& records, bool frames, bool modern, Output& output)
{
    addTimeAxis(header, records);
    output.header
        = headerText(header, hasChecksumCards(header) ? dataSumOf(output.data.data(), output.data.size()) : 0);
    output.extension.clear();
    if (modern) {
        Header table;
        std::string rows;
        planeTable(records, frames, table, rows);
        output.extension = tableText(table, rows);
    }
}

// How the planes of a cube of frames form the combined image: PLANE 1 - PLANE 2 - PLANE 3 + PLANE 4.
std::string combinationText(const ObservingMode& mode)
{
    std::string text;
    bool negated = false;
    for (int n = 0; n < mode.frames; ++n) {
        const Merge merge = mode.frame[n].merge;
        negated = negated || merge == Merge::addNegate;
        if (n > 0)
            text += merge == Merge::subtract ? " - " : " + ";
        text += "PLANE " + std::to_string(n + 1);
    }
    return negated ? "-(" + text + ")" : text;
}

} // namespace

Result Converter::convertFramesWith(const std::string& inputName, SessionLink& session, Messages& messages,
                                    Conversion& conversion)
{
    const ConversionOptions& options = options_;
    SessionOnce once(session);
    ConversionOptions frameOptions = options;
    frameOptions.frames = false;
    frameOptions.frameNumber = 1;
    Conversion frame;
    if (Result first = convertWith(frameOptions, inputName, once, messages, frame); !first)
        return first;
    const ObservingMode* mode = observingMode(frame.obsmode);
    if (!mode) {
        messages.say(CameraText::modeNotSupported, {frame.obsmode});
        TextValues values;
        values.name = inputName;
        values.numbers[0] = frame.obsmode;
        const std::string reason = sentence(ConversionText::noFramesToKeep, values);
        messages.reason(ConversionText::noFramesToKeep, values, reason);
        return Result::failed(ConversionText::noFramesToKeep, reason);
    }
    Output& output = conversion.output;
    output = std::move(frame.output);
    conversion.observation = frame.observation;
    conversion.orientation = frame.orientation;
    conversion.obsmode = frame.obsmode;
    std::vector<PlaneRecord> records(static_cast<std::size_t>(mode->frames),
                                     planeRecordOf(inputName, frame.observation));
    records[0].divisor = frame.divisor;
    for (int n = 2; n <= mode->frames; ++n) {
        // Each frame says what the first said: only a failure is told.
        Messages again;
        frameOptions.frameNumber = n;
        if (Result read = convertWith(frameOptions, inputName, once, again, frame); !read) {
            messages.append(again);
            return read;
        }
        output.data.insert(output.data.end(), frame.output.data.begin(), frame.output.data.end());
        records[static_cast<std::size_t>(n - 1)].divisor = frame.divisor;
    }

    Header& header = output.image.header;
    std::string irafName;
    if (header.findCard("IRAFNAME", irafName) > 0 && irafName.ends_with(".1"))
        header.replaceStringCard("IRAFNAME", irafName.substr(0, irafName.size() - 2));
    if (!makeCubeHeader(header, mode->frames, options.modern) || !header.resumeAtEnd())
        return messages.failed(ConversionText::noNaxisCard);
    removeFrameHistory(header);
    header.addCommentCard("HISTORY ", "EVERY FRAME OF THE ORIGINAL DATA SET IS A PLANE OF THIS CUBE");
    for (int n = 1; n <= mode->frames; ++n) {
        PlaneRecord& record = records[static_cast<std::size_t>(n - 1)];
        record.frame = std::string(mode->name) + ": " + mode->frame[n - 1].label;
        header.addStringCard("FRAME" + std::to_string(n), record.frame, "FRAME OF PLANE " + std::to_string(n));
        header.addValueCard("FRDIV" + std::to_string(n), formatReal(record.divisor),
                            "COADDS THAT DIVIDE PLANE " + std::to_string(n));
    }
    header.addCommentCard("HISTORY ", "COMBINED IMAGE = " + combinationText(*mode));
    header.addEndCard();
    finishCube(header, records, true, options.modern, output);
    return Result();
}

Result Converter::convertPackedCubeWith(const std::string& inputName, Messages& messages, Conversion& conversion)
{
    const ConversionOptions& options = options_;
    ConversionOptions asCube = options;
    asCube.unpack = true;
    asCube.cube = true;
    SessionInOrder session;
    Conversion packed;
    if (Result read = convertWith(asCube, inputName, session, messages, packed); !read)
        return read;
    const int64_t count = packed.packed->count();
    const ImageNames names{inputName, cubeIrafName(inputName, options)};
    std::vector<PlaneRecord> records;
    Output plane;
    Output& output = conversion.output;
    output.data.clear();
    conversion.observation = packed.observation;
    conversion.orientation = packed.observation.orientation;
    conversion.obsmode = packed.obsmode;
    for (int64_t k = 0; k < count; ++k) {
        if (Result taken = takePackedImage(packed, messages); !taken)
            return taken;
        if (Result converted = convertImageOfPacked(asCube, packed, k, names, messages, plane); !converted)
            return converted;
        if (k == 0) {
            output.image = std::move(plane.image);
            output.data.reserve(plane.data.size() * static_cast<std::size_t>(count));
        }
        output.data.insert(output.data.end(), plane.data.begin(), plane.data.end());
        records.push_back(packedPlaneRecord(inputName, packed.observation, k, count));
    }
    Header& header = output.image.header;
    if (count == 0 || !makeCubeHeader(header, count, options.modern))
        return messages.failed(ConversionText::noNaxisCard);
    finishCube(header, records, false, options.modern, output);
    return Result();
}

Result Converter::convertWith(const ConversionOptions& options, const std::string& inputName, SessionLink& session,
                              Messages& messages, Conversion& conversion)
{
    Workspace& workspace = workspace_;
    // The output's data keep their buffer from input to input.
    conversion.packed.reset();
    conversion.output.header.clear();
    conversion.output.extension.clear();
    conversion.output.image = FitsImage();
    FitsImage image;
    ReadInput read;
    if (options.fitsInput) {
        read.source = ReadInput::Source::fitsFile;
        if (Result result = readFITS(inputName, image, *workspace.raster, messages); !result)
            return result;
        read.observation = observationOf(image.header);
        read.orientation = read.observation.orientation;
    } else {
        const CameraRequest request{inputName, options.frameNumber, options.unpack, options.interchange,
                                    workspace.cancel};
        CameraHeader header;
        Result result = readCameraHeader(request, image, header, workspace.camera, messages);
        read.session = session.sessionFor(header.carried);
        if (result)
            result = readCameraData(workspace.camera, request, read.session.obsmode, image, header, *workspace.raster,
                                    messages, options.unpack ? &conversion.packed : nullptr);
        if (!result)
            return result;
        read.observation = std::move(header.observation);
        read.orientation = header.orientation;
        conversion.obsmode = read.session.obsmode;
        if (!conversion.packed)
            conversion.divisor = frameDivisor(workspace.camera->facts, read.session.obsmode, options.frameNumber);
    }
    conversion.observation = read.observation;
    conversion.orientation = read.orientation;
    if (conversion.packed) {
        // The images' header: the file's, whose first cards take the size of one image.
        fillMinimalCards(image);
        if (options.modern)
            addModernPackedCards(options, *conversion.packed, read.observation.times(), !options.cube, image.header);
        conversion.output.image = std::move(image);
        return Result();
    }
    return convertImage(inputName, options, maps_, read, image, workspace, messages, conversion.output);
}

Result Converter::convertImageOfPacked(const ConversionOptions& options, const Conversion& packed, int64_t k,
                                       const ImageNames& names, Messages& messages, Output& output)
{
    Workspace& workspace = workspace_;
    packed.packed->decode(workspace.packedImage, *workspace.raster);
    FitsImage image = packed.output.image.clone();
    if (!image.header.replaceStringCard("IRAFNAME", names.irafName))
        return messages.failed(ConversionText::noIrafnameCard);
    const int64_t count = packed.packed->count();
    if (options.modern && !options.cube)
        numberModernImage(k + 1, count, packed.observation.times(), image.header);
    if (!options.cube) {
        encodePixels(*workspace.raster, Placement::asIs(image.naxis1, image.naxis2), image.bitpix, output.data,
                     workspace.scratch);
        output.header = headerText(
            image.header, hasChecksumCards(image.header) ? dataSumOf(output.data.data(), output.data.size()) : 0);
        output.image = std::move(image);
        return Result();
    }
    // As -f would convert the image's own file, by the record of the packed file's header, which
    // its cards state, its orientation as -f reads its ORIENTST cards.
    ReadInput read;
    read.source = ReadInput::Source::packedImage;
    read.observation = packed.observation;
    read.orientation = read.observation.orientation;
    if (k == 0)
        return convertImage(names.fileName, options, maps_, read, image, workspace, messages, output);
    // The later images say what the first said (of a map's size, say): only a failure is told.
    Messages again;
    Result converted = convertImage(names.fileName, options, maps_, read, image, workspace, again, output);
    if (!converted)
        messages.append(again);
    return converted;
}


Result Converter::readHeader(const std::string& inputName, Messages& messages, Output& output)
{
    std::unique_ptr<CameraReading>& camera = workspace_.camera;
    Cancellation* const cancel = workspace_.cancel;
    return withinMemory(messages, [&] {
        output = Output();
        FitsImage image;
        CameraHeader header;
        // As a conversion reads the file: a packed one as -p reads it, whose trailer gives TIME-END.
        CameraRequest request{inputName, 0, false, false, cancel};
        Result read = readCameraHeaderOnly(request, image, header, camera, messages);
        if (read.cause() == CameraText::packedRefused) {
            messages.clear();
            image = FitsImage();
            request.unpack = true;
            read = readCameraHeaderOnly(request, image, header, camera, messages);
        }
        if (!read)
            return read;
        fillMinimalCards(image);
        image.header.addEndCard();
        output.header = headerText(image.header, 0);
        output.image = std::move(image);
        return Result();
    });
}

void Converter::maskedPixels(const OrientationCode& code, int width, int height, std::vector<unsigned char>& bad)
{
    const ConversionOptions& options = options_;
    const Map& mask = *maps_.mask;
    Workspace& workspace = workspace_;
    const Orientation turn = options.noFlips ? Orientation{} : code.orientation();
    const int factor = std::max(options.expansion, 1);
    const int naxis1 = (turn.exchange ? height : width) / factor, naxis2 = (turn.exchange ? width : height) / factor;
    // The map's raster holds 0 beyond the map, as applyMask meets it there.
    Raster& flags = *workspace.raster;
    for (int x = 0; x < naxis1; ++x)
        for (int y = 0; y < naxis2; ++y)
            flags[x][y] = (*mask.pixels)[x][y] == 0.0f ? 1.0f : 0.0f;
    encodePixels(flags, placementFor(naxis1, naxis2, options.expansion, turn), 8, bad, workspace.scratch);
}
