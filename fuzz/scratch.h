#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// While it lives, the process works in one private scratch directory, so that whatever
// the program writes (outputs, unpacked images) stays there; on leaving, the files
// are removed and the former working directory is restored.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // Writes the bytes to a file in the scratch directory.
    void write(const std::string& name, const uint8_t* data, std::size_t size) const;

private:
    std::string previous_;
};
