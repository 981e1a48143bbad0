// Times kovrent against the I/O floor on generated camera files:
//   kovrent_bench [--keep] <kovrent> <iofloor> <N> <work directory>
// N files of a 128 x 128 chop-nod observation with FINX (converted with -e 1 and
// -e 4 over a -r range) and one packed file of N images (unpacked with -p, and with -p --cube
// into one data cube, also converted with -e 2), and the observing log of the N files (--log, which reads their headers
// alone, beside the floor of reading each file's first 4 KiB). Each
// command runs seven times; the median wall time counts, with the median CPU time. Peak
// resident memory is the largest of the child's runs.
#include "support/camerawriter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using testsupport::CameraWriter;
using testsupport::FrameGeometry;

namespace {

struct Timing {
    double seconds = 1e30;
    double cpuSeconds = 0; // user and system time
    long peakKiB = 0;
};

// Measure mode: runs the command (stdout and its run summary on stderr discarded, stdin
// from `input` unless it is "-") and prints its wall time and CPU time in seconds and its peak
// resident memory in KiB. A freshly started small process forks it, so that the peak is the
// program's own and not inherited from the generator's memory.
int measure(const std::string& input, char** command)
{
    // "terminal": standard error on a pseudo-terminal, which shows the progress line; its
    // other side is read as a terminal window would.
    int terminal = -1;
    std::thread reader;
    if (input == "terminal") {
        terminal = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
            return 1;
        reader = std::thread([terminal] {
            char buffer[4096];
            while (read(terminal, buffer, sizeof buffer) > 0) {
            }
        });
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const bool onTerminal = terminal >= 0;
        if (!std::freopen("/dev/null", "w", stdout)
            || !std::freopen(onTerminal ? ptsname(terminal) : "/dev/null", "w", stderr)
            || (input != "-" && !onTerminal && !std::freopen(input.c_str(), "r", stdin)))
            _exit(126);
        execv(command[0], command);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (reader.joinable()) {
        reader.join(); // the read fails once the child has closed the terminal
        close(terminal);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 1;
    const double cpu
        = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.9f %.6f %ld\n", seconds, cpu, usage.ru_maxrss);
    return 0;
}

// Runs the command through measure mode and returns its wall time and peak memory.
Timing runOnce(const std::vector<std::string>& command, const std::string& input)
{
    static const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string line = self + " --measure " + (input.empty() ? std::string("-") : input);
    for (const std::string& word : command)
        line += " '" + word + "'";
    std::FILE* pipe = popen(line.c_str(), "r");
    Timing timing;
    if (!pipe || std::fscanf(pipe, "%lf %lf %ld", &timing.seconds, &timing.cpuSeconds, &timing.peakKiB) != 3
        || pclose(pipe) != 0) {
        std::fprintf(stderr, "kovrent_bench: %s failed\n", command[0].c_str());
        std::exit(1);
    }
    return timing;
}

// Seven runs: the median wall time and the median CPU time, and the largest peak memory.
Timing median(const std::vector<std::string>& command, const std::string& input, const fs::path& outputs)
{
    constexpr int runs = 7;
    std::vector<double> seconds, cpuSeconds;
    Timing result;
    for (int run = 0; run < runs; ++run) {
        fs::remove_all(outputs);
        fs::create_directories(outputs);
        const Timing t = runOnce(command, input);
        seconds.push_back(t.seconds);
        cpuSeconds.push_back(t.cpuSeconds);
        result.peakKiB = std::max(result.peakKiB, t.peakKiB);
    }
    std::nth_element(seconds.begin(), seconds.begin() + runs / 2, seconds.end());
    std::nth_element(cpuSeconds.begin(), cpuSeconds.begin() + runs / 2, cpuSeconds.end());
    result.seconds = seconds[runs / 2];
    result.cpuSeconds = cpuSeconds[runs / 2];
    return result;
}

FrameGeometry benchGeometry()
{
    return FrameGeometry{0, 0, 127, 127, 63};
}

// A header of the usual records; packedCount > 0 makes it the header of a packed file.
CameraWriter& realisticHeader(CameraWriter& file, int obsmode, int packedCount = 0)
{
    if (packedCount > 0)
        file.packed(packedCount, 1);
    return file.headerSize(512)
        .object("BENCHMARK FIELD")
        .telescope("TEST 2.3M")
        .site(3)
        .timeObs({9, 5, 3, 7})
        .dateTime(1997, 6, 11, 9, 5, 3)
        .raDec(316.7575, 42.2358)
        .telescopeScale(1.56f)
        .magnification(2.0f)
        .wavelength(10.5f)
        .record(2, {3.0, 5.0})
        .record(46, {4.5, 21.3, 25.8})
        .corners(benchGeometry())
        .totalCoadds(200)
        .beamCoadds(2, 180)
        .obsmode(obsmode)
        .framesPerCoimage(25)
        .chopWait(12.5f)
        .offsets(63.5f, 64.0f)
        .orientation("ULYYN")
        .timeEnd({9, 17, 41, 52})
        .endMarker()
        .padTo(512);
}

std::string numbered(const std::string& root, int n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%03d", n);
    return root + text;
}

// The floor's operations: read every input whole, write every file the program wrote,
// with the same sizes, in the program's order. The outputs are taken in the order they were
// written; when there is one per input, each follows the read of its input.
std::string floorOperations(const fs::path& directory, const std::vector<fs::path>& inputs, const fs::path& outputs)
{
    std::vector<std::pair<fs::file_time_type, fs::path>> written;
    for (const auto& entry : fs::directory_iterator(outputs))
        written.emplace_back(entry.last_write_time(), entry.path());
    std::sort(written.begin(), written.end());
    const bool interleaved = written.size() == inputs.size();

    const fs::path list = directory / "floor.txt";
    std::ofstream out(list);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        out << "R " << inputs[i].string() << "\n";
        if (interleaved)
            out << "W " << written[i].second.string() << " " << fs::file_size(written[i].second) << "\n";
    }
    if (!interleaved)
        for (const auto& [time, path] : written)
            out << "W " << path.string() << " " << fs::file_size(path) << "\n";
    return list.string();
}

// The program beside the floors of one and of two threads: its time over each, and its CPU time
// beside the two-thread floor's (what the program spends of its own above the system's work).
void report(const char* what, const Timing& program, const Timing& floor1, const Timing& floor2, int files,
            uintmax_t bytes)
{
    std::printf("%-14s %7.3f ms/file  cpu %7.3f ms/file %7.1f MB/s   floor 1 thread %7.3f  ratio %5.2f   "
                "2 threads %7.3f  ratio %5.2f  cpu %7.3f   peak %5.1f MiB\n",
                what, 1000.0 * program.seconds / files, 1000.0 * program.cpuSeconds / files,
                bytes / program.seconds / 1e6, 1000.0 * floor1.seconds / files, program.seconds / floor1.seconds,
                1000.0 * floor2.seconds / files, program.seconds / floor2.seconds, 1000.0 * floor2.cpuSeconds / files,
                program.peakKiB / 1024.0);
}

// The floor's time on one thread and on two, over the operations of `list`.
std::pair<Timing, Timing> floors(const std::string& iofloor, const std::string& list, const fs::path& outputs)
{
    return {median({iofloor, "1"}, list, outputs), median({iofloor, "2"}, list, outputs)};
}

uintmax_t directoryBytes(const fs::path& directory)
{
    uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(directory))
        total += entry.file_size();
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 3 && std::string(argv[1]) == "--measure")
        return measure(argv[2], argv + 3);
    // --keep leaves the generated files in the work directory, for profiling.
    const bool keep = argc > 1 && std::string(argv[1]) == "--keep";
    if (keep) {
        --argc;
        ++argv;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: kovrent_bench [--keep] <kovrent> <iofloor> <N> <work directory>\n");
        return 2;
    }
    const std::string kovrent = fs::absolute(argv[1]).string();
    const std::string iofloor = fs::absolute(argv[2]).string();
    const int n = std::atoi(argv[3]);
    const fs::path work = fs::absolute(argv[4]);
    const fs::path inputs = work / "in";
    fs::remove_all(work);
    fs::create_directories(inputs);

    // N camera files and one packed file of N images.
    std::vector<fs::path> cameraFiles;
    const FrameGeometry g = benchGeometry();
    for (int i = 1; i <= n; ++i) {
        CameraWriter file;
        realisticHeader(file, 3).frames(g, 4, [i](int frame, int x, int y) {
            return static_cast<int32_t>(4800000 + 1000 * frame + 37 * x + 11 * y + i);
        });
        cameraFiles.push_back(inputs / numbered("c970611a.", i));
        file.save(cameraFiles.back().string());
    }
    CameraWriter packed;
    realisticHeader(packed, 1, n);
    packed.packedData(g, 1, n, [](int image, int, int x, int y) { return 200 * (image + x + y); })
        .trailer({9, 30, 0, 0});
    const fs::path packedFile = inputs / "p970611a.001";
    packed.save(packedFile.string());

    const std::string root = (inputs / "c970611a.").string();
    const std::string last = std::to_string(n);
    std::uintmax_t inputBytes = 0;
    for (const fs::path& p : cameraFiles)
        inputBytes += fs::file_size(p);

    std::printf("kovrent benchmark: N = %d, %d x %d chop-nod files of %ju bytes\n", n, g.naxis1(), g.naxis2(),
                static_cast<uintmax_t>(fs::file_size(cameraFiles.front())));
    for (const int e : {1, 4}) {
        const fs::path outputs = work / ("out-e" + std::to_string(e));
        const Timing program
            = median({kovrent, root, "-r", "1", last, "-d", outputs.string(), "-e", std::to_string(e)}, "", outputs);
        const uintmax_t written = directoryBytes(outputs);
        const std::string operations = floorOperations(work, cameraFiles, outputs);
        const auto [floor1, floor2] = floors(iofloor, operations, outputs);
        report(e == 1 ? "convert -e 1" : "convert -e 4", program, floor1, floor2, n, inputBytes + written);
        if (e == 1) {
            // The progress line costs nothing that shows.
            const Timing shown = median({kovrent, root, "-r", "1", last, "-d", outputs.string()}, "terminal", outputs);
            std::printf("%-14s %7.3f ms/file with the progress line on a terminal, %5.2f x the time without\n", "",
                        1000.0 * shown.seconds / n, shown.seconds / program.seconds);
        }
    }
    const fs::path outputs = work / "out-p";
    const Timing program = median({kovrent, packedFile.string(), "-p", "-d", outputs.string()}, "", outputs);
    const uintmax_t written = directoryBytes(outputs);
    const std::string operations = floorOperations(work, {packedFile}, outputs);
    const auto [floor1, floor2] = floors(iofloor, operations, outputs);
    report("unpack -p", program, floor1, floor2, n, fs::file_size(packedFile) + written);
    // The same images as the planes of one cube: beside -p, whose per-file costs it saves.
    const fs::path cubeOutputs = work / "out-cube";
    const Timing cube = median({kovrent, packedFile.string(), "-p", "--cube", "-d", cubeOutputs.string()}, "", cubeOutputs);
    const std::string cubeOperations = floorOperations(work, {packedFile}, cubeOutputs);
    const auto [cubeFloor1, cubeFloor2] = floors(iofloor, cubeOperations, cubeOutputs);
    report("unpack --cube", cube, cubeFloor1, cubeFloor2, n, fs::file_size(packedFile) + directoryBytes(cubeOutputs));
    std::printf("%-14s %7.2f x the time of -p, peak %5.1f MiB against %5.1f MiB\n", "", cube.seconds / program.seconds,
                cube.peakKiB / 1024.0, program.peakKiB / 1024.0);
    // The images converted on the way, oriented and expanded: beside the cube as unpacked.
    const fs::path expandedOutputs = work / "out-cube-e2";
    const Timing expanded = median({kovrent, packedFile.string(), "-p", "--cube", "-e", "2", "-d",
                                  expandedOutputs.string()}, "", expandedOutputs);
    const std::string expandedOperations = floorOperations(work, {packedFile}, expandedOutputs);
    const auto [expandedFloor1, expandedFloor2] = floors(iofloor, expandedOperations, expandedOutputs);
    report("cube -e 2", expanded, expandedFloor1, expandedFloor2, n,
           fs::file_size(packedFile) + directoryBytes(expandedOutputs));
    std::printf("%-14s %7.2f x the time of -p --cube, peak %5.1f MiB\n", "", expanded.seconds / cube.seconds,
                expanded.peakKiB / 1024.0);
    // The observing log: the headers alone, beside reading each file's first page.
    const fs::path logOutputs = work / "out-log";
    const Timing log
        = median({kovrent, root, "-r", "1", last, "--log", (logOutputs / "night.ecsv").string()}, "", logOutputs);
    const fs::path logList = work / "floor-log.txt";
    {
        std::ofstream out(logList);
        for (const fs::path& file : cameraFiles)
            out << "P " << file.string() << " 4096\n";
        out << "W " << (logOutputs / "night.ecsv").string() << " " << fs::file_size(logOutputs / "night.ecsv") << "\n";
    }
    const auto [logFloor1, logFloor2] = floors(iofloor, logList.string(), logOutputs);
    report("log --log", log, logFloor1, logFloor2, n, fs::file_size(logOutputs / "night.ecsv"));
    std::printf("%-14s %7.0f files/s, the floor %7.0f files/s\n", "", n / log.seconds, n / logFloor1.seconds);
    if (!keep)
        fs::remove_all(work);
    return 0;
}
