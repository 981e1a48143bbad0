// Running the real program, temporary folders and whole-file helpers for the tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    std::string output;   // everything written to standard output
    std::string errors;   // everything written to standard error
    int exitStatus = -1;  // the exit status, or -1 when the process did not exit normally
    bool timedOut = false;
};

// Runs `program` with `arguments` (argv[1] onwards, passed as they are) in `workingDirectory`,
// standard input from /dev/null. A process still running after `timeout` is killed.
RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::filesystem::path& workingDirectory,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// runProgram on the built kovrent binary.
RunResult runKovrent(const std::vector<std::string>& arguments,
                     const std::filesystem::path& workingDirectory);

// A fresh directory under the system's temporary folder, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The whole file; throws std::runtime_error when it cannot be read.
std::vector<uint8_t> readBytes(const std::filesystem::path& file);

// Creates or replaces the file; throws std::runtime_error when it cannot be written.
void writeBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

}  // namespace testsupport
