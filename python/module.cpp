// The compiled half of the Python package: the library calls of the program, with the GIL let go
// while a file is read and converted, and their outputs handed to numpy without a copy. It never
// prints, exits or touches the interpreter's signals; a failure becomes an exception of the
// package, with the program's reason, and a signal's exception (KeyboardInterrupt) ends a wait.
#include "camera/readveska.h"
#include "conversion/conversion.h"
#include "conversion/names.h"
#include "conversion/observinglog.h"
#include "camera/cameratexts.h"
#include "conversion/conversiontexts.h"
#include "program/commandline.h"

#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The exceptions of the package: Error, and beside it OSError for an input or map that cannot be
// read, ValueError for an option the program refuses.
PyObject* errorType = nullptr;
PyObject* readErrorType = nullptr;
PyObject* optionErrorType = nullptr;

struct ReadFailure {
    std::string reason;
    std::string fileName;
};
struct OptionFailure {
    std::string reason;
};

// One workspace per thread that reads: its rasters are kept from call to call.
Workspace& threadWorkspace()
{
    thread_local Workspace workspace;
    return workspace;
}

// The interpreter's signals, asked by a call that has let the GIL go: CPython's handler of
// SIGINT interrupts a wait of the main thread (EINTR), and the signal's Python handler then
// runs here; what it raises (KeyboardInterrupt) ends the call in place of its result.
class PendingSignals final : public Cancellation {
public:
    // Asked without the GIL, when a signal cut a wait short.
    bool requested() override
    {
        py::gil_scoped_acquire held;
        last_ = std::chrono::steady_clock::now();
        if (PyErr_CheckSignals() == 0)
            return false;
        raised_.emplace();
        return true;
    }
    // Asked without the GIL between pieces of work: every 10 ms at most, since the GIL may
    // take a while to come when other threads run Python.
    bool requestedFromTimeToTime()
    {
        return raised_ || (std::chrono::steady_clock::now() - last_ >= std::chrono::milliseconds(10) && requested());
    }
    // With the GIL: raises what a signal's handler raised, now or during the call.
    void raisePending()
    {
        if (raised_)
            throw *raised_;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    }

private:
    std::optional<py::error_already_set> raised_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Runs `work` with the GIL let go; a signal's exception is raised in place of a read's failure.
template <typename Work>
void withoutGil(PendingSignals& signals, Work work)
{
    try {
        py::gil_scoped_release released;
        work();
    } catch (const ReadFailure&) {
        signals.raisePending();
        throw;
    }
    signals.raisePending();
}


// The options as the program reads them from its command line, for the file `path`.
Options parsedOptions(const std::string& path, const std::vector<std::string>& arguments)
{
    // A stand-in first argument: the path itself is no part of the options, whatever it starts with.
    std::vector<const char*> argv{"kovrent", "input"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    Options options;
    Messages messages;
    const Result parsed = parseCommandLine(static_cast<int>(argv.size()), argv.data(), options, messages);
    if (!parsed)
        throw OptionFailure{parsed.reason()};
    options.inputName = path;
    options.inputNames = {path};
    return options;
}

// What a conversion said on the way that a person should hear: its warnings.
std::vector<std::string> warningsOf(const Messages& messages)
{
    std::vector<std::string> warnings;
    for (const Messages::Line& line : messages.lines()) {
        if (!line.warns())
            continue;
        std::string text = line.text;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        warnings.push_back(std::move(text));
    }
    return warnings;
}

// Bytes of 8-bit text as Python's str, one character per byte.
py::str latin1(const std::string& text)
{
    PyObject* decoded = PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!decoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// Text that names files, as the file system's names decode: undecodable bytes kept as escapes.
py::str fileSystemText(const std::string& text)
{
    PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!decoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// The bytes of `buffer`, which the array takes over and frees with itself: no copy.
py::array owningArray(std::vector<unsigned char>&& buffer, const py::dtype& type, std::vector<py::ssize_t> shape)
{
    auto* owned = new std::vector<unsigned char>(std::move(buffer));
    py::capsule release(owned, [](void* pointer) { delete static_cast<std::vector<unsigned char>*>(pointer); });
    return py::array(type, std::move(shape), {}, owned->data(), release);
}

// The element type of a FITS image of BITPIX `bitpix`, big-endian as the file holds it.
py::dtype elementType(int bitpix)
{
    switch (bitpix) {
    case 8: return py::dtype("u1");
    case 16: return py::dtype(">i2");
    case 32: return py::dtype(">i4");
    default: return py::dtype(">f4");
    }
}

// Loads the maps that `options` name, once for this call.
Maps loadedMaps(const Options& options, Messages& messages)
{
    Maps maps;
    const struct {
        bool wanted;
        const std::string& name;
        std::shared_ptr<const Map>& map;
    } wanted[] = {{options.mask, options.maskName, maps.mask}, {options.gain, options.gainName, maps.gain}};
    for (const auto& map : wanted) {
        if (!map.wanted)
            continue;
        auto loaded = std::make_shared<Map>();
        loaded->name = map.name;
        if (Result result = loadMap(*loaded, messages); !result)
            throw ReadFailure{result.reason(), map.name};
        map.map = std::move(loaded);
    }
    return maps;
}

// What one conversion hands to Python, held while the GIL is let go.
struct Converted {
    Output output;
    std::vector<unsigned char> masked; // a byte per pixel, when the mask was asked for
    std::vector<std::string> warnings;
    int64_t planes = 0; // 0 for an image, else the planes of a cube
};

// The conversion of one input as the program's: a camera file's image, or with --frames the cube
// of its frames; a packed file's images as the cube that -p --cube writes.
Converted convertPath(const std::string& path, const Options& options, bool wantMask, Cancellation& cancel)
{
    Workspace& workspace = threadWorkspace();
    // The thread's workspace outlives the call, its cancellation does not.
    struct CancelOfCall {
        Workspace& workspace;
        ~CancelOfCall() { workspace.cancel = nullptr; }
    } cancelOfCall{workspace};
    workspace.cancel = &cancel;
    Messages messages;
    const Maps maps = loadedMaps(options, messages);
    SessionInOrder session;
    Converted converted;
    Result result;
    OrientationCode orientation;
    bool cube = options.frames;
    if (options.frames) {
        result = convertFrames(path, options, maps, session, workspace, messages, converted.output);
        if (result) {
            // The frames are turned as the camera header's code says.
            FitsImage image;
            CameraHeader header;
            Messages again;
            readCameraHeaderOnly(path, image, header, workspace.camera, again, &cancel);
            orientation = header.orientation;
        }
    } else {
        Conversion conversion;
        result = convertFile(path, options, maps, session, workspace, messages, conversion);
        if (result.cause() == CameraText::packedRefused && !options.fitsInput) {
            messages.clear();
            cube = true;
            result = convertPackedCube(path, options, maps, workspace, messages, converted.output);
            // Each image is turned as -f turns its unpacked file: by the code its header holds.
            if (result)
                orientation = observationOf(converted.output.image.header).orientation;
        } else {
            converted.output = std::move(conversion.output);
            orientation = conversion.orientation;
        }
    }
    if (!result) {
        // An expansion that this image cannot take is a bad option value for it.
        if (result.cause() == ConversionText::expansionTooLarge)
            throw OptionFailure{result.reason()};
        result = explained(result, path, options.fitsInput ? Wanted::fitsInput : Wanted::camera, messages);
        throw ReadFailure{result.reason(), path};
    }
    const FitsImage& image = converted.output.image;
    const std::size_t planeBytes = static_cast<std::size_t>(image.pixelCount()) * std::abs(image.bitpix / 8);
    if (cube && planeBytes > 0)
        converted.planes = static_cast<int64_t>(converted.output.data.size() / planeBytes);
    converted.warnings = warningsOf(messages);
    if (wantMask && maps.mask)
        maskedPixels(*maps.mask, orientation, options, image.naxis1, image.naxis2, workspace, converted.masked);
    return converted;
}

// The cards of a header that decide how astropy takes its HDU: the structure of the data, their
// scaling and blank value, and whether checksums are kept; each where it stands.
std::string structureCards(const std::string& header)
{
    static const std::string_view keys[]
        = {"SIMPLE", "BITPIX", "NAXIS",  "NAXIS1", "NAXIS2", "NAXIS3",   "EXTEND", "BSCALE",
           "BZERO",  "BLANK",  "GROUPS", "PCOUNT", "GCOUNT", "CHECKSUM", "DATASUM"};
    std::string cards;
    for (std::size_t at = 0; at + cardLength <= header.size(); at += cardLength) {
        const std::string_view key = cardKey(header.data() + at);
        if (key == "END")
            break;
        if (std::find(std::begin(keys), std::end(keys), key) != std::end(keys))
            cards.append(header, at, cardLength);
    }
    return cards;
}

// (header text, data array, extension bytes, mask array or None, warnings, structure cards)
py::tuple convert(const std::string& path, const std::vector<std::string>& arguments, bool wantMask)
{
    const Options options = parsedOptions(path, arguments);
    PendingSignals signals;
    Converted converted;
    withoutGil(signals, [&] { converted = convertPath(path, options, wantMask, signals); });
    const FitsImage& image = converted.output.image;
    std::vector<py::ssize_t> shape{image.naxis2, image.naxis1};
    if (converted.planes > 0)
        shape.insert(shape.begin(), converted.planes);
    py::object mask = py::none();
    if (!converted.masked.empty())
        mask = owningArray(std::move(converted.masked), py::dtype("u1"), {image.naxis2, image.naxis1});
    py::array data = owningArray(std::move(converted.output.data), elementType(image.bitpix), shape);
    py::list warnings;
    for (const std::string& warning : converted.warnings)
        warnings.append(fileSystemText(warning));
    const std::string& extension = converted.output.extension;
    return py::make_tuple(latin1(converted.output.header), data, py::bytes(extension.data(), extension.size()), mask,
                          warnings, latin1(structureCards(converted.output.header)));
}

py::str header(const std::string& path)
{
    PendingSignals signals;
    Output output;
    withoutGil(signals, [&] {
        thread_local std::unique_ptr<CameraReading> camera;
        Messages messages;
        if (Result result = readCameraHeaderAlone(path, camera, messages, output, &signals); !result)
            throw ReadFailure{explained(result, path, Wanted::camera, messages).reason(), path};
    });
    return latin1(output.header);
}

// The observing log of `paths` as the program writes it with --log to a name ending in .ecsv.
py::str logText(const std::vector<std::string>& paths, bool fitsInput)
{
    PendingSignals signals;
    std::string text;
    withoutGil(signals, [&] {
        thread_local std::unique_ptr<CameraReading> camera;
        text = logHeading(LogFormat::ecsv);
        LogRow row;
        for (const std::string& path : paths) {
            // A row that failed may have met a signal in a wait that did not ask (a FITS file's).
            if (signals.requestedFromTimeToTime() || (row.status != "ok" && signals.requested()))
                return;
            readLogRow(path, fitsInput, camera, row, &signals);
            appendLogRow(text, row);
        }
    });
    return latin1(text);
}

// The name the program gives the output of `path` converted with `arguments`: 'f', or 'k' for a
// cube, in place of its first letter, in the folder of -d.
py::str outputName(const std::string& path, const std::vector<std::string>& arguments, bool cube)
{
    return fileSystemText(outputNameFor(path, parsedOptions(path, arguments), cube ? 'k' : 'f'));
}

// The first and last number of a range (-r) as the program reads them from its command line.
py::tuple rangeNumbers(const std::string& first, const std::string& last)
{
    const char* argv[] = {"kovrent", "input.", "-r", first.c_str(), last.c_str()};
    Options options;
    Messages messages;
    if (const Result parsed = parseCommandLine(5, argv, options, messages); !parsed)
        throw OptionFailure{parsed.reason()};
    return py::make_tuple(options.firstNumber, options.lastNumber);
}

void raise(PyObject* type, const std::string& reason, const std::string& fileName)
{
    py::object error = py::reinterpret_borrow<py::object>(type)(fileSystemText(reason));
    if (!fileName.empty())
        error.attr("filename") = fileSystemText(fileName);
    PyErr_SetObject(type, error.ptr());
}

} // namespace

PYBIND11_MODULE(_kovrent, module)
{
    module.doc() = "The conversion library of kovrent; the package kovrent is its interface.";
    // Each shows the reason alone, as the program gives it, also where OSError would show its
    // file name.
    py::dict methods;
    methods["__builtins__"] = py::module_::import("builtins");
    py::exec("def __str__(self):\n    return str(self.args[0]) if self.args else ''\n", methods);
    auto newType = [&](const char* name, const char* doc, py::handle bases) {
        py::dict members;
        members["__str__"] = methods["__str__"];
        PyObject* type = PyErr_NewExceptionWithDoc(name, doc, bases.ptr(), members.ptr());
        if (!type)
            throw py::error_already_set();
        return type;
    };
    errorType = newType("kovrent.Error", "A camera file or option that kovrent refuses.", PyExc_Exception);
    readErrorType = newType("kovrent.ReadError", "An input or map that cannot be read.",
                            py::make_tuple(py::handle(errorType), py::handle(PyExc_OSError)));
    optionErrorType = newType("kovrent.OptionError", "An option value that kovrent refuses.",
                              py::make_tuple(py::handle(errorType), py::handle(PyExc_ValueError)));
    module.add_object("Error", py::handle(errorType));
    module.add_object("ReadError", py::handle(readErrorType));
    module.add_object("OptionError", py::handle(optionErrorType));
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown)
                std::rethrow_exception(thrown);
        } catch (const ReadFailure& failure) {
            raise(readErrorType, failure.reason, failure.fileName);
        } catch (const OptionFailure& failure) {
            raise(optionErrorType, failure.reason, "");
        }
    });

    module.def("convert", &convert, py::arg("path"), py::arg("arguments"), py::arg("want_mask") = false,
               "Converts one file as the program does with the arguments given: (header text, data, "
               "extension bytes, mask or None, warnings, structure cards).");
    module.def("header", &header, py::arg("path"), "The header text of a camera file alone.");
    module.def("log_text", &logText, py::arg("paths"), py::arg("fits_input") = false,
               "The observing log of the files as ECSV text, as --log writes it.");
    module.def("output_name", &outputName, py::arg("path"), py::arg("arguments"), py::arg("cube") = false,
               "The name the program writes the output of the file under.");
    module.def("range_numbers", &rangeNumbers, py::arg("first"), py::arg("last"),
               "The numbers of a range as the program reads them after -r.");
    module.def(
        "numbered_name",
        [](const std::string& root, int64_t number) { return fileSystemText(numberedName(root, number)); },
        py::arg("root"), py::arg("number"), "The file of a range: the root and the number, three digits at least.");
    module.attr("__version__") = KOVRENT_VERSION_TEXT;
}
