// InflateStream on arbitrary bytes, zlib or raw deflate by the first byte, checked against zlib:
// whatever one decoder accepts within the output limit the other accepts with the same bytes, and
// the output never passes the limit by more than one decoding step.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "core/stream.h"
#include "fuzz/fuzz_check.h"
#include "image/png/inflate.h"

namespace {

// Enough for every stream a few kilobytes can encode at the deepest ratio (about 1:1032).
constexpr size_t outputLimit = size_t(8) << 20;
// Our decoder writes in steps through its 32 KiB window and may pass the limit by one of them.
constexpr size_t stepSlack = size_t(64) << 10;

struct Decoded {
    bool ok = false;
    bool overLimit = false;  // the data wants more than outputLimit bytes
    const uint8_t* bytes = nullptr;
    size_t size = 0;
};

// zlib decodes into one buffer kept for the whole run: clearing megabytes for every input would
// cost far more than decoding it.
Decoded InflateWithZlib(const uint8_t* data, size_t size, bool zlibFormat)
{
    static const std::unique_ptr<uint8_t[]> buffer = std::make_unique_for_overwrite<uint8_t[]>(outputLimit);
    Decoded result;
    z_stream z{};
    FUZZ_CHECK(inflateInit2(&z, zlibFormat ? 15 : -15) == Z_OK);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(size);
    z.next_out = buffer.get();
    z.avail_out = uInt(outputLimit);
    const int code = inflate(&z, Z_FINISH);
    result.ok = code == Z_STREAM_END;
    // Out of room while the data was still good: it asks for more than the limit.
    result.overLimit = code == Z_BUF_ERROR && z.avail_out == 0;
    result.bytes = buffer.get();
    result.size = z.total_out;
    inflateEnd(&z);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool zlibFormat = (data[0] & 1) == 0;
    const uint8_t* stream = data + 1;
    const size_t streamSize = size - 1;

    Core::MemoryOutputStream output;
    Image::InflateStream inflater(stream, streamSize, output);
    inflater.SelectFormat(zlibFormat ? Image::InflateStream::Format::Zlib : Image::InflateStream::Format::Raw);
    const bool ok = inflater.Run(outputLimit);
    FUZZ_CHECK(inflater.OutputSize() == output.bytes.size());
    FUZZ_CHECK(output.bytes.size() <= outputLimit + stepSlack);
    // A stream that ended stays ended, one that failed stays failed.
    FUZZ_CHECK(inflater.Run(outputLimit) == ok);

    // A preset dictionary is named but not given: zlib stops for it, we decode without it.
    const bool presetDictionary = zlibFormat && streamSize >= 2 && (stream[1] & 0x20) != 0;
    if (presetDictionary)
        return 0;
    const Decoded reference = InflateWithZlib(stream, streamSize, zlibFormat);
    if (reference.overLimit) {
        FUZZ_CHECK(!ok);
        return 0;
    }
    FUZZ_CHECK(ok == reference.ok);
    if (ok) {
        FUZZ_CHECK(output.bytes.size() == reference.size);
        FUZZ_CHECK(reference.size == 0 || std::memcmp(output.bytes.data(), reference.bytes, reference.size) == 0);
    }
    return 0;
}
