// Hostile input, end to end: truncated, corrupted and absurd camera files, broken FITS inputs and
// maps, absurd option values, and links, FIFOs and folders planted in the way of the outputs, each
// run through the real program; then runs that share a folder and runs ended by a signal.
// Whatever the input, a run must end in bounded time with status 0 or 1 and no sanitizer report,
// say why when it fails, leave its inputs as they were, write only into its output directory, and
// leave there only whole FITS files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/camerawriter.h"
#include "support/fitsread.h"
#include "support/fitswrite.h"
#include "support/runprogram.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr auto kTimeout = std::chrono::seconds(20);
constexpr const char* kInput = "c970611a.001";
constexpr const char* kOutputDir = "out";
constexpr size_t kBlock = 2880;
constexpr int kAnyStatus = -1;

// One input of a run: a shared original, cut and with bytes flipped; no original makes an
// empty directory of that name.
struct Input {
    Input(std::string name, std::shared_ptr<const Bytes> original, size_t keep = SIZE_MAX)
        : name(std::move(name)), original(std::move(original)), keep(keep) {}

    std::string name;
    std::shared_ptr<const Bytes> original;
    size_t keep;
    std::vector<std::pair<size_t, uint8_t>> flips;  // position, XOR mask

    Bytes contents() const {
        Bytes b(original->begin(), original->begin() + std::min(keep, original->size()));
        for (const auto& [at, mask] : flips) b.at(at) ^= mask;
        return b;
    }
};

Input file(std::string name, Bytes bytes) {
    return {std::move(name), std::make_shared<const Bytes>(std::move(bytes))};
}

// Something put in the way before a run, at a path relative to the run's directory: a file with
// bytes, a symbolic link or a hard link to `target`, a FIFO or an empty folder. One that `stays`
// must be there as it was after the run; one that does not stands at an output name, where the
// run is to put a whole FITS file.
struct Plant {
    enum Kind { file, link, hardLink, fifo, folder };
    std::string path;
    Kind kind;
    std::string target = "";  // file: the bytes; link, hardLink: where to
    bool stays = true;
};

struct Case {
    Case(std::string label, std::vector<Input> inputs, std::vector<std::string> arguments,
         int status = kAnyStatus, std::string text = "", std::vector<Plant> plants = {})
        : label(std::move(label)), inputs(std::move(inputs)), arguments(std::move(arguments)), status(status),
          text(std::move(text)), plants(std::move(plants)) {}

    std::string label;
    std::vector<Input> inputs;
    std::vector<std::string> arguments;  // "-d out" is added
    int status;
    std::string text;                    // expected somewhere on standard output, when not empty
    std::vector<Plant> plants;
    std::string limits = "";             // shell commands run first, such as a ulimit
};

// A limit on memory for runs that must not need much: none under the sanitizers, whose reserve of
// address space no such limit leaves room for.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const std::string kSmallMemory = "";
#else
const std::string kSmallMemory = "ulimit -v 400000";
#endif

Case limited(std::string limits, Case c) {
    c.limits = std::move(limits);
    return c;
}

void plant(const fs::path& directory, const Plant& p) {
    const fs::path path = directory / p.path;
    switch (p.kind) {
        case Plant::file: writeBytes(path, Bytes(p.target.begin(), p.target.end())); break;
        case Plant::link: fs::create_symlink(p.target, path); break;
        case Plant::hardLink: fs::create_hard_link(directory / p.target, path); break;
        case Plant::fifo:
            if (mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path.string());
            break;
        case Plant::folder: fs::create_directory(path); break;
    }
}

bool unchanged(const fs::path& directory, const Plant& p) {
    const fs::path path = directory / p.path;
    const fs::file_status status = fs::symlink_status(path);
    switch (p.kind) {
        case Plant::file: return fs::is_regular_file(status) && readBytes(path) == Bytes(p.target.begin(), p.target.end());
        case Plant::link: return fs::is_symlink(status) && fs::read_symlink(path) == p.target;
        case Plant::hardLink: return fs::is_regular_file(status) && fs::equivalent(path, directory / p.target);
        case Plant::fifo: return fs::is_fifo(status);
        case Plant::folder: return fs::is_directory(status) && fs::is_empty(path);
    }
    return false;
}

// Runs kovrent with `arguments` in `directory` through the shell, which joins standard error to
// standard output so that sanitizer reports are seen. Without `leakCheck` a sanitized binary
// skips its leak scan at exit, its slowest part.
RunResult runInShell(const fs::path& directory, const std::vector<std::string>& arguments, bool leakCheck,
                     const std::string& limits = "") {
    std::string script = limits.empty() ? "" : limits + "; ";
    if (!leakCheck) script += "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" ";
    script += "exec \"$@\" 2>&1";
    std::vector<std::string> shellArguments{"-c", script, "sh", KOVRENT_BINARY};
    shellArguments.insert(shellArguments.end(), arguments.begin(), arguments.end());
    return runProgram("/bin/sh", shellArguments, directory, kTimeout);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string lastLine(const std::string& output) {
    std::string s = output;
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s.substr(s.rfind('\n') == std::string::npos ? 0 : s.rfind('\n') + 1);
}

// Why an output file is not one whole FITS image, or "" when it is: whole blocks, an END card,
// a header of printable ASCII, sizes the raster can hold, and exactly the data blocks that
// NAXIS1, NAXIS2 and BITPIX ask for.
std::string fitsDefect(const Bytes& b) {
    if (b.empty() || b.size() % kBlock != 0) return "size " + std::to_string(b.size()) + " is no whole number of blocks";
    std::map<std::string, long long> values;
    size_t headerBytes = 0;
    for (size_t at = 0; at + 80 <= b.size() && headerBytes == 0; at += 80) {
        const std::string card(reinterpret_cast<const char*>(b.data()) + at, 80);
        const std::string key = cardKeyword(card);
        if (std::any_of(card.begin(), card.end(), [](unsigned char c) { return c < 0x20 || c > 0x7E; }))
            return "card " + std::to_string(at / 80 + 1) + " holds a byte outside printable ASCII";
        if (key == "END") headerBytes = (at / kBlock + 1) * kBlock;
        if ((key == "NAXIS1" || key == "NAXIS2" || key == "BITPIX") && !values.count(key))
            values[key] = std::strtoll(card.c_str() + 10, nullptr, 10);
    }
    if (headerBytes == 0) return "no END card";
    if (values.size() != 3) return "NAXIS1, NAXIS2 or BITPIX missing";
    const long long n1 = values["NAXIS1"], n2 = values["NAXIS2"], bitpix = values["BITPIX"];
    if (n1 < 1 || n1 > 512 || n2 < 1 || n2 > 512) return "image size out of range";
    if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != -32) return "BITPIX " + std::to_string(bitpix);
    const long long dataBytes = n1 * n2 * std::llabs(bitpix) / 8;
    const size_t expected = headerBytes + static_cast<size_t>((dataBytes + kBlock - 1) / kBlock * kBlock);
    if (b.size() != expected)
        return "size " + std::to_string(b.size()) + " where the header asks for " + std::to_string(expected);
    return "";
}

bool hasOption(const std::vector<std::string>& arguments, char letter) {
    for (size_t i = 1; i < arguments.size(); ++i)
        if (arguments[i].size() >= 2 && arguments[i][0] == '-' && arguments[i][1] == letter) return true;
    return false;
}

// The files a run's summary counts ("12 files converted, 1 failed (...), 47 not tried (...)"), or nullopt.
std::optional<long long> summaryCount(const std::string& output) {
    const size_t converted = output.find(" converted, ");
    if (converted == std::string::npos) return std::nullopt;
    const size_t line = output.rfind("kovrent: ", converted);
    if (line == std::string::npos) return std::nullopt;
    char* end = nullptr;
    long long count = std::strtoll(output.c_str() + line + 9, &end, 10);
    count += std::strtoll(output.c_str() + converted + 12, &end, 10);
    const size_t lineEnd = output.find('\n', converted);
    const size_t notTried = output.find(" not tried", converted);
    if (notTried != std::string::npos && notTried < lineEnd) {
        const size_t number = output.rfind(", ", notTried);
        count += std::strtoll(output.c_str() + number + 2, &end, 10);
    }
    return count;
}

// Runs one case in a fresh directory and returns everything wrong with the run, or "".
std::string problemsOf(const Case& c, bool leakCheck) {
    TempDir scratch;
    std::set<std::string> expectedEntries{kOutputDir};
    fs::create_directory(scratch.path() / kOutputDir);
    std::vector<Bytes> before;
    for (const Input& in : c.inputs) {
        expectedEntries.insert(in.name);
        if (in.original) {
            before.push_back(in.contents());
            writeBytes(scratch.path() / in.name, before.back());
        } else {
            fs::create_directory(scratch.path() / in.name);
            before.emplace_back();
        }
    }

    std::set<std::string> stayingOutputs;
    for (const Plant& p : c.plants) {
        plant(scratch.path(), p);
        const fs::path path(p.path);
        if (path.parent_path() != kOutputDir) expectedEntries.insert(path.filename().string());
        else if (p.stays) stayingOutputs.insert(path.filename().string());
    }

    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), {"-d", kOutputDir});
    const RunResult run = runInShell(scratch.path(), arguments, leakCheck, c.limits);

    std::string problems;
    auto problem = [&](const std::string& what) { problems += "\n  " + what; };
    if (run.timedOut) problem("did not finish within the time limit");
    if (run.exitStatus != 0 && run.exitStatus != 1) problem("exit status " + std::to_string(run.exitStatus));
    if (contains(run.output, "Sanitizer") || contains(run.output, "runtime error")) problem("sanitizer report");
    if (c.status != kAnyStatus && run.exitStatus != c.status)
        problem("exit status " + std::to_string(run.exitStatus) + ", expected " + std::to_string(c.status));
    if (!c.text.empty() && !contains(run.output, c.text)) problem("no \"" + c.text + "\" in the output");
    if (run.exitStatus == 1) {
        static const char* const markers[] = {"kovrent:", "kovrent(", "rf:", "wf:", "Error", "error",
                                              "not supported", "failed"};
        const std::string line = lastLine(run.output);
        if (std::none_of(std::begin(markers), std::end(markers), [&](const char* m) { return contains(line, m); }))
            problem("status 1 without a message");
        if (run.output.empty() || run.output.back() != '\n') problem("message not ended by a line end");
        if (contains(run.output, "Error allocating memory!") && !contains(run.output, "kovrent: the run ran out of memory")
            && !contains(run.output, "kovrent: the conversion ran out of memory")
            && !contains(run.output, "kovrent: too little memory to start the run"))
            problem("out of memory without its reason for people");
    }

    // A range's summary counts every file of it once: converted, failed or not tried.
    const auto r = std::find(c.arguments.begin(), c.arguments.end(), "-r");
    // A bound as the program reads it: decimal with leading zeros, or hexadecimal after 0x.
    auto bound = [](const std::string& text) { return std::stoll(text, nullptr, text.starts_with("0x") ? 16 : 10); };
    if (r != c.arguments.end() && !hasOption(c.arguments, 'p')) {
        const long long files = bound(r[2]) - bound(r[1]) + 1;
        if (const std::optional<long long> counted = summaryCount(run.output)) {
            if (*counted != files)
                problem("the summary counts " + std::to_string(*counted) + " of " + std::to_string(files) + " files");
        } else if (run.exitStatus == 1 && contains(run.output, "Reading ") && files > 1) {
            problem("a range that stopped part-way without its summary");
        }
    }
    for (size_t i = 0; i < c.inputs.size(); ++i) {
        const fs::path path = scratch.path() / c.inputs[i].name;
        if (!c.inputs[i].original) {
            if (!fs::is_directory(path) || !fs::is_empty(path)) problem(c.inputs[i].name + " (a directory) changed");
        } else if (!fs::is_regular_file(path) || readBytes(path) != before[i]) {
            problem("input " + c.inputs[i].name + " changed");
        }
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch.path()))
        if (!expectedEntries.count(entry.path().filename().string()))
            problem("wrote " + entry.path().filename().string() + " outside the output directory");
    for (const Plant& p : c.plants)
        if (p.stays && !unchanged(scratch.path(), p)) problem("the planted " + p.path + " changed");

    int written = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch.path() / kOutputDir)) {
        const std::string name = entry.path().filename().string();
        if (stayingOutputs.count(name)) continue;
        ++written;
        if (!entry.is_regular_file()) {
            problem("output " + name + " is no regular file");
            continue;
        }
        if (contains(name, ".kovrent-")) problem("left the unfinished file " + name);
        if (const std::string defect = name.ends_with(".ecsv") ? "" : fitsDefect(readBytes(entry.path()));
            !defect.empty())
            problem("output " + name + ": " + defect);
    }
    // One input file gives one output file, or none after a failure; ranges and unpacking may
    // stop part-way.
    if (!hasOption(c.arguments, 'r') && !hasOption(c.arguments, 'p')) {
        if (run.exitStatus == 0 && written != 1) problem("status 0 with " + std::to_string(written) + " output files");
        if (run.exitStatus == 1 && written != 0) problem("status 1 with " + std::to_string(written) + " output files");
    }
    if (!problems.empty()) problems += "\n  output: " + run.output.substr(0, 600);
    return problems;
}

// Runs the cases two or more at a time and reports each that went wrong (the first 20 in full).
// Every `leakCheckEvery`-th case has a sanitized binary look for leaks too.
void expectClean(const std::vector<Case>& cases, size_t leakCheckEvery = 1) {
    std::vector<std::string> problems(cases.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < cases.size();) {
            try {
                problems[i] = problemsOf(cases[i], i % leakCheckEvery == 0);
            } catch (const std::exception& e) {
                problems[i] = std::string("\n  test harness: ") + e.what();
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < std::clamp(std::thread::hardware_concurrency(), 2u, 8u); ++t) threads.emplace_back(worker);
    for (std::thread& t : threads) t.join();

    int failed = 0;
    for (size_t i = 0; i < cases.size(); ++i)
        if (!problems[i].empty() && ++failed <= 20) ADD_FAILURE() << cases[i].label << ":" << problems[i];
    EXPECT_EQ(failed, 0) << "of " << cases.size() << " cases";
}

// ---- Camera files ----

// One frame of a GRAB observation, small enough to be a cheap companion of other inputs.
Bytes smallGrab() {
    const FrameGeometry g = geometryOf(16, 16);
    CameraWriter f;
    f.corners(g).totalCoadds(4).obsmode(1).endMarker().frames(g, 1, [](int, int x, int y) { return x * 16 + y; });
    return f.bytes();
}

constexpr size_t kChopNodHeader = 512;

// A 128 x 128 chop-nod observation split by FINX after 64 columns, behind the header of an
// ordinary night padded to 512 bytes: four frames of two data blocks each.
Bytes chopNod() {
    const FrameGeometry g{0, 0, 127, 127, 63};
    CameraWriter f;
    f.headerSize(kChopNodHeader).object("NGC 7027").telescope("2.3M").site(3).timeObs({9, 5, 3, 7})
        .dateTime(1997, 6, 11, 9, 5, 3).raDec(316.7575, 42.2358).record(57, {2000.0}).record(47, {1.23})
        .telescopeScale(1.56f).magnification(2.0f).wavelength(10.5f).record(2, {3.0, 5.0}).record(87, {1.0})
        .record(3, {5.0}).record(4, {0.025}).record(5, {30.0}).record(10, {10.2})
        .record(46, {4.5, 21.3, 25.8}).record(17, {128.0, 128.0}).corners(g).totalCoadds(200)
        .beamCoadds(2, 180).obsmode(3).sampleMode(1).framesPerCoimage(25).chopWait(12.5f)
        .offsets(63.5f, 64.0f).orientation("ULYYN").record(60, {4.1}).stringRecord(26, "FOCUS CHECKED")
        .record(82, {1, 2, 3, 4, 5, 6, 7}).record(74).packed(0, 1).ultrafast(0).record(81, {1.0})
        .timeEnd({9, 17, 41, 52}).endMarker();
    if (f.size() > kChopNodHeader) throw std::logic_error("chop-nod header longer than declared");
    f.padTo(kChopNodHeader).frames(g, 4, [](int frame, int x, int y) { return frame * 100003 - x * 129 + y; });
    return f.bytes();
}

// Packed data of three 64 x 64 chopped images, or four 32 x 32 ultrafast ones, with trailer.
Bytes packedChop(bool ultrafast) {
    const FrameGeometry g = ultrafast ? geometryOf(32, 32) : geometryOf(64, 64);
    CameraWriter f;
    f.object("PACKED").corners(g).totalCoadds(3).obsmode(2).timeObs({1, 2, 3, 4});
    if (ultrafast)
        f.ultrafast(4).endMarker().ultrafastData(g, 2, 4, [](int i, int b, int x, int y) { return i + b * 7 - x + y; });
    else
        f.packed(3, 1).endMarker().packedData(g, 2, 3, [](int i, int b, int x, int y) { return i * 1000 + b - x * y; });
    return f.trailer({1, 3, 5, 7}).bytes();
}

// Packed data of `count` GRAB images of one pixel each, all in one data block.
Bytes tinyImages(int count) {
    const FrameGeometry g = geometryOf(1, 1);
    CameraWriter f;
    f.corners(g).totalCoadds(1).obsmode(1).packed(count, 1).endMarker()
        .packedData(g, 1, count, [](int i, int, int, int) { return i; });
    return f.trailer({1, 3, 5, 7}).bytes();
}

// A header written field by field, for values that the writer's range-checked records refuse;
// withData closes it and adds filler bytes as data.
struct RawHeader {
    CameraWriter file;
    RawHeader& corners(int16_t x0, int16_t y0, int16_t x1, int16_t y1) {
        file.flag(13).int16(x0).int16(y0).flag(14).int16(x1).int16(y1);
        return *this;
    }
    RawHeader& int32Record(int flag, int32_t value) {
        file.flag(flag).int32(value);
        return *this;
    }
    RawHeader& int16Record(int flag, int16_t value) {
        file.flag(flag).int16(value);
        return *this;
    }
    RawHeader& packed(int16_t count) {
        file.flag(54).int16(count).int16(1);
        return *this;
    }
    RawHeader& mode(int8_t obsmode) {
        file.flag(29).byte(static_cast<uint8_t>(obsmode)).byte(0);
        return *this;
    }
    Bytes withData(size_t dataBytes) {
        file.endMarker();
        return file.fill(dataBytes, 0x5A).bytes();
    }
};

RawHeader raw() { return {}; }

constexpr size_t kFrames128 = 4 * 128 * 128 * 4;  // four 128 x 128 frames

// A GRAB file whose declared header size (record 71) is one byte more than the whole file.
Bytes headerBeyondFile() {
    auto build = [](int32_t size) {
        return raw().corners(0, 0, 127, 127).int32Record(12, 1).mode(1).int32Record(71, size).withData(65536);
    };
    return build(static_cast<int32_t>(build(0).size() + 1));
}

Case cameraCase(std::string label, Bytes bytes, std::vector<std::string> options, int status,
                std::string text = "") {
    std::vector<std::string> arguments{kInput};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return {std::move(label), {file(kInput, std::move(bytes))}, std::move(arguments), status, std::move(text)};
}

TEST(Hostile, CameraFileCutAtEveryHeaderByteAndThroughItsData) {
    const auto original = std::make_shared<const Bytes>(chopNod());
    std::vector<size_t> cuts;
    for (size_t at = 0; at <= kChopNodHeader; ++at) cuts.push_back(at);
    for (size_t at = kChopNodHeader + 4099; at < original->size(); at += 4099) cuts.push_back(at);
    cuts.push_back(original->size() - 1);

    // Every byte of the file is needed, since the chop-nod image takes all four frames.
    std::vector<Case> cases;
    for (size_t at : cuts) cases.push_back({"cut to " + std::to_string(at) + " bytes", {{kInput, original, at}}, {kInput}, 1});
    cases.push_back({"whole file", {{kInput, original}}, {kInput}, 0});
    expectClean(cases, 8);
}

// `count` copies of `original`, each with 1 to 8 bytes flipped, half of them within the first
// `headerBytes`.
std::vector<Case> flipped(const std::string& what, const Bytes& bytes, size_t headerBytes, int count,
                          const std::vector<std::string>& options, uint32_t seed) {
    const auto original = std::make_shared<const Bytes>(bytes);
    std::mt19937 random(seed);
    std::vector<Case> cases;
    for (int i = 0; i < count; ++i) {
        Input in{kInput, original};
        const size_t span = i % 2 == 0 ? headerBytes : bytes.size();
        const int flips = 1 + static_cast<int>(random() % 8);
        std::string label = what;
        label.append(", case ").append(std::to_string(i)).append(", bytes flipped at");
        for (int k = 0; k < flips; ++k) {
            in.flips.emplace_back(random() % span, static_cast<uint8_t>(1 + random() % 255));
            label.append(" ").append(std::to_string(in.flips.back().first));
        }
        std::vector<std::string> arguments{kInput};
        arguments.insert(arguments.end(), options.begin(), options.end());
        cases.push_back({label, {in}, arguments});
    }
    return cases;
}

TEST(Hostile, CameraFilesWithFlippedBytes) {
    std::vector<Case> cases = flipped("chop-nod", chopNod(), kChopNodHeader, 240, {}, 20240611);
    for (const bool ultrafast : {false, true}) {
        const Bytes bytes = packedChop(ultrafast);
        const std::vector<Case> more = flipped(ultrafast ? "ultrafast" : "packed", bytes, 64, 60, {"-p"}, 1997);
        cases.insert(cases.end(), more.begin(), more.end());
    }
    expectClean(cases, 8);
}

TEST(Hostile, AbsurdSizesAndCounts) {
    const std::vector<Case> cases = {
        cameraCase("INITX after ENDX", raw().corners(100, 0, 10, 127).int32Record(12, 1).mode(1).withData(kFrames128), {}, 1),
        cameraCase("512 x 512 without data", raw().corners(0, 0, 511, 511).int32Record(12, 1).mode(1).withData(100),
                   {}, 1),
        cameraCase("32767 columns", raw().corners(0, 0, 32766, 127).int32Record(12, 1).mode(1).withData(kFrames128),
                   {}, 1),
        cameraCase("corners at the int16 extremes",
                   raw().corners(-32768, -32768, 32767, 32767).int32Record(12, 1).mode(1).withData(kFrames128), {}, 1),
        cameraCase("reversed int16 extremes",
                   raw().corners(32767, 32767, -32768, -32768).int32Record(12, 1).mode(1).withData(kFrames128), {}, 1),
        cameraCase("negative corners of a sound size",
                   raw().corners(-64, -64, 63, 63).int32Record(12, 1).mode(1).withData(kFrames128), {}, 0),
        cameraCase("FINX far beyond ENDX",
                   raw().corners(0, 0, 127, 127).int32Record(77, 32767).int32Record(12, 1).mode(3).withData(kFrames128),
                   {}, kAnyStatus),
        cameraCase("FINX at INT32_MAX",
                   raw().corners(0, 0, 127, 127).int32Record(77, INT32_MAX).int32Record(12, 1).mode(3).withData(kFrames128),
                   {}, kAnyStatus),
        cameraCase("FINX far before INITX",
                   raw().corners(0, 0, 127, 127).int32Record(77, -32768).int32Record(12, 1).mode(3).withData(kFrames128),
                   {}, kAnyStatus),
        cameraCase("FINX at INT32_MIN",
                   raw().corners(0, 0, 127, 127).int32Record(77, INT32_MIN).int32Record(12, 1).mode(3).withData(kFrames128),
                   {}, kAnyStatus),
        // A divisor of 0 gives infinities and NaN, which are pixels like any other.
        cameraCase("TOTCOADD 0", raw().corners(0, 0, 127, 127).int32Record(12, 0).mode(3).withData(kFrames128), {}, 0),
        cameraCase("TOTCOADD negative", raw().corners(0, 0, 127, 127).int32Record(12, -7).mode(3).withData(kFrames128),
                   {}, 0),
        cameraCase("TOTCOADD INT32_MIN, TOTCOAD2 0",
                   raw().corners(0, 0, 127, 127).int32Record(12, INT32_MIN).int32Record(76, 0).mode(3).withData(kFrames128),
                   {}, 0),
        cameraCase("TOTCOADD 0 with -z", raw().corners(0, 0, 127, 127).int32Record(12, 0).int16Record(40, 0).mode(2)
                                             .withData(kFrames128), {"-z"}, 0),
        cameraCase("packed 32767 with one data block",
                   raw().corners(0, 0, 127, 127).int32Record(12, 1).mode(1).packed(32767).withData(32768), {"-p"}, 1,
                   "error reading packed data"),
        cameraCase("packed 32767 chop-nod 512 x 512 with tiny data",
                   raw().corners(0, 0, 511, 511).int32Record(12, 1).mode(4).packed(32767).withData(100), {"-p"}, 1),
        cameraCase("packed 32767 with 1 x 1 images and tiny data",
                   raw().corners(0, 0, 0, 0).int32Record(12, 1).mode(2).packed(32767).withData(10), {"-p"}, 1),
        cameraCase("packed count -32768 is no packed file",
                   raw().corners(0, 0, 127, 127).int32Record(12, 1).mode(1).packed(-32768).withData(kFrames128), {}, 0),
        cameraCase("ultrafast 32767 with tiny data",
                   raw().corners(0, 0, 63, 63).int32Record(12, 1).mode(2).int16Record(80, 32767).withData(100), {"-p"}, 1),
        cameraCase("ultrafast 32767 with 1 x 1 images and one block",
                   raw().corners(0, 0, 0, 0).int32Record(12, 1).mode(1).int16Record(80, 32767).withData(32768), {"-p"}, 1),
        cameraCase("ultrafast 512 x 512", raw().corners(0, 0, 511, 511).int32Record(12, 1).mode(1).int16Record(80, 3)
                                              .withData(kFrames128), {"-p"}, kAnyStatus),
        cameraCase("ultrafast and packed 32767, mode 7",
                   raw().corners(0, 0, 63, 63).int32Record(12, 1).mode(7).packed(32767).int16Record(80, 32767)
                       .withData(70000), {"-p"}, kAnyStatus),
        cameraCase("declared header INT32_MAX",
                   raw().corners(0, 0, 127, 127).int32Record(12, 1).mode(1).int32Record(71, INT32_MAX).withData(kFrames128),
                   {}, 1),
        cameraCase("declared header INT32_MIN",
                   raw().corners(0, 0, 127, 127).int32Record(12, 1).mode(1).int32Record(71, INT32_MIN).withData(kFrames128),
                   {}, 0),
        cameraCase("declared header just beyond the file", headerBeyondFile(), {}, 1),
    };
    expectClean(cases);
}

TEST(Hostile, LongestStringsInEveryStringRecord) {
    // 255 bytes with quotes and 0xFF throughout, then with a NUL early and late.
    std::string text(255, 'A');
    for (size_t i = 0; i < text.size(); i += 7) text[i] = '\'';
    for (size_t i = 3; i < text.size(); i += 11) text[i] = '\xFF';
    const std::vector<std::pair<std::string, std::string>> variants = {
        {"quotes and 0xFF", text},
        {"NUL first", std::string(1, '\0') + text.substr(1)},
        {"NUL at 57", text.substr(0, 57) + '\0' + text.substr(58)},
        {"NUL last", text.substr(0, 254) + '\0'},
    };
    std::vector<Case> cases;
    for (const int flag : {18, 19, 20, 21, 22, 23, 26, 52, 53, 59}) {
        for (const auto& [what, value] : variants) {
            const FrameGeometry g = geometryOf(16, 16);
            CameraWriter f;
            f.corners(g).totalCoadds(2).obsmode(1).stringRecord(flag, value).stringRecord(flag, value).endMarker()
                .frames(g, 1, [](int, int x, int y) { return x - y; });
            cases.push_back(cameraCase("flag " + std::to_string(flag) + ", " + what, f.bytes(), {"-e", "2"}, 0));
        }
    }
    expectClean(cases);
}

TEST(Hostile, HugeFrameNumbersAndRanges) {
    const Bytes grab = smallGrab();
    const Bytes chop = chopNod();
    const std::vector<Case> cases = {
        cameraCase("-o 2147483647", chop, {"-o", "2147483647"}, 1, "not enough data"),
        cameraCase("-o 0x7fffffff", chop, {"-o", "0x7fffffff"}, 1, "not enough data"),
        cameraCase("-o 017777777777", chop, {"-o", "017777777777"}, 1, "Error in observation frame number"),
        cameraCase("-o -2147483648", chop, {"-o", "-2147483648"}, 0, "the name of the combined image"),
        cameraCase("-o 2147483647 on one GRAB frame", grab, {"-o", "2147483647"}, 1, "not enough data"),
        cameraCase("-o 2147483647 -p on packed data", packedChop(false), {"-o", "2147483647", "-p"}, kAnyStatus),
        {"-r over missing files", {}, {"c970611a.", "-r", "1", "2147483647"}, 1, "file not found: c970611a.001"},
        {"-r stops at the first missing file", {file("c970611a.001", grab), file("c970611a.002", grab)},
         {"c970611a.", "-r", "1", "2147483647"}, 1, "file not found: c970611a.003"},
        {"-r from 0x7ffffffe", {}, {"c970611a.", "-r", "0x7ffffffe", "0x7fffffff"}, 1, "file not found: c970611a.2147483646"},
        {"-r to 2147483647 from 2147483647", {}, {"c970611a.", "-r", "2147483647", "2147483647"}, 1,
         "file not found: c970611a.2147483647"},
        {"-p -r from 999 over a packed file", {file("c970611a.999", packedChop(false))},
         {"c970611a.", "-r", "999", "2147483647", "-p"}, 1, "file not found: c970611a.1002"},
        // A cube costs what its planes do, not what its range declares.
        limited(kSmallMemory, {"--cube over the largest range", {file("c970611a.001", grab), file("c970611a.002", grab)},
                               {"c970611a.", "-r", "1", "2147483647", "--cube"}, 1, "file not found: c970611a.003"}),
    };
    expectClean(cases);
}

TEST(Hostile, ShortInputNamesKeepTheirOutputInTheOutputDirectory) {
    // "out/abcd.001" has 12 characters: the letter that marks an output name would land on the
    // directory and make "out" into "fut" ("tut" when unpacking), which exist here. Past number
    // 999 the series letter in front of the number would be raised, here the "t" of "out/".
    const std::vector<Case> cases = {
        {"converted", {file("abcd.001", smallGrab()), Input{"fut", nullptr}}, {"abcd.001"}, 0},
        {"unpacked", {file("abcd.001", packedChop(false)), Input{"tut", nullptr}}, {"abcd.001", "-p"}, 0},
        {"unpacked past 999", {file("999", packedChop(false)), Input{"ouu", nullptr}}, {"999", "-p"}, 0},
        // Raised, the dot in front of the number would make "out/../.000".
        {"unpacked past 999 from a name of dots", {file("....999", packedChop(false))}, {"....999", "-p"}, 0},
        // Cut by three characters, "out/ab" would leave "out" and write "out000" beside it.
        {"unpacked from a two-letter name", {file("ab", packedChop(false))}, {"ab", "-p"}, 0},
        // Past 0xFF the series letter would become a NUL and cut every later name short.
        {"unpacked past 999 with the series letter 0xFF", {file("c970611\xff.999", packedChop(false))},
         {"c970611\xff.999", "-p"}, 1, "no file name for unpacked image number 1000"},
        // A dot is never raised, so image 1000 would take the name of image 0.
        {"unpacked past 999 from a dot series", {file("....000", tinyImages(1001))}, {"....000", "-p"}, 1,
         "is the name of an earlier image of this run"},
    };
    expectClean(cases);
}

// ---- FITS files: as -f input, and as gain map and mask ----

// A header of the given cards (with END unless told otherwise), padded to whole blocks, and
// `dataBytes` of data.
Bytes fitsBytes(const std::vector<std::string>& cards, size_t dataBytes, bool end = true) {
    std::string text;
    for (const std::string& c : cards) text += c;
    if (end) text += fitsCard("END");
    text.resize((text.size() + kBlock - 1) / kBlock * kBlock, ' ');
    Bytes b(text.begin(), text.end());
    b.resize(b.size() + dataBytes, 0x3F);
    return b;
}

// A 16 x 16 BITPIX -32 header in which `key` has `value` (or is left out when value is empty).
std::vector<std::string> cardsWith(const std::string& key, const std::string& value) {
    std::vector<std::string> cards;
    const std::pair<const char*, const char*> standard[] = {
        {"SIMPLE", "T"}, {"BITPIX", "-32"}, {"NAXIS", "2"}, {"NAXIS1", "16"}, {"NAXIS2", "16"}};
    for (const auto& [k, v] : standard)
        if (k != key) cards.push_back(valueCard(k, v, ""));
    if (!value.empty()) cards.push_back(valueCard(key, value, ""));
    return cards;
}

struct FitsVariant {
    std::string label;
    std::shared_ptr<const Bytes> bytes;  // null: a directory
    int status;                          // for every role
};

TEST(Hostile, BrokenFitsInputsAndMaps) {
    auto variant = [](std::string label, Bytes bytes, int status) {
        return FitsVariant{std::move(label), std::make_shared<const Bytes>(std::move(bytes)), status};
    };
    const size_t data = kBlock;  // 16 x 16 x 4 bytes fit one block
    std::vector<FitsVariant> variants;
    for (const char* naxis : {"0", "3", "-1", "100000", "513", "1"})
        variants.push_back(variant(std::string("NAXIS ") + naxis, fitsBytes(cardsWith("NAXIS", naxis), data), 1));
    for (const char* key : {"NAXIS1", "NAXIS2"})
        for (const char* size : {"0", "-5", "513", "100000", "2147483648", "-9223372036854775809",
                                 "99999999999999999999", "''", "'16", "'16'", "16.0"})
            variants.push_back(variant(std::string(key) + " " + size, fitsBytes(cardsWith(key, size), data), 1));
    variants.push_back(variant("512 x 512 with its data missing", fitsBytes(primaryCards(-32, 512, 512), 0), 1));
    variants.push_back(variant("data cut after 100 of 256 pixels", fitsBytes(cardsWith("", ""), 400), 1));
    variants.push_back(variant("last block cut after the last pixel", fitsBytes(cardsWith("", ""), 1024), 0));
    for (const char* bitpix : {"33", "99999999999"})
        variants.push_back(variant(std::string("BITPIX ") + bitpix, fitsBytes(cardsWith("BITPIX", bitpix), data), 1));
    for (const char* bitpix : {"7", "-8", "-31", "24"})
        variants.push_back(variant(std::string("BITPIX ") + bitpix, fitsBytes(cardsWith("BITPIX", bitpix), data),
                                   kAnyStatus));
    for (const char* bitpix : {"8", "16", "32"})
        variants.push_back(variant(std::string("BITPIX ") + bitpix, fitsBytes(cardsWith("BITPIX", bitpix), data), 0));
    auto withScale = [&](const std::string& bscale, const std::string& bzero) {
        std::vector<std::string> cards = cardsWith("BSCALE", bscale);
        if (!bzero.empty()) cards.push_back(valueCard("BZERO", bzero, ""));
        return fitsBytes(cards, data);
    };
    variants.push_back(variant("BSCALE -0.", withScale("-0.", ""), 1));
    for (const char* unparsable : {"'abc'", "abc", "'", "="})
        variants.push_back(variant(std::string("BSCALE ") + unparsable, withScale(unparsable, ""), 1));
    for (const char* nonFinite : {"nan", "inf", "NaN", "-INF", "1E+999"})
        variants.push_back(variant(std::string("BSCALE and BZERO ") + nonFinite, withScale(nonFinite, nonFinite), 1));
    for (const char* odd : {"-1e308", "1e-320"})
        variants.push_back(variant(std::string("BSCALE and BZERO ") + odd, withScale(odd, odd), 0));
    // Cards that are no FITS; bytes outside printable ASCII are read as blanks.
    for (const auto& [card, status] : {std::pair{"OBJECT  = 'M31", 1}, {"OBJECT  = M31", 1}, {"ORIENTST= ULNYN", 1},
                                       {"OBJECT  = 'M31' 1997", 1}, {"object  = 'M31'", 1},
                                       {"OBJECT  = 'M\x80\x85\x9b" "31'", 0}, {"HISTORY \x01\x7f\xff", 0}}) {
        std::vector<std::string> cards = cardsWith("", "");
        cards.push_back(fitsCard(card));
        variants.push_back(variant(std::string("card ") + card, fitsBytes(cards, data), status));
    }
    {
        std::vector<std::string> many = cardsWith("", "");
        many.resize(200 * 36, fitsCard("COMMENT no end in sight"));
        variants.push_back(variant("no END card in 200 blocks", fitsBytes(many, 0, false), 1));
        many.resize(5000 * 36, fitsCard("HISTORY a long story"));
        variants.push_back(variant("END after 5000 blocks", fitsBytes(many, data), 0));
    }
    variants.push_back({"a directory", nullptr, 1});

    const Bytes grab = smallGrab();
    std::vector<Case> cases;
    for (const FitsVariant& v : variants) {
        const Input fitsInput{kInput, v.bytes};
        cases.push_back({"-f, " + v.label, {fitsInput}, {kInput, "-f"}, v.status});
        // The same file as mask and as gain map: the mask is read first.
        cases.push_back({"-m and -g, " + v.label, {file(kInput, grab), Input{"map.fits", v.bytes}},
                         {kInput, "-m", "map.fits", "-g", "map.fits"}, v.status});
    }
    const Input whole{"c970611a.001", std::make_shared<const Bytes>(fitsBytes(cardsWith("", ""), data))};
    cases.push_back({"-f range whose second file is cut", {whole, Input{"c970611a.002", whole.original, kBlock + 400}},
                     {"c970611a.", "-r", "1", "2", "-f"}, 1, "1 file converted, 1 failed"});
    cases.push_back({"camera file that is a directory", {{kInput, nullptr}}, {kInput}, 1});
    cases.push_back({"camera file that is empty", {file(kInput, {})}, {kInput}, 1});
    expectClean(cases);
}

// ---- Writing: what stands at an output name, shared folders, signals, long names ----

Bytes grab128();

TEST(Hostile, EntriesPlantedAtOutputAndTemporaryNames) {
    const Bytes grab = smallGrab();
    const std::string output = std::string(kOutputDir) + "/f970611a.001";
    const Plant victim{"victim", Plant::file, "left alone"};
    auto at = [&](Plant::Kind kind, std::string target = "") { return Plant{output, kind, std::move(target), false}; };
    auto in = [](const std::string& name, Plant::Kind kind, std::string target = "") {
        return Plant{std::string(kOutputDir) + "/" + name, kind, std::move(target)};
    };
    const std::vector<Input> one{file(kInput, grab)};
    const std::vector<Input> two{file(kInput, grab), file("c970611a.002", grab)};
    const std::vector<std::string> range{"c970611a.", "-r", "1", "2"};
    std::vector<Input> cubeInputs;
    const auto frame = std::make_shared<const Bytes>(grab128());
    for (int n = 1; n <= 20; ++n)
        if (n != 13) cubeInputs.emplace_back("c970611a.0" + std::to_string(n / 10) + std::to_string(n % 10), frame);
    const std::vector<std::string> cubeRange{"c970611a.", "-r", "1", "20", "-e", "4", "--cube"};
    const std::vector<Case> cases = {
        {"link to a file outside", one, {kInput}, 0, "", {victim, at(Plant::link, "../victim")}},
        {"link to the input itself", one, {kInput}, 0, "", {at(Plant::link, "../c970611a.001")}},
        {"link to the next input of the range", two, range, 0, "", {at(Plant::link, "../c970611a.002")}},
        {"dangling link", one, {kInput}, 0, "", {at(Plant::link, "../created")}},
        {"dangling link into a missing folder", one, {kInput}, 0, "", {at(Plant::link, "../made/created")}},
        {"link to a folder outside", one, {kInput}, 0, "", {{"elsewhere", Plant::folder}, at(Plant::link, "../elsewhere")}},
        {"FIFO", one, {kInput}, 0, "", {at(Plant::fifo)}},
        {"folder", one, {kInput}, 1, "wf: Error opening file for writing", {{output, Plant::folder}}},
        {"hard link of the input", one, {kInput}, 1, "would overwrite input file",
         {{output, Plant::hardLink, kInput}}},
        {"link at the old temporary name", one, {kInput}, 0, "",
         {victim, in("f970611a.001.kovrent-part", Plant::link, "../victim")}},
        {"links, FIFO and folder at hidden temporary names", two, range, 0, "",
         {victim, in(".kovrent-AAAAAA", Plant::link, "../victim"), in(".kovrent-zzzzzz", Plant::link, "../gone"),
          in(".kovrent-000000", Plant::fifo), in(".kovrent-a1B2c3", Plant::folder)}},
        {"link at an unpacked name", {file(kInput, packedChop(false))}, {kInput, "-p"}, 0, "",
         {victim, {std::string(kOutputDir) + "/t970611a.002", Plant::link, "../victim", false}}},
        // A log is written through what stands at its name when that is no regular file.
        {"log through a link to /dev/null", two, {"c970611a.", "-r", "1", "2", "--log", output}, 0, "",
         {{output, Plant::link, "/dev/null"}}},
        {"log through a link to /dev/stdout", two, {"c970611a.", "-r", "1", "2", "--log", output}, 0,
         "file,number,OBSFINUM", {{output, Plant::link, "/dev/stdout"}}},
        // A file size limit below the output fails the write (it would end the process by SIGXFSZ).
        limited("ulimit -f 256", {"file size limit", {file(kInput, grab128())}, {kInput, "-e", "4"}, 1,
                                  "File too large"}),
        // A cube whose write fails while the next input is a FIFO that no one writes ends all the
        // same: the run does not wait for a worker that waits on its input.
        limited("ulimit -f 23552", {"cube write failing while the next input waits", cubeInputs, cubeRange, 1,
                                    "File too large", {{"c970611a.013", Plant::fifo}}}),
    };
    expectClean(cases);
}

TEST(Hostile, NamesWithBlanksAndUpToTheLengthLimit) {
    const Bytes grab = smallGrab();
    std::vector<Case> cases = {{"inner blank", {file("my c970611a.001", grab)}, {"my c970611a.001"}, 0}};
    for (const size_t length : {240, 255}) {
        const std::string name = std::string(length - 12, 'n') + kInput;
        cases.push_back({std::to_string(length) + " bytes", {file(name, grab)}, {name}, 0});
    }
    expectClean(cases);
}

// The size of a converted side x side image of floats: one header block and the data blocks.
uintmax_t convertedBytes(int side) { return kBlock * (1 + (size_t(side) * side * 4 + kBlock - 1) / kBlock); }

// Camera file of a 128 x 128 GRAB frame, converted to 512 x 512 with -e 4.
Bytes grab128() {
    const FrameGeometry g = geometryOf(128, 128);
    CameraWriter f;
    f.corners(g).totalCoadds(1).obsmode(1).endMarker().frames(g, 1, [](int, int x, int y) { return x - y; });
    return f.bytes();
}

TEST(Hostile, TwoRunsWritingOneOutputNeverClash) {
    TempDir dir;
    writeBytes(dir / kInput, grab128());
    fs::create_directory(dir / kOutputDir);
    const fs::path output = dir / kOutputDir / "f970611a.001";
    std::set<uintmax_t> sizes;
    for (int round = 0; round < 30; ++round) {
        RunResult runs[2];
        std::thread other([&] { runs[1] = runProgram(KOVRENT_BINARY, {kInput, "-e", "2", "-d", kOutputDir}, dir.path(), kTimeout); });
        runs[0] = runProgram(KOVRENT_BINARY, {kInput, "-e", "4", "-d", kOutputDir}, dir.path(), kTimeout);
        other.join();
        for (const RunResult& run : runs) EXPECT_EQ(run.exitStatus, 0) << "round " << round << ": " << run.output;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / kOutputDir), fs::directory_iterator()), 1) << round;
        EXPECT_EQ(fitsDefect(readBytes(output)), "") << "round " << round;
        sizes.insert(fs::file_size(output));
    }
    for (const uintmax_t size : sizes) EXPECT_TRUE(size == convertedBytes(512) || size == convertedBytes(256)) << size;
}

// Signals whose default action ends a process, and that the program holds while it writes.
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                  SIGALRM, SIGVTALRM, SIGPROF, SIGPIPE, SIGXCPU};

// Starts kovrent with the signals at their defaults (SIGINT ignored, as in a background job,
// when `ignoreInterrupt`), behind the commands of `wrapper` (such as prlimit), standard output to
// `output` or discarded, standard error to `errors` when given; the process id.
pid_t startKovrent(const std::vector<std::string>& arguments, const fs::path& directory, bool ignoreInterrupt,
                   const std::vector<std::string>& wrapper = {}, int output = -1, int errors = -1) {
    std::vector<std::string> strings{"/bin/sh", "-c", ignoreInterrupt ? "trap '' INT; exec \"$@\"" : "exec \"$@\"", "sh"};
    strings.insert(strings.end(), wrapper.begin(), wrapper.end());
    strings.push_back(KOVRENT_BINARY);
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    if (output < 0) posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    else posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    if (errors >= 0) posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    for (const int s : kEndingSignals) sigaddset(&signals, s);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throw std::runtime_error("posix_spawn failed");
    return pid;
}

size_t countEntries(const fs::path& directory) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
}

// Waits for the process, calling `act` once when the folder `watched` first holds `count` entries.
// The exit status, or nullopt (after a kill) when the process did not end within the time limit.
std::optional<int> waitActingPartWay(pid_t pid, const fs::path& watched, size_t count, bool& acted,
                                     const std::function<void()>& act) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        if (!acted && countEntries(watched) >= count) {
            act();
            acted = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (done != 0) return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return std::nullopt;
}

// The files c970611a.001 to `count` of 128 x 128 GRAB frames, links to one file.
void saveGrabRange(const fs::path& dir, int count) {
    writeBytes(dir / "c970611a.001", grab128());
    for (int n = 2; n <= count; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "c970611a.%03d", n);
        fs::create_hard_link(dir / "c970611a.001", dir / name);
    }
}

TEST(Hostile, SignalsPartWayLeaveOnlyWholeFiles) {
    constexpr int kFiles = 200;
    TempDir dir;
    saveGrabRange(dir.path(), kFiles);
    struct Signal {
        int signal;
        bool ignored;
        bool oneWorker = false;  // the words then come on the thread that renames the files
    };
    std::vector<Signal> cases;
    for (const int s : kEndingSignals) cases.push_back({s, false});
    cases.push_back({SIGINT, true});
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGTERM, SIGTERM}) cases.push_back({s, false, true});
    for (const Signal& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.ignored ? ", ignored" : "") + (c.oneWorker ? ", one worker" : ""));
        const fs::path out = dir / kOutputDir;
        fs::remove_all(out);
        fs::create_directory(out);
        const fs::path errorsFile = dir / "errors.txt";
        const int errors = open(errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> arguments{"c970611a.", "-r", "1", std::to_string(kFiles), "-e", "4", "-d", kOutputDir};
        if (c.oneWorker) arguments.insert(arguments.end(), {"--jobs", "1"});
        const pid_t pid = startKovrent(arguments, dir.path(), c.ignored, {}, -1, errors);
        close(errors);
        bool signalled = false;
        const std::optional<int> ended = waitActingPartWay(pid, out, 20, signalled, [&] { kill(pid, c.signal); });
        if (!ended) {
            ADD_FAILURE() << "did not end within the time limit";
            continue;
        }
        const int status = *ended;
        EXPECT_TRUE(signalled) << "ended before the signal";
        size_t files = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name.starts_with("f970611a.")) << "left " << name;
            EXPECT_EQ(fitsDefect(readBytes(entry.path())), "") << name;
            EXPECT_EQ(fs::file_size(entry.path()), convertedBytes(512)) << name;
            ++files;
        }
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
            EXPECT_EQ(files, size_t{kFiles});
        } else {
            // What a shell reports as 128 + the signal's number.
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;
            EXPECT_LT(files, size_t{kFiles});
            // An interruption says where the run stopped, and its counts add up to the range.
            if (c.signal == SIGINT || c.signal == SIGTERM || c.signal == SIGHUP) {
                const Bytes text = readBytes(errorsFile);
                const std::string said(text.begin(), text.end());
                char expected[128];
                std::snprintf(expected, sizeof expected, "kovrent: interrupted at c970611a.%03zu: %zu files converted, %zu "
                              "not tried\n", files + 1, files, kFiles - files - 1);
                EXPECT_EQ(said, expected);
            }
        }
    }
}

bool holdsHiddenFile(const fs::path& directory) {
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().starts_with(".kovrent-")) return true;
    return false;
}

// Wherever a run is blocked with a hidden file standing, on an input that is a FIFO no one
// writes or on a standard output that no one reads, and whether it has a second thread or not,
// SIGTERM ends it at once, the hidden file removed first.
TEST(Hostile, SignalEndsABlockedRunAtOnce) {
    const struct {
        const char* label;
        int files;
        int fifo;            // the input replaced by a FIFO, or 0
        bool stalledOutput;  // standard output a pipe that no one reads
        bool oneThread;      // run as another user who may start no second thread
        std::vector<std::string> options;
        const char* words = "";  // what the interruption says on standard error
    } cases[] = {
        {"cube waiting for its next input", 3, 2, false, false, {"--cube"}},
        {"cube whose output no one reads", 400, 0, true, false, {"--cube"}},
        {"range whose output no one reads", 400, 0, true, false, {"-e", "4"}},
        {"cube on one thread waiting for its next input", 5, 3, false, true, {"--cube"}},
        // Finished files wait for their turn behind the stalled output, without a descriptor each,
        // and every hidden file of theirs is recorded for the signal.
        {"range of 1000 on 200 workers whose output no one reads", 1000, 0, true, false, {"--jobs", "200"}},
        // The packed files given by name: the first one's cube is written, and counted.
        {"cube of a packed file's images, the next file waiting", 2, 2, false, false, {"-p", "--cube"},
         "kovrent: the 25 images of c970611a.001 go into one data cube, out/k970611a.001, not into files of their own\n"
         "kovrent: interrupted at c970611a.002: 25 images unpacked, 0 files not tried\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        // CI runs as root, which setpriv needs to become another user.
        if (c.oneThread && geteuid() != 0) {
            ADD_FAILURE() << "running as another user with a process limit needs root";
            continue;
        }
        TempDir dir;
        const bool packed = c.options[0] == "-p";
        saveGrabRange(dir.path(), c.files);
        if (packed) writeBytes(dir / "c970611a.001", tinyImages(25));
        if (c.fifo > 0) {
            char name[32];
            std::snprintf(name, sizeof name, "c970611a.%03d", c.fifo);
            fs::remove(dir / name);
            ASSERT_EQ(mkfifo((dir / name).c_str(), 0666), 0);
        }
        fs::create_directory(dir / kOutputDir);
        std::vector<std::string> wrapper;
        if (c.oneThread) {
            fs::permissions(dir.path(), fs::perms::all);
            fs::permissions(dir / kOutputDir, fs::perms::all);
            wrapper = {"prlimit", "--nproc=1:1", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        }
        int pipeEnds[2] = {-1, -1};
        if (c.stalledOutput) {
            ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
            fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096);
        }
        std::vector<std::string> arguments{"c970611a.", "-r", "1", std::to_string(c.files), "-d", kOutputDir};
        if (packed) arguments = {"c970611a.001", "c970611a.002", "-d", kOutputDir};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const fs::path errorsFile = dir / "errors.txt";
        const int errors = open(errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t pid = startKovrent(arguments, dir.path(), false, wrapper, pipeEnds[1], errors);
        close(errors);
        if (pipeEnds[1] >= 0) close(pipeEnds[1]);
        // Blocked: a file has come, and the folder stays as it is for half a second.
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        size_t entries = 0;
        auto settled = std::chrono::steady_clock::now();
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            const size_t now = countEntries(dir / kOutputDir);
            if (now != entries || now == 0) settled = std::chrono::steady_clock::now();
            entries = now;
            if (std::chrono::steady_clock::now() - settled > std::chrono::milliseconds(500)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (done != 0) {
            ADD_FAILURE() << "ended before it was blocked, status " << status;
            if (pipeEnds[0] >= 0) close(pipeEnds[0]);
            continue;
        }
        EXPECT_TRUE(c.stalledOutput || packed || holdsHiddenFile(dir / kOutputDir)) << "blocked without a hidden file";
        const size_t descriptors = countEntries("/proc/" + std::to_string(pid) + "/fd");
        EXPECT_LT(descriptors, 40u) << "open while blocked";
        kill(pid, SIGTERM);
        const auto signalled = std::chrono::steady_clock::now();
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() - signalled < std::chrono::seconds(2))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "SIGTERM did not end the run within 2 s";
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
        }
        if (pipeEnds[0] >= 0) close(pipeEnds[0]);
        EXPECT_FALSE(holdsHiddenFile(dir / kOutputDir)) << "a hidden file was left";
        if (*c.words) {
            const Bytes text = readBytes(errorsFile);
            EXPECT_EQ(std::string(text.begin(), text.end()), c.words);
        }
    }
}

// The output folder is opened once: moved part-way and replaced by a link to another folder, it
// still receives every file, and the other folder none.
TEST(Hostile, OutputFolderMovedPartWayKeepsEveryFile) {
    constexpr int kFiles = 100;
    TempDir dir;
    saveGrabRange(dir.path(), kFiles);
    fs::create_directory(dir / kOutputDir);
    fs::create_directory(dir / "elsewhere");
    const pid_t pid = startKovrent({"c970611a.", "-r", "1", std::to_string(kFiles), "-e", "4", "-d", kOutputDir},
                                   dir.path(), false);
    bool moved = false;
    const std::optional<int> ended = waitActingPartWay(pid, dir / kOutputDir, 10, moved, [&] {
        fs::rename(dir / kOutputDir, dir / "moved");
        fs::create_directory_symlink("elsewhere", dir / kOutputDir);
    });
    ASSERT_TRUE(ended) << "did not end within the time limit";
    const int status = *ended;
    ASSERT_TRUE(moved) << "ended before the folder was moved";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(countEntries(dir / "elsewhere"), 0u);
    EXPECT_EQ(countEntries(dir / "moved"), size_t{kFiles});
    for (const fs::directory_entry& entry : fs::directory_iterator(dir / "moved"))
        EXPECT_EQ(fitsDefect(readBytes(entry.path())), "") << entry.path().filename();
}

// Progress that cannot be written is a failure of the run, reported on standard error, however
// the run went otherwise.
TEST(Hostile, StandardOutputThatCannotBeWrittenFailsTheRun) {
    const struct {
        const char* redirect;
        std::vector<std::string> arguments;
        const char* reason;
    } cases[] = {
        {">/dev/full", {kInput, "-d", kOutputDir}, "No space left on device"},
        {">&-", {kInput, "-d", kOutputDir}, "Bad file descriptor"},
        {">/dev/full", {"--version"}, "No space left on device"},
        {">/dev/full", {"-h"}, "No space left on device"},
        {">&-", {"--help"}, "Bad file descriptor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.redirect) + " " + c.arguments[0]);
        TempDir dir;
        writeBytes(dir / kInput, grab128());
        fs::create_directory(dir / kOutputDir);
        std::vector<std::string> arguments{"-c", std::string("exec \"$@\" ") + c.redirect, "sh", KOVRENT_BINARY};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const RunResult run = runProgram("/bin/sh", arguments, dir.path(), kTimeout);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_TRUE(contains(run.errors, std::string("kovrent: error writing standard output: ") + c.reason))
            << run.errors;
        // The conversion itself is whole, and only the converted file is in the folder.
        if (c.arguments[0] == kInput) {
            EXPECT_EQ(fitsDefect(readBytes(dir / kOutputDir / "f970611a.001")), "");
            EXPECT_EQ(countEntries(dir / kOutputDir), 1u);
        }
    }
}

// However little memory a run is given, it ends with a status of 0 or 1 and whole files only;
// below what the system's loader needs, the program does not start at all (status 127). Just
// above that, the run has almost nothing left: the limits there are tried 20 KB apart.
TEST(Hostile, MemoryLimitsEndInAMessage) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve far more address space than the limits tried here";
#endif
    auto limitedCase = [](int kilobytes) {
        return limited("ulimit -v " + std::to_string(kilobytes),
                       cameraCase(std::to_string(kilobytes) + " KB", chopNod(), {"-e", "4"}, kAnyStatus));
    };
    // A range of three on four threads (or more files on more), which set up their buffers as they start.
    auto rangeCase = [](int kilobytes, const std::string& label, const std::vector<std::string>& options,
                        int files = 3, int jobs = 4) {
        const auto bytes = std::make_shared<const Bytes>(chopNod());
        std::vector<std::string> arguments{"c970611a.", "-r", "1", std::to_string(files), "--jobs", std::to_string(jobs)};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::vector<Input> inputs;
        for (int n = 1; n <= files; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "c970611a.%03d", n);
            inputs.emplace_back(name, bytes);
        }
        // However it ends, a run of many files ends with its summary.
        return limited("ulimit -v " + std::to_string(kilobytes), Case(std::to_string(kilobytes) + " KB, " + label, inputs,
                                                                      arguments, kAnyStatus, files > 3 ? "converted, " : ""));
    };
    // A run that cannot start reports it through the loader, which the checks below would take
    // for the program's own failure.
    auto starts = [](const Case& c) {
        TempDir scratch;
        return runInShell(scratch.path(), {"--version"}, false, c.limits).exitStatus != 127;
    };
    int first = 4000;
    while (first <= 12000 && !starts(limitedCase(first))) first += 250;
    ASSERT_LE(first, 12000) << "no limit up to 12000 KB lets the program start";
    std::vector<int> limits;
    for (int kilobytes = first - 240; kilobytes < first; kilobytes += 20) limits.push_back(kilobytes);
    for (int kilobytes = first; kilobytes <= 12000; kilobytes += 250) limits.push_back(kilobytes);
    std::vector<std::string> problems;
    std::vector<Case> cases;
    for (const int kilobytes : limits) cases.push_back(limitedCase(kilobytes));
    // Four threads' stacks take some 32 MB of address space.
    for (int kilobytes = first; kilobytes <= 48000; kilobytes += 1000) {
        cases.push_back(rangeCase(kilobytes, "workers", {"-e", "4"}));
        cases.push_back(rangeCase(kilobytes, "log", {"--log", std::string(kOutputDir) + "/night.ecsv"}));
    }
    // Eight workers of sixty files, some of them without the memory for their buffers.
    for (int kilobytes = 44000; kilobytes <= 84000; kilobytes += 8000)
        cases.push_back(rangeCase(kilobytes, "sixty files", {}, 60, 8));
    for (const Case& c : cases) {
        if (!starts(c)) continue;
        const std::string found = problemsOf(c, false);
        if (!found.empty()) problems.push_back(c.label + ":" + found);
        if (problems.size() >= 5) break;
    }
    for (const std::string& p : problems) ADD_FAILURE() << p;
}

}  // namespace

namespace {

// Counts the lines of `text` that contain `part`.
size_t linesWith(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

}  // namespace

// A folder that can take nothing more ends the run at its first failed write, --keep-going or
// not, and the reason names the folder (never a hidden file), with what to do about it where
// the folder cannot be written at all.
TEST(Hostile, FolderThatTakesNothingMoreEndsTheRun) {
    const struct {
        const char* label;
        const char* mountOptions;
        std::vector<std::string> arguments;
        const char* reason;
        const char* summary;
    } cases[] = {
        {"full", "size=200k", {"c970611a.", "-r", "1", "20", "--keep-going"}, "kovrent: out: No space left on device\n",
         "kovrent: 2 files converted, 1 failed (c970611a.003), 17 not tried (stopped at c970611a.003)"},
        {"full, unpacking", "size=200k", {"p970611a.001", "-p"}, "kovrent: out: No space left on device\n",
         "kovrent: 2 images unpacked, 1 failed, in "},
        {"read-only", "ro", {"c970611a.", "-r", "1", "20"},
         "kovrent: out: Read-only file system\nkovrent: choose another folder with -d\n",
         "kovrent: 0 files converted, 1 failed, 19 not tried (stopped at c970611a.001)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        saveGrabRange(dir.path(), 20);
        CameraWriter packed;
        const FrameGeometry g = geometryOf(128, 128);
        packed.corners(g).totalCoadds(1).obsmode(1).packed(20, 1).endMarker();
        packed.packedData(g, 1, 20, [](int image, int, int x, int y) { return image + x - y; }).trailer({9, 0, 0, 0});
        packed.save((dir / "p970611a.001").string());
        fs::create_directory(dir / kOutputDir);
        // CI runs as root, which mounting needs.
        const std::string folder = (dir / kOutputDir).string();
        if (runProgram("/bin/mount", {"-t", "tmpfs", "-o", c.mountOptions, "tmpfs", folder}, dir.path()).exitStatus != 0) {
            ADD_FAILURE() << "mounting a small file system needs root";
            continue;
        }
        // One worker: with several, which write finds the folder full depends on their timing.
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-d", kOutputDir, "--jobs", "1"});
        const RunResult run = runProgram(KOVRENT_BINARY, arguments, dir.path(), kTimeout);
        std::set<std::string> left;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir / kOutputDir))
            left.insert(entry.path().filename().string());
        runProgram("/bin/umount", {folder}, dir.path());
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(linesWith(run.output, "wf: "), 1u) << run.output;
        EXPECT_EQ(linesWith(run.errors, c.reason), 1u) << run.errors;
        EXPECT_FALSE(contains(run.errors, ".kovrent-")) << run.errors;
        EXPECT_TRUE(contains(run.errors, c.summary)) << run.errors;
        for (const std::string& name : left) EXPECT_FALSE(name.starts_with(".kovrent-")) << "left " << name;
    }
}

// What fits into a folder that fills up does not depend on the workers: a run writes the same
// files, says the same and ends with the same status on one worker as on several, in ranges,
// cubes, frames and unpacking alike.
TEST(Hostile, FolderThatFillsTakesTheSameFilesWhateverTheWorkers) {
    TempDir dir;
    saveGrabRange(dir.path(), 60);
    CameraWriter packed;
    const FrameGeometry g = geometryOf(128, 128);
    packed.corners(g).totalCoadds(1).obsmode(1).packed(40, 1).endMarker();
    packed.packedData(g, 1, 40, [](int image, int, int x, int y) { return image + x - y; }).trailer({9, 0, 0, 0});
    packed.save((dir / "p970611a.001").string());
    const std::string folder = (dir / kOutputDir).string();
    fs::create_directory(folder);
    const std::vector<std::string> range{"c970611a.", "-r", "1", "60"};
    const std::vector<std::vector<std::string>> runs{
        range, {"c970611a.", "-r", "1", "60", "-e", "2"}, {"c970611a.", "-r", "1", "60", "--frames"},
        {"c970611a.", "-r", "1", "60", "--cube"}, {"p970611a.001", "-p"}};
    for (const std::vector<std::string>& arguments : runs) {
        std::string said[3];
        std::map<std::string, uintmax_t> written[3];
        const char* const jobs[] = {"1", "3", "8"};
        for (int j = 0; j < 3; ++j) {
            SCOPED_TRACE(arguments[1] + " " + arguments.back() + ", --jobs " + jobs[j]);
            if (runProgram("/bin/mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", folder}, dir.path()).exitStatus != 0) {
                ADD_FAILURE() << "mounting a small file system needs root";
                return;
            }
            std::vector<std::string> all = arguments;
            all.insert(all.end(), {"-d", kOutputDir, "--jobs", jobs[j]});
            const RunResult run = runProgram(KOVRENT_BINARY, all, dir.path(), kTimeout);
            for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
                written[j][entry.path().filename().string()] = fs::file_size(entry.path());
                EXPECT_EQ(fitsDefect(readBytes(entry.path())), "") << entry.path().filename();
            }
            runProgram("/bin/umount", {folder}, dir.path());
            said[j] = std::to_string(run.exitStatus) + "\n" + run.output + run.errors.substr(0, run.errors.rfind(" in "));
            EXPECT_EQ(run.exitStatus, 1);
            EXPECT_TRUE(contains(run.errors, "No space left on device")) << run.errors;
            if (j > 0) {
                EXPECT_EQ(said[j], said[0]);
                EXPECT_EQ(written[j], written[0]);
            }
        }
    }
}

// On a terminal a run shows one progress line on standard error, redrawn in place and taken away
// before the summary; asked not to, it shows none (nor anywhere but on a terminal, which the
// exact standard error of other tests shows).
TEST(Hostile, ProgressLineOnATerminalOnly) {
    TempDir dir;
    saveGrabRange(dir.path(), 3);
    for (const bool wanted : {true, false}) {
        SCOPED_TRACE(wanted ? "progress" : "--no-progress");
        fs::remove_all(dir / kOutputDir);
        fs::create_directory(dir / kOutputDir);
        const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(terminal, 0);
        ASSERT_EQ(grantpt(terminal), 0);
        ASSERT_EQ(unlockpt(terminal), 0);
        const int errors = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(errors, 0);
        std::vector<std::string> arguments{"c970611a.", "-r", "1", "3", "-d", kOutputDir};
        if (!wanted) arguments.push_back("--no-progress");
        const pid_t pid = startKovrent(arguments, dir.path(), false, {}, -1, errors);
        close(errors);
        std::string said;
        char buffer[4096];
        ssize_t got = 0;
        // Reading the terminal's other side fails with EIO once the program has closed it.
        while ((got = read(terminal, buffer, sizeof buffer)) > 0) said.append(buffer, static_cast<size_t>(got));
        close(terminal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_EQ(countEntries(dir / kOutputDir), 3u);
        if (wanted) {
            EXPECT_TRUE(said.starts_with("\rkovrent: ")) << said;
            EXPECT_TRUE(contains(said, " of 3 files, ")) << said;
            EXPECT_TRUE(contains(said, "\x1b[K\r\x1b[Kkovrent: 3 files converted, 0 failed, in ")) << said;
        } else {
            EXPECT_TRUE(said.starts_with("kovrent: 3 files converted, 0 failed, in ")) << said;
        }
    }
}
