// The compiled half of the Python package: the conversion library bound as it is, its options the
// fields of Options and a conversion's outputs those of Converted, with the GIL let go while a
// file is read and converted, and the outputs handed to numpy without a copy. It never prints,
// exits or touches the interpreter's signals; a failure becomes an exception of the package, with
// the library's reason, and a signal's exception (KeyboardInterrupt) ends a wait.
#include "camera/cameratexts.h"
#include "conversion/conversion.h"
#include "conversion/conversiontexts.h"
#include "conversion/names.h"
#include "conversion/observinglog.h"
#include "conversion/options.h"

#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The exceptions of the package: Error, and beside it OSError for an input or map that cannot be
// read, ValueError for an option the program refuses. A file the system cannot give raises the
// ReadError that is also the OSError of its error number (FileNotFoundError, PermissionError, ...).
PyObject* errorType = nullptr;
PyObject* readErrorType = nullptr;
PyObject* optionErrorType = nullptr;
struct SystemReadError {
    std::vector<int> errors;
    const char* name; // in the package
    PyObject* builtin;
    PyObject* type;
};
SystemReadError systemReadErrors[] = {
    {{ENOENT}, "FileNotFoundReadError", PyExc_FileNotFoundError, nullptr},
    {{EACCES, EPERM}, "PermissionReadError", PyExc_PermissionError, nullptr},
    {{EISDIR}, "IsADirectoryReadError", PyExc_IsADirectoryError, nullptr},
    {{ENOTDIR}, "NotADirectoryReadError", PyExc_NotADirectoryError, nullptr},
};

struct ReadFailure {
    std::string reason;
    std::string fileName;
    std::error_code cause; // the system's error, or the text of the part that found it
};

// The failure to read `fileName`, its reason naming the file once: the libraries' lines for people
// name their file, and so do the texts filled in with it, while the sentence of another text, which
// the program says after "Reading <file>...", is given the file's name here.
ReadFailure readFailure(const Result& result, const std::string& fileName, const Messages& messages)
{
    const std::error_code& cause = result.cause();
    for (const Messages::Line& line : messages.lines()) {
        const TextValues& values = line.values;
        const bool causeText = line.id.part == &cause.category() && line.id.code == cause.value();
        if ((line.kind == Messages::Kind::reason && line.text == result.reason())
            || (causeText && (values.name == fileName || values.other == fileName || values.third == fileName)))
            return {result.reason(), fileName, cause};
    }
    return {fileName + ": " + result.reason(), fileName, cause};
}
struct OptionFailure {
    std::string reason;
};

// The buffers of the converters of this thread, kept from call to call.
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

// The maps that `options` name, loaded for this call.
Maps loadedMaps(const ConversionOptions& options, Messages& messages)
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
            throw readFailure(result, map.name, messages);
        map.map = std::move(loaded);
    }
    return maps;
}

// What a conversion said on the way that a person should hear: its warnings, each a line.
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

// What one conversion hands to Python, held while the GIL is let go: its output, the mask's bad
// pixels when the mask was asked for, its warnings, and the planes of a cube (0 for an image).
struct Converted {
    Output output;
    std::vector<unsigned char> masked;
    std::vector<std::string> warnings;
    int64_t planes = 0;
    std::vector<std::optional<int64_t>> starts; // each plane's, as a cube's table gives it
};

// The converter of this call, on the buffers of this thread, which it gives back when it goes.
class CallConverter {
public:
    CallConverter(const ConversionOptions& options, Maps maps, Cancellation& cancel)
        : converter_(options, std::move(maps), &cancel, std::move(threadWorkspace()))
    {
    }
    ~CallConverter() { threadWorkspace() = converter_.releaseWorkspace(); }
    CallConverter(const CallConverter&) = delete;
    CallConverter& operator=(const CallConverter&) = delete;
    Converter* operator->() { return &converter_; }

private:
    Converter converter_;
};

// The conversion of one input as the program's: a camera file's image, or with frames the cube of
// its frames; a packed file's images as the cube that -p --cube writes.
Converted convertPath(const std::string& path, const ConversionOptions& options, bool wantMask, Cancellation& cancel)
{
    Messages messages;
    CallConverter converter(options, loadedMaps(options, messages), cancel);
    SessionInOrder session;
    Conversion conversion;
    Result result = options.frames ? converter->convertFrames(path, session, messages, conversion)
                                   : converter->convert(path, session, messages, conversion);
    bool cube = options.frames;
    if (result.cause() == CameraText::packedRefused && !options.fitsInput) {
        messages.clear();
        cube = true;
        result = converter->convertPackedCube(path, messages, conversion);
    }
    if (!result) {
        // An expansion that this image cannot take, or a frame beyond its observing mode's, is a bad
        // option value for it.
        if (result.cause() == ConversionText::expansionTooLarge || result.cause() == CameraText::frameBeyondMode)
            throw OptionFailure{result.reason()};
        result = explained(result, path, options.fitsInput ? Wanted::fitsInput : Wanted::camera, messages);
        throw readFailure(result, path, messages);
    }
    Converted converted;
    converted.output = std::move(conversion.output);
    const FitsImage& image = converted.output.image;
    const std::size_t planeBytes = static_cast<std::size_t>(image.pixelCount()) * std::abs(image.bitpix / 8);
    if (cube && planeBytes > 0)
        converted.planes = static_cast<int64_t>(converted.output.data.size() / planeBytes);
    converted.warnings = warningsOf(messages);
    // A packed file's images start one after another; the frames of a file, and an image, at its start.
    const bool packedCube = cube && !options.frames;
    for (int64_t k = 0; k < std::max<int64_t>(converted.planes, 1); ++k)
        converted.starts.push_back(packedCube ? packedPlaneRecord(path, conversion.observation, k, converted.planes).start
                                              : planeRecordOf(path, conversion.observation).start);
    // A packed file's images, and a cube of frames, are turned as their conversion turned them.
    if (wantMask && options.mask)
        converter->maskedPixels(conversion.orientation, image.naxis1, image.naxis2, converted.masked);
    return converted;
}

// What Python gets of a conversion: the header's text, the data array, the table that follows
// as its bytes, the mask's bad pixels (or None) and the warnings.
struct ConvertedForPython {
    py::str header;
    py::array data;
    py::bytes extension;
    py::object mask;
    py::list warnings;
    py::list starts;
};

ConvertedForPython convert(const std::string& path, const ConversionOptions& options, bool wantMask)
{
    PendingSignals signals;
    Converted converted;
    withoutGil(signals, [&] { converted = convertPath(path, options, wantMask, signals); });
    const FitsImage& image = converted.output.image;
    std::vector<py::ssize_t> shape{image.naxis2, image.naxis1};
    if (converted.planes > 0)
        shape.insert(shape.begin(), converted.planes);
    ConvertedForPython result;
    result.mask = py::none();
    if (!converted.masked.empty())
        result.mask = owningArray(std::move(converted.masked), py::dtype("u1"), {image.naxis2, image.naxis1});
    result.data = owningArray(std::move(converted.output.data), elementType(image.bitpix), shape);
    for (const std::string& warning : converted.warnings)
        result.warnings.append(fileSystemText(warning));
    const std::string& extension = converted.output.extension;
    result.extension = py::bytes(extension.data(), extension.size());
    result.header = latin1(converted.output.header);
    for (const std::optional<int64_t>& start : converted.starts)
        result.starts.append(start ? py::cast(static_cast<double>(*start) / hundredthsPerDay) : py::none());
    return result;
}

py::str header(const std::string& path)
{
    PendingSignals signals;
    Output output;
    withoutGil(signals, [&] {
        Messages messages;
        CallConverter converter(ConversionOptions(), Maps(), signals);
        if (Result result = converter->readHeader(path, messages, output); !result) {
            result = explained(result, path, Wanted::camera, messages);
            throw readFailure(result, path, messages);
        }
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
        std::string rows;
        LogTimes times;
        LogRow row;
        for (const std::string& path : paths) {
            // A row that failed may have met a signal in a wait that did not ask (a FITS file's).
            if (signals.requestedFromTimeToTime() || (row.status != "ok" && signals.requested()))
                return;
            readLogRow(path, fitsInput, camera, row, &signals);
            times.note(row);
            appendLogRow(rows, row);
        }
        text = logHeading(LogFormat::ecsv, times) + rows;
    });
    return latin1(text);
}

// A number of an option, written as on the program's command line (010, 0x2).
int32_t optionNumber(const std::string& text)
{
    int32_t value = 0;
    if (readOptionNumber(text, value) != ScanResult::number)
        throw OptionFailure{"'" + text + "' is not a whole number"};
    return value;
}

void raise(PyObject* type, const std::string& reason, const std::string& fileName, int error = 0)
{
    py::object raised = py::reinterpret_borrow<py::object>(type)(fileSystemText(reason));
    if (!fileName.empty())
        raised.attr("filename") = fileSystemText(fileName);
    if (error != 0) {
        raised.attr("errno") = error;
        raised.attr("strerror") = fileSystemText(std::strerror(error));
    }
    PyErr_SetObject(type, raised.ptr());
}

// A read that failed for the system's error raises the ReadError of its kind, errno set.
void raiseRead(const ReadFailure& failure)
{
    const bool system = failure.cause.category() == std::generic_category();
    const int error = system ? failure.cause.value() : 0;
    PyObject* type = readErrorType;
    for (const SystemReadError& kind : systemReadErrors)
        if (std::find(kind.errors.begin(), kind.errors.end(), error) != kind.errors.end())
            type = kind.type;
    raise(type, failure.reason, failure.fileName, error);
}

// A map's name as an option holds it: the name, or None for no map.
std::optional<std::string> mapName(bool wanted, const std::string& name)
{
    return wanted ? std::optional<std::string>(name) : std::nullopt;
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
    for (SystemReadError& kind : systemReadErrors) {
        const std::string name = std::string("kovrent.") + kind.name;
        kind.type = newType(name.c_str(), "An input or map that the system cannot give, as its OSError says.",
                            py::make_tuple(py::handle(readErrorType), py::handle(kind.builtin)));
        module.add_object(kind.name, py::handle(kind.type));
    }
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown)
                std::rethrow_exception(thrown);
        } catch (const ReadFailure& failure) {
            raiseRead(failure);
        } catch (const OptionFailure& failure) {
            raise(optionErrorType, failure.reason, "");
        }
    });

    // The options of a conversion, by the keywords of kovrent.read; the package checks their
    // values before they are set.
    using Options = ConversionOptions;
    py::class_<Options>(module, "Options", "What a conversion is asked to do, as kovrent.read's keywords say.")
        .def(py::init<>())
        .def_readwrite("expand", &Options::expansion, "expansion factor (-e)")
        .def_property(
            "orient", [](const Options& o) { return !o.noFlips; }, [](Options& o, bool orient) { o.noFlips = !orient; },
            "north up and east left, else as the camera read it (-n)")
        .def_property(
            "gain", [](const Options& o) { return mapName(o.gain, o.gainName); },
            [](Options& o, std::optional<std::string> name) {
                o.gain = name.has_value();
                o.gainName = name.value_or("");
            },
            "the gain map's file, or None (-g)")
        .def_property(
            "mask", [](const Options& o) { return mapName(o.mask, o.maskName); },
            [](Options& o, std::optional<std::string> name) {
                o.mask = name.has_value();
                o.maskName = name.value_or("");
            },
            "the mask's file, or None (-m)")
        .def_readwrite("frame", &Options::frameNumber, "the frame taken alone, or 0 for their combination (-o)")
        .def_readwrite("zero_wait", &Options::zeroWait, "the zero chopper wait correction (-z)")
        .def_readwrite("interchange", &Options::interchange, "columns 4 and 5 interchanged (-i)")
        .def_readwrite("fits_input", &Options::fitsInput, "the input a FITS file (-f)")
        .def_readwrite("modern", &Options::modern, "the cards of today's readers (--modern)")
        .def_readwrite("frames", &Options::frames, "every frame as a plane of a cube (--frames)")
        .def_property(
            "output_directory",
            [](const Options& o) { return o.toDirectory ? std::optional<std::string>(o.outputDirectory) : std::nullopt; },
            [](Options& o, std::optional<std::string> folder) {
                o.toDirectory = folder.has_value();
                o.outputDirectory = folder.value_or("");
            },
            "the folder of the outputs, or None for the inputs' (-d)")
        .def_readwrite("append_fits", &Options::appendFits, "'.fits' after the output names (-a)");

    py::class_<ConvertedForPython>(module, "Converted", "What a conversion gave.")
        .def_readonly("header", &ConvertedForPython::header, "the header's text, as the file holds it")
        .def_readonly("data", &ConvertedForPython::data, "the data, big-endian, of the header's BITPIX")
        .def_readonly("extension", &ConvertedForPython::extension, "the table that follows, as the file holds it")
        .def_readonly("mask", &ConvertedForPython::mask, "the mask's bad pixels (1), when the mask was asked for")
        .def_readonly("warnings", &ConvertedForPython::warnings, "what the conversion warned of")
        .def_readonly("starts", &ConvertedForPython::starts,
                      "each plane's start (MJD, UTC) as a cube's table gives it, or None where unknown");

    module.def("convert", &convert, py::arg("path"), py::arg("options"), py::arg("want_mask") = false,
               "Converts one file as the program does with the options given.");
    module.def("header", &header, py::arg("path"), "The header text of a camera file alone.");
    module.def("log_text", &logText, py::arg("paths"), py::arg("fits_input") = false,
               "The observing log of the files as ECSV text, as --log writes it.");
    module.def(
        "output_name",
        [](const std::string& path, const Options& options, bool cube) {
            return fileSystemText(outputNameFor(path, options, cube ? 'k' : 'f'));
        },
        py::arg("path"), py::arg("options"), py::arg("cube") = false,
        "The name the program writes the output of the file under: 'f', or 'k' for a cube, for its first letter.");
    module.def("option_number", &optionNumber, py::arg("text"),
               "A number of an option as the program reads it (decimal with leading zeros, or 0x and hexadecimal).");
    module.def(
        "numbered_name",
        [](const std::string& root, int64_t number) { return fileSystemText(numberedName(root, number)); },
        py::arg("root"), py::arg("number"), "The file of a range: the root and the number, three digits at least.");
    module.attr("__version__") = KOVRENT_VERSION_TEXT;
}
