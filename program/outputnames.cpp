#include "program/outputnames.h"

#include "conversion/conversion.h"
#include "conversion/names.h"
#include "program/texts.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace {

// A file as the system knows it: its folder's device and inode, and its name there; nullopt when
// the folder is not there.
using Place = std::tuple<dev_t, ino_t, std::string>;

std::optional<Place> placeOf(const std::string& name)
{
    const std::string folder = folderOf(name);
    struct stat place {};
    if (stat(folder.empty() ? "." : folder.c_str(), &place) != 0)
        return std::nullopt;
    return Place{place.st_dev, place.st_ino, name.substr(fileNameStart(name))};
}

// The inputs of a run, by their place and by the file they are: an output must replace none of
// them, whether it is there yet or not.
class InputPlaces {
public:
    explicit InputPlaces(const std::vector<std::string>& names)
    {
        for (const std::string& input : names) {
            if (const std::optional<Place> place = placeOf(input))
                places_.emplace(*place, &input);
            struct stat file {};
            if (stat(input.c_str(), &file) == 0)
                files_.emplace(std::pair{file.st_dev, file.st_ino}, &input);
        }
    }
    // The input other than `own` that writing `output` would replace, or null.
    const std::string* replacedBy(const std::string& output, const std::string* own) const
    {
        if (const std::optional<Place> place = placeOf(output))
            if (const auto found = places_.find(*place); found != places_.end() && found->second != own)
                return found->second;
        struct stat standing {};
        if (lstat(output.c_str(), &standing) == 0)
            if (const auto found = files_.find({standing.st_dev, standing.st_ino});
                found != files_.end() && found->second != own)
                return found->second;
        return nullptr;
    }

private:
    std::map<Place, const std::string*> places_;
    std::map<std::pair<dev_t, ino_t>, const std::string*> files_;
};

// The packed files of a run given by name (-p), one after another: every image name is given
// once, and none is an input's. Their headers are read to count their images; the check ends at
// an input that is no regular file (which cannot be read twice) or cannot be read (the run tells),
// and after a million images.
Result checkUnpackedNames(const Options& options, const InputPlaces& inputs, Messages& messages)
{
    struct Images {
        const std::string* input;
        UnpackedNames names;
        int64_t first, count;
    };
    std::vector<Images> files;
    TakenNames taken;
    Converter converter(options, Maps());
    SessionInOrder session;
    int64_t images = 0;
    for (const std::string& input : options.inputNames) {
        struct stat file {};
        if (stat(input.c_str(), &file) != 0 || !S_ISREG(file.st_mode) || images > 1000000)
            break;
        Messages said;
        Conversion conversion;
        if (!converter.convert(input, session, said, conversion) || !conversion.packed)
            break;
        files.push_back({&input, UnpackedNames(outputNameFor(input, options), options.frameNumber, options.appendFits),
                         std::max<int64_t>(fileNumberFromName(input), 0), conversion.packed->count()});
        const Images& these = files.back();
        UnpackedNames::ImageName name;
        for (int64_t k = 0; k < these.count && images <= 1000000; ++k, ++images) {
            if (!these.names.forImage(these.first + k, name))
                break;
            if (const std::string* replaced = inputs.replacedBy(name.fileName, nullptr)) {
                messages.say(ProgramText::unpackedOverwrites, name.fileName, *replaced);
                return Result::fatal(ProgramText::unpackedOverwrites);
            }
            if (taken.take(name.stem, name.number, these.names.ending()))
                continue;
            // The earlier file whose image has the name.
            for (const Images& earlier : files) {
                UnpackedNames::ImageName other;
                for (int64_t j = 0; j < earlier.count && other.fileName != name.fileName; ++j)
                    earlier.names.forImage(earlier.first + j, other);
                if (other.fileName == name.fileName) {
                    messages.say(ProgramText::outputsCollide, *earlier.input, input, name.fileName);
                    messages.reason("give packed files whose images are numbered apart, or unpack them in runs of "
                                    "their own");
                    return Result::fatal(ProgramText::outputsCollide, messages.lastReason());
                }
            }
        }
    }
    return Result();
}

} // namespace

Result checkOutputNames(const Options& options, Messages& messages)
{
    // A range's outputs are named after its numbers, which differ; a cube of several names is
    // one output, written once every input is read.
    if (options.firstNumber >= 0 || options.inputNames.size() < 2 || options.cube)
        return Result();
    const InputPlaces inputs(options.inputNames);
    if (options.unpack)
        return checkUnpackedNames(options, inputs, messages);
    // Outputs are told apart by their folder, as the system knows it, and their file's name.
    std::map<Place, const std::string*> outputs;
    for (const std::string& input : options.inputNames) {
        const std::string output = outputNameFor(input, options, options.frames ? 'k' : 'f');
        const std::optional<Place> place = placeOf(output);
        if (!place)
            continue;
        if (const auto [earlier, added] = outputs.emplace(*place, &input); !added) {
            messages.say(ProgramText::outputsCollide, *earlier->second, input, output);
            messages.reason("give names whose outputs differ, or convert them in runs of their own");
            return Result::fatal(ProgramText::outputsCollide, messages.lastReason());
        }
        // The output of one name would replace the file of another, there yet or not, before it is read.
        if (const std::string* replaced = inputs.replacedBy(output, &input)) {
            messages.say(ProgramText::outputOverwrites, output, *replaced);
            return Result::fatal(ProgramText::outputOverwrites);
        }
    }
    return Result();
}
