// The I/O floor of a conversion run: the same file reads and writes as the program,
// with no conversion. Reads a list of operations from standard input:
//   R <path>          read the whole file through stdio
//   W <path> <bytes>  write that many bytes under a temporary name, then rename
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

int main()
{
    std::vector<char> buffer(1 << 16, 0);
    static char output[1 << 16];
    std::string operation, path;
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
            const std::string temporary = path + ".part";
            std::FILE* file = std::fopen(temporary.c_str(), "wb");
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
