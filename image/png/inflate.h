#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/stream.h"

namespace Image {

// Decoder for zlib streams (RFC 1950) around deflate data (RFC 1951), or for raw deflate data.
// The compressed bytes are held in memory by the caller for the decoder's lifetime; the output
// goes through a 32 KiB history window to the destination in steps of at most 64 KiB.
class InflateStream {
public:
    enum class Format { Raw, Zlib };

    InflateStream(const void* source, size_t sourceSize, Core::OutputStream& destination);
    ~InflateStream();
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    void SelectFormat(Format format) { this->format = format; }

    // Decodes the whole stream. True when it ended correctly (final block, and for zlib the
    // Adler-32 of the output). False for any fault of the data, for output beyond
    // maximumOutput bytes (decoding stops within one step of passing it), for a source that
    // ends early, and when the destination refuses a write. Once false, it stays false.
    bool Run(size_t maximumOutput);

    // Bytes written to the destination so far.
    size_t OutputSize() const { return written; }

private:
    struct Tables;
    enum class State { Start, Done, Error };

    bool ReadZlibHeader();
    bool ReadZlibTrailer();
    bool DecodeBlock(bool& final);
    bool CopyStored();
    bool ReadDynamicTables();
    bool DecodeHuffman();
    bool Flush(bool slide);
    bool Overran() const;

    // Bit reader: bits are taken from the low end of `bits`; bytes past the end of the source
    // read as zero and are counted in `padding`, so running out shows as Overran().
    void Refill();
    uint32_t PeekBits(int32_t count) const { return uint32_t(bits & ((uint64_t(1) << count) - 1)); }
    void DropBits(int32_t count)
    {
        bits >>= count;
        bitCount -= count;
    }
    uint32_t TakeBits(int32_t count);
    void AlignToByte() { DropBits(bitCount & 7); }

    const uint8_t* in;
    const uint8_t* inEnd;
    size_t padding = 0;
    uint64_t bits = 0;
    int32_t bitCount = 0;

    Core::OutputStream& destination;
    Format format = Format::Zlib;
    State state = State::Start;
    size_t budget = 0;
    size_t written = 0;
    uint32_t adler = 1;

    // window[0 .. position): history, with the bytes not yet written starting at `flushed`.
    std::unique_ptr<uint8_t[]> window;
    size_t position = 0;
    size_t flushed = 0;
    std::unique_ptr<Tables> tables;
};

}  // namespace Image
