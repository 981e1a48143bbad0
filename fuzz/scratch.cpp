#include "fuzz/scratch.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

const std::string& scratchPath()
{
    static const std::string path = [] {
        // Memory-backed when the machine has it: every run writes its input there. Each run
        // empties it, and the process removes it as it exits.
        static std::string made;
        for (const char* parent : {"/dev/shm", "/tmp"}) {
            made = std::string(parent) + "/kovrent-fuzz-XXXXXX";
            if (mkdtemp(made.data())) {
                std::atexit([] { ::rmdir(made.c_str()); });
                return made;
            }
        }
        std::abort();
    }();
    return path;
}

} // namespace

ScratchDirectory::ScratchDirectory() : previous_(std::filesystem::current_path().string())
{
    if (chdir(scratchPath().c_str()) != 0)
        std::abort();
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(scratchPath(), error))
        std::filesystem::remove_all(entry.path(), error);
    if (chdir(previous_.c_str()) != 0)
        std::abort();
}

void ScratchDirectory::write(const std::string& name, const uint8_t* data, std::size_t size) const
{
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (!file)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);
}
