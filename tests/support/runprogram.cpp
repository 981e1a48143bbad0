#include "support/runprogram.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Text with what differs from run to run masked: the names of temporary folders, times of
// conversion and run times.
std::string masked(std::string text) {
    const std::pair<std::regex, const char*> masks[] = {
        {std::regex("kovrent-(test|fuzz)-[A-Za-z0-9]{6}"), "kovrent-$1-XXXXXX"},
        {std::regex("TIME OF CONVERSION: .{24}"), "TIME OF CONVERSION: (masked)              "},
        // The checksum of a header counts its time of conversion.
        {std::regex("CHECKSUM= '[^']{16}'"), "CHECKSUM= '(masked)        '"},
        {std::regex(" in [0-9]+\\.[0-9]+ s"), " in (masked) s"},
    };
    for (const auto& [pattern, replacement] : masks) text = std::regex_replace(text, pattern, replacement);
    return text;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c == '\\' || c < ' ' || c > '~') {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// With KOVRENT_RECORD set, every run appends one line to that file: its arguments, status, both
// streams and a digest of every file of its folder afterwards, each with what differs from run
// to run masked, so that the records of two builds can be sorted and compared.
void record(const std::vector<std::string>& arguments, const std::filesystem::path& directory, const RunResult& run) {
    const char* file = std::getenv("KOVRENT_RECORD");
    if (!file) return;
    std::string line;
    for (const std::string& a : arguments) line += escaped(masked(a)) + " ";
    line.append("| ").append(std::to_string(run.exitStatus)).append(" | ").append(escaped(masked(run.output)));
    line.append(" | ").append(escaped(masked(run.errors))).append(" |");
    std::error_code error;
    std::vector<std::string> files;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        std::ifstream in(it->path(), std::ios::binary);
        const std::string bytes = masked(std::string(std::istreambuf_iterator<char>(in), {}));
        std::string entry = " ";
        entry.append(escaped(std::filesystem::relative(it->path(), directory).string())).append(":");
        files.push_back(entry.append(std::to_string(std::hash<std::string>()(bytes))));
    }
    std::sort(files.begin(), files.end());
    for (const std::string& f : files) line += f;
    line += "\n";
    const int out = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out >= 0) {
        [[maybe_unused]] const ssize_t written = write(out, line.data(), line.size());
        close(out);
    }
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::filesystem::path& workingDirectory,
                     std::chrono::milliseconds timeout) {
    std::vector<std::string> strings;
    strings.push_back(program);
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string directory = workingDirectory.string();

    int pipeEnds[2], errorEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) throwErrno("pipe");
    if (pipe2(errorEnds, O_CLOEXEC) != 0) throwErrno("pipe");
    // Spawned rather than forked: a fork copies the test process's mappings, which under the
    // sanitizers costs more than a short run of the program itself.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errorEnds[1], STDERR_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    close(errorEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        close(errorEnds[0]);
        errno = spawned;
        throwErrno("posix_spawn " + program);
    }

    RunResult result;
    const Clock::time_point deadline = Clock::now() + timeout;
    pollfd readers[2] = {{pipeEnds[0], POLLIN, 0}, {errorEnds[0], POLLIN, 0}};
    std::string* const texts[2] = {&result.output, &result.errors};
    char buffer[4096];
    int open = 2;
    while (open > 0) {
        const int ready = poll(readers, 2, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            result.timedOut = true;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (readers[k].fd < 0 || readers[k].revents == 0) continue;
            const ssize_t got = read(readers[k].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                readers[k].fd = -1;  // poll skips negative descriptors
                --open;
                continue;
            }
            texts[k]->append(buffer, static_cast<size_t>(got));
        }
    }
    close(pipeEnds[0]);
    close(errorEnds[0]);

    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) {
            if (errno == EINTR) continue;
            throwErrno("waitpid");
        }
        if (result.timedOut || remainingMs(deadline) == 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    record(arguments, workingDirectory, result);
    return result;
}

RunResult runKovrent(const std::vector<std::string>& arguments,
                     const std::filesystem::path& workingDirectory) {
    return runProgram(KOVRENT_BINARY, arguments, workingDirectory);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kovrent-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throwErrno("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace testsupport
