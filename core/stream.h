#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Core {

// A source of bytes. Read delivers up to `size` bytes and says how many; false on a read error.
// Readers that need an exact count treat a short read as the end of their data.
class InputStream {
public:
    virtual ~InputStream() = default;
    virtual bool Read(void* buffer, size_t size, size_t& bytesRead) = 0;
};

// Reads bytes held by the caller, who keeps them alive while the stream is used.
class MemoryInputStream final : public InputStream {
public:
    MemoryInputStream(const void* data, size_t size) : cursor(static_cast<const uint8_t*>(data)), remaining(size) {}
    bool Read(void* buffer, size_t size, size_t& bytesRead) override
    {
        bytesRead = size < remaining ? size : remaining;
        if (bytesRead > 0)
            std::memcpy(buffer, cursor, bytesRead);
        cursor += bytesRead;
        remaining -= bytesRead;
        return true;
    }

private:
    const uint8_t* cursor;
    size_t remaining;
};

// Reads a C stream the caller opened and will close, through a buffer of its own so that
// many small reads (chunk headers, CRCs) cost no call into the C runtime each.
class BufferedFileInputStream final : public InputStream {
public:
    explicit BufferedFileInputStream(FILE* file, size_t bufferSize = 8192) : file(file), buffer(bufferSize) {}
    bool Read(void* out, size_t size, size_t& bytesRead) override
    {
        uint8_t* target = static_cast<uint8_t*>(out);
        bytesRead = 0;
        while (bytesRead < size) {
            if (cursor == filled) {
                // Large requests go straight to the file; small ones refill the buffer.
                if (size - bytesRead >= buffer.size()) {
                    size_t n = std::fread(target + bytesRead, 1, size - bytesRead, file);
                    bytesRead += n;
                    return n > 0 || std::ferror(file) == 0;
                }
                cursor = 0;
                filled = std::fread(buffer.data(), 1, buffer.size(), file);
                if (filled == 0)
                    return std::ferror(file) == 0;
            }
            size_t n = std::min(size - bytesRead, filled - cursor);
            std::memcpy(target + bytesRead, buffer.data() + cursor, n);
            cursor += n;
            bytesRead += n;
        }
        return true;
    }

private:
    FILE* file;
    std::vector<uint8_t> buffer;
    size_t cursor = 0;
    size_t filled = 0;
};

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
