#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Core {

// A sink for bytes. Write is all or nothing from the caller's point of view: false means the
// stream did not take every byte, and whatever it did take stays written.
class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual bool Write(const void* data, size_t size) = 0;
};

// Writes to a C stream the caller opened and will close.
class FileOutputStream final : public OutputStream {
public:
    explicit FileOutputStream(FILE* file) : file(file) {}
    bool Write(const void* data, size_t size) override
    {
        return size == 0 || (file != nullptr && std::fwrite(data, 1, size, file) == size);
    }

private:
    FILE* file;
};

// Collects everything in memory; bytes() holds the result.
class MemoryOutputStream final : public OutputStream {
public:
    bool Write(const void* data, size_t size) override
    {
        if (size == 0)
            return true;
        size_t old = bytes.size();
        bytes.resize(old + size);
        std::memcpy(bytes.data() + old, data, size);
        return true;
    }

    std::vector<uint8_t> bytes;
};

}  // namespace Core
