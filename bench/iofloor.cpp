// The I/O floor of a conversion run: the same file reads and writes as the program, with no
// conversion, on one thread or shared between several. Reads a list of operations from standard
// input:
//   R <path>          read the whole file through stdio
//   P <path> <bytes>  read the file's first bytes alone, as a reader of headers does
//   W <path> <bytes>  write that many bytes to a new hidden file beside it, then rename
//   iofloor [threads]
// A read and the writes that follow it up to the next read are one unit; the units go to the
// threads in turn, as the program's workers take whole files.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Operation {
    bool read = false;
    long long part = 0; // the bytes a partial read takes
    std::string path;
    long long bytes = 0;
};

std::atomic<long long> written{0};
std::atomic<bool> failed{false};

void perform(const Operation& operation, std::vector<char>& buffer, std::vector<char>& output)
{
    if (operation.read && operation.part > 0) {
        const int descriptor = open(operation.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0 || read(descriptor, buffer.data(), static_cast<std::size_t>(operation.part)) < 0)
            failed = true;
        if (descriptor >= 0)
            close(descriptor);
        return;
    }
    if (operation.read) {
        std::FILE* file = std::fopen(operation.path.c_str(), "rb");
        if (!file) {
            failed = true;
            return;
        }
        while (std::fread(buffer.data(), 1, buffer.size(), file) > 0) {
        }
        std::fclose(file);
        return;
    }
    // Created exclusively under a short hidden name in the output's folder, as the program does.
    const std::string temporary = operation.path.substr(0, operation.path.rfind('/') + 1) + ".floor-"
        + std::to_string(100000 + written++);
    const int descriptor = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    std::FILE* file = descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
    if (!file) {
        failed = true;
        return;
    }
    std::setvbuf(file, output.data(), _IOFBF, output.size());
    for (long long left = operation.bytes; left > 0;) {
        const std::size_t chunk = left < 2880 ? static_cast<std::size_t>(left) : 2880;
        std::fwrite(buffer.data(), 1, chunk, file);
        left -= static_cast<long long>(chunk);
    }
    if (std::fclose(file) != 0 || std::rename(temporary.c_str(), operation.path.c_str()) != 0)
        failed = true;
}

} // namespace

int main(int argc, char** argv)
{
    const int threads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    std::vector<std::vector<Operation>> units;
    std::string kind;
    Operation operation;
    while (std::cin >> kind >> operation.path) {
        operation.read = kind == "R" || kind == "P";
        operation.part = 0;
        if (kind == "P")
            std::cin >> operation.part;
        else if (!operation.read)
            std::cin >> operation.bytes;
        if (operation.read || units.empty())
            units.emplace_back();
        units.back().push_back(operation);
    }
    // Writes that follow one read and no other are each a unit of their own, as the images of
    // a packed file are.
    if (units.size() == 1 && units.front().size() > 2) {
        std::vector<std::vector<Operation>> split;
        for (const Operation& each : units.front())
            split.push_back({each});
        units = std::move(split);
    }
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        std::vector<char> buffer(1 << 16, 0), output(1 << 16);
        for (std::size_t unit; (unit = next++) < units.size();)
            for (const Operation& each : units[unit])
                perform(each, buffer, output);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread& thread : pool)
        thread.join();
    return failed ? 1 : 0;
}
