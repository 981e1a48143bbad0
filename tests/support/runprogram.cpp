#include "runprogram.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
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
