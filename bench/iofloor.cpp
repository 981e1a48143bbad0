// The I/O floor of a conversion run: the same file reads and writes as the program,
// with no conversion. Reads a list of operations from standard input:
//   R <path>          read the whole file through stdio
//   W <path> <bytes>  write that many bytes to a new hidden file beside it, then rename
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

int main()
{
    std::vector<char> buffer(1 << 16, 0);
    static char output[1 << 16];
    std::string operation, path;
    long long written = 0;
    while (std::cin >> operation >> path) {
        if (operation == "R") {
            std::FILE* file = std::fopen(path.c_str(), "rb");
            if (!file)
                return 1;
            while (std::fread(buffer.data(), 1, buffer.size(), file) > 0) {
            }
            std::fclose(file);
        } else {
            long long bytes = 0;
            std::cin >> bytes;
            // Created exclusively under a short hidden name in the output's folder, as the program does.
            const std::string temporary
                = path.substr(0, path.rfind('/') + 1) + ".floor-" + std::to_string(100000 + written++);
            const int descriptor = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            std::FILE* file = descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
            if (!file)
                return 1;
            std::setvbuf(file, output, _IOFBF, sizeof output);
            for (long long left = bytes; left > 0;) {
                const std::size_t chunk = left < 2880 ? static_cast<std::size_t>(left) : 2880;
                std::fwrite(buffer.data(), 1, chunk, file);
                left -= static_cast<long long>(chunk);
            }
            if (std::fclose(file) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0)
                return 1;
        }
    }
    return 0;
}
