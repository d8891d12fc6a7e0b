// The packed-file codec both ways: whatever a publisher's file holds, packing it gives our
// header and unpacking gives the same bytes back, with the size declared or not.
#include "common/lzma2_codec.hpp"
#include "fuzz/fuzz_support.hpp"

#include <cstdint>

using namespace qz4;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::wstring plain = fuzz::scratch_file("plain");
    static const std::wstring packed = fuzz::scratch_file("packed.lzma2");
    static const std::wstring unpacked = fuzz::scratch_file("unpacked");
    const std::string_view content = fuzz::as_text(data, size);
    fuzz::write_bytes(plain, content);

    FUZZ_CHECK(lzma2_file_codec(false, plain, packed) == lzma2_result::ok);
    std::string file = fuzz::read_bytes(packed);
    FUZZ_CHECK(file.size() > packed_header_size);
    std::uint64_t declared = 0;
    for (int i = 7; i >= 0; --i)
        declared = (declared << 8) | static_cast<std::uint8_t>(file[4 + i]);
    FUZZ_CHECK(file.compare(0, 4, "\x13\xEF\xEC\x30") == 0);
    FUZZ_CHECK(declared == size);
    FUZZ_CHECK(static_cast<std::uint8_t>(file[12]) == packed_dictionary_byte);
    FUZZ_CHECK(file.back() == '\0'); // the stream's end byte

    FUZZ_CHECK(lzma2_file_codec(true, packed, unpacked) == lzma2_result::ok);
    FUZZ_CHECK(fuzz::read_bytes(unpacked) == content);

    // Without a declared size the end byte alone ends the file.
    file.replace(4, 8, 8, '\xFF');
    fuzz::write_bytes(packed, file);
    FUZZ_CHECK(lzma2_file_codec(true, packed, unpacked) == lzma2_result::ok);
    FUZZ_CHECK(fuzz::read_bytes(unpacked) == content);
    return 0;
}
