#include "program/source.h"

#include "camera/cameratexts.h"
#include "fits/fitstexts.h"
#include "program/texts.h"

#include <algorithm>

#include <sys/stat.h>

void RunCubes::add(std::shared_ptr<CubeWriter> cube)
{
    std::lock_guard lock(mutex_);
    cubes_.push_back(std::move(cube));
}

void RunCubes::giveUpAll()
{
    std::lock_guard lock(mutex_);
    for (const std::shared_ptr<CubeWriter>& cube : cubes_)
        cube->giveUp();
}

bool mayNeverCome(const std::string& name)
{
    struct stat status {};
    return ::stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

Result toldUnreadable(Result result, const std::string& inputName, bool fitsInput, Messages& messages)
{
    const std::error_category& part = result.cause().category();
    const bool read = part == std::generic_category() || part == fitsTexts() || part == cameraTexts();
    if (result || !read)
        return result;
    if (fitsInput) {
        messages.say(ProgramText::fitsInputUnreadable);
        return explained(std::move(result), inputName, Wanted::fitsInput, messages);
    }
    if (!result.endsRun())
        messages.say(ProgramText::cameraInputUnreadable);
    return explained(std::move(result), inputName, Wanted::camera, messages);
}

UnitSource::UnitSource(const RunSettings& settings, Publisher& publisher, Crew& crew, RunEnd& end, RunCubes& cubes)
    : settings_(settings), publisher_(publisher), crew_(crew), end_(end), cubes_(cubes),
      range_(settings.options.firstNumber > -1), fileNumber_(settings.options.firstNumber)
{
    end.registerWait(mutex_, freed_);
}

bool UnitSource::take()
{
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return !taken_ || end_.ended(); });
    if (taken_)
        return false;
    taken_ = true;
    return true;
}

void UnitSource::give()
{
    std::lock_guard lock(mutex_);
    taken_ = false;
    freed_.notify_one();
}

bool UnitSource::next(Unit& unit, Converter& converter)
{
    if (!take())
        return false;
    // Given back also when the unit's reading runs out of memory.
    struct Holding {
        UnitSource& source;
        ~Holding() { source.give(); }
    } holding{*this};
    return nextUnit(unit, converter);
}

bool UnitSource::nextUnit(Unit& unit, Converter& converter)
{
    const Options& options = settings_.options;
    if (ended_ || !publisher_.waitForRoom(sequence_))
        return false;
    if (packed_ && nextImage_ < packed_->count) {
        unit.kind = Unit::Kind::packedImage;
        unit.sequence = sequence_++;
        unit.packed = packed_;
        unit.image = nextImage_++;
        unit.inputName = packed_->inputName;
        const Crew::Reading reading(crew_, packed_->mayNeverCome);
        takePackedImage(unit, converter);
        return true;
    }
    packed_.reset();
    const std::vector<std::string>& names = options.inputNames;
    if (range_ ? !firstFile_ && fileNumber_ > options.lastNumber : nextName_ >= names.size()) {
        ended_ = true;
        return false;
    }
    firstFile_ = false;
    unit.sequence = sequence_++;
    unit.fileIndex = nextFile_++;
    if (range_) {
        unit.inputName = numberedName(options.inputName, fileNumber_);
        unit.number = fileNumber_;
        unit.notTried = std::max<int64_t>(options.lastNumber - unit.number, 0);
        ++fileNumber_;
        unit.last = fileNumber_ > options.lastNumber;
        unit.placeAfter = fileNumber_;
    } else {
        unit.inputName = names[nextName_++];
        unit.number = fileNumberFromName(unit.inputName);
        unit.notTried = static_cast<int64_t>(names.size() - nextName_);
        unit.last = nextName_ == names.size();
        unit.placeAfter = static_cast<int64_t>(nextName_);
    }
    if (options.unpack) {
        unit.kind = Unit::Kind::packedFile;
        const Crew::Reading reading(crew_, mayNeverCome(unit.inputName));
        readPackedFile(unit, converter);
    }
    return true;
}

// The header of a packed file, whose images come next, in the run's order.
void UnitSource::readPackedFile(Unit& unit, Converter& converter)
{
    const Options& options = settings_.options;
    Messages& messages = unit.messages;
    messages.say(ProgramText::readingFile, unit.inputName);
    unit.readBegun = true;
    auto packed = std::make_shared<PackedFile>();
    packed->inputName = unit.inputName;
    packed->number = unit.number;
    packed->mayNeverCome = mayNeverCome(unit.inputName);
    unit.result = toldUnreadable(converter.convert(unit.inputName, packedSessions_, messages, packed->conversion),
                                 unit.inputName, false, messages);
    if (!unit.result) {
        ended_ = !options.keepGoing;
        return;
    }
    packed->count = packed->conversion.packed->count();
    // A file without a number in its name is numbered from 0; a range goes on after its images.
    packed->startNumber = std::max<int64_t>(unit.number, 0);
    packed->position = range_ ? unit.number : static_cast<int64_t>(nextName_) - 1;
    if (range_) {
        fileNumber_ = packed->startNumber + packed->count;
        unit.last = fileNumber_ > options.lastNumber;
        // Should an image end the run: the range's numbers after the file's last image.
        packed->notTried = std::max<int64_t>(
            options.lastNumber - std::max(packed->startNumber + packed->count - 1, unit.number + 1) + 1, 0);
    } else {
        packed->notTried = unit.notTried;
    }
    packed->next = unit.placeAfter = range_ ? fileNumber_ : static_cast<int64_t>(nextName_);
    if (packed->count > 0)
        unit.placeAfter = packed->position;
    auto failed = [&](Result result) {
        unit.result = std::move(result);
        ended_ = true;
    };
    if (!options.cube) {
        packed->names.emplace(outputNameFor(unit.inputName, options), options.frameNumber, options.appendFits);
    } else {
        // The images as the planes of one data cube, named like them with 'k' for their 't' and the
        // packed file's own number.
        const std::string cubeName = outputNameFor(unit.inputName, options, 'k');
        if (!unpackedNames_.take(cubeName)) {
            messages.say(ProgramText::noCubeName, unit.inputName);
            messages.reason("%s is the name of an earlier output of this run", cubeName.c_str());
            return failed(Result::failed(ProgramText::noCubeName, messages.lastReason()));
        }
        const OutputFolder& folder = settings_.folders->of(cubeName);
        if (replacesFile(cubeName, unit.inputName, &folder))
            return failed(messages.failed(ProgramText::cubeOverwrites, cubeName, unit.inputName));
        messages.say(ProgramText::writingCube, cubeName, {packed->count});
        sayImagesIntoCube(unit.inputName, cubeName, packed->count, messages);
        auto cube = std::make_shared<CubeBuild>();
        cube->writer = std::make_shared<CubeWriter>(cubeName, &folder, end_);
        cube->planes = packed->count;
        cube->ofFiles = false;
        cubes_.add(cube->writer);
        packed->cube = cube;
        packed->cubeNames = {unit.inputName, cubeIrafName(unit.inputName, options)};
    }
    packed_ = packed;
    nextImage_ = 0;
    unit.packed = packed;
}

// The name of the next image of the packed file, and its values, taken in the file's order.
void UnitSource::takePackedImage(Unit& unit, Converter& converter)
{
    PackedFile& packed = *packed_;
    Messages& messages = unit.messages;
    unit.number = packed.startNumber + unit.image;
    unit.notTried = packed.notTried;
    unit.placeAfter = unit.image + 1 < packed.count ? packed.position : packed.next;
    auto failed = [&](Result result) {
        unit.result = std::move(result);
        // A range that goes on goes on from the file's last image.
        if (range_)
            fileNumber_ = std::max(packed.startNumber + packed.count - 1, packed.number + 1);
        packed_.reset();
        ended_ = !settings_.options.keepGoing;
    };
    if (!packed.cube) {
        UnpackedNames::ImageName name;
        if (Result named = packed.names->forImage(unit.number, name); !named) {
            messages.say(ProgramText::noUnpackedName, {unit.number});
            messages.reason("%s", named.reason().c_str());
            return failed(named);
        }
        unit.names = {name.fileName, name.irafName};
        // Two images of one run never share a name: the later one would replace the earlier.
        if (!unpackedNames_.take(name.stem, name.number, packed.names->ending())) {
            messages.say(ProgramText::noUnpackedName, {unit.number});
            messages.reason("%s is the name of an earlier image of this run", unit.names.fileName.c_str());
            return failed(Result::failed(ProgramText::noUnpackedName, messages.lastReason()));
        }
        if (replacesFile(unit.names.fileName, packed.inputName, &settings_.folders->of(unit.names.fileName)))
            return failed(messages.failed(ProgramText::unpackedOverwrites, unit.names.fileName, packed.inputName));
        messages.say(packed.conversion.packed->ultrafast() ? ProgramText::writingUltrafast : ProgramText::writingUnpacked,
                     unit.names.fileName);
    }
    if (Result read = converter.takePackedImage(packed.conversion, messages); !read)
        failed(read);
}
