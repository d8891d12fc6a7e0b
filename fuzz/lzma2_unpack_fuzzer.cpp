// The packed-file codec in its unpack direction, fed any bytes as a downloaded packed file:
// header, declared size, dictionary byte, truncated and corrupt streams. Whatever the header
// claims, the decoder must keep to its memory limit, give one of the documented results,
// never write beyond a declared size, and write exactly that size when it reports success.
#include "common/lzma2_codec.hpp"
#include "fuzz/allocation_meter.hpp"
#include "fuzz/fuzz_support.hpp"

#include <cstdint>

using namespace qz4;

namespace {

// What the codec needs beside the decoder (its two 64 KiB buffers, paths, the stream object)
// is far below this.
constexpr std::uint64_t codec_overhead = 1 << 20;
// A second, tight limit: a limit may turn a result into "unsupported", never change it.
constexpr std::uint64_t tight_limit = 1 << 20;

struct outcome {
    int result;
    std::string output;
};

outcome unpack_with_limit(const std::wstring& source, const std::wstring& target, std::uint64_t limit) {
    fuzz::allocation_meter meter;
    const int result = lzma2_file_codec(true, source, target, limit);
    FUZZ_CHECK(meter.peak_bytes() <= limit + codec_overhead);
    return {result, fuzz::read_bytes(target)};
}

std::uint64_t declared_size(std::string_view file) {
    std::uint64_t size = 0;
    for (int i = 7; i >= 0; --i)
        size = (size << 8) | static_cast<std::uint8_t>(file[4 + i]);
    return size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::wstring packed = fuzz::scratch_file("in.lzma2");
    static const std::wstring unpacked = fuzz::scratch_file("out");
    const std::string_view file = fuzz::as_text(data, size);
    fuzz::write_bytes(packed, file);

    const outcome full = unpack_with_limit(packed, unpacked, lzma2_default_memory_limit);
    FUZZ_CHECK(full.result == lzma2_result::ok || full.result == lzma2_result::data_error ||
               full.result == lzma2_result::unsupported);
    if (size < packed_header_size || static_cast<std::uint8_t>(file[0]) != 0x13 ||
        static_cast<std::uint8_t>(file[1]) != 0xEF || static_cast<std::uint8_t>(file[2]) != 0xEC ||
        static_cast<std::uint8_t>(file[3]) != 0x30) {
        FUZZ_CHECK(full.result == lzma2_result::data_error);
        FUZZ_CHECK(full.output.empty());
        return 0;
    }
    if (static_cast<std::uint8_t>(file[12]) > 40)
        FUZZ_CHECK(full.result == lzma2_result::unsupported);
    const std::uint64_t declared = declared_size(file);
    if (declared != packed_size_undeclared) {
        FUZZ_CHECK(full.output.size() <= declared);
        if (full.result == lzma2_result::ok)
            FUZZ_CHECK(full.output.size() == declared);
    }

    const outcome tight = unpack_with_limit(packed, unpacked, tight_limit);
    FUZZ_CHECK(tight.result == full.result || tight.result == lzma2_result::unsupported);
    if (tight.result == full.result)
        FUZZ_CHECK(tight.output == full.output);
    return 0;
}
