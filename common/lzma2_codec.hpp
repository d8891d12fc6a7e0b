// The packed file container (.lzma2): a 13-byte header (magic, unpacked size, dictionary
// byte) followed by one raw LZMA2 stream, coded by the LZMA SDK. Packs and unpacks whole
// files, streaming.
#pragma once

#include "common/byte_sink.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qz4 {

class file_handle;

inline constexpr std::uint32_t packed_file_magic = 0x30ECEF13;
inline constexpr std::size_t packed_header_size = 13;
// An unpacked size with all bits set declares no size: the stream's end byte ends the file.
inline constexpr std::uint64_t packed_size_undeclared = ~std::uint64_t{0};
// Every file we pack uses a 16 MiB dictionary, which this byte stands for.
inline constexpr std::uint8_t packed_dictionary_byte = 24;

// Result codes of lzma2_file_codec. The numbers are the LZMA SDK's, which callers print and
// which stored tooling may compare against, so they never change.
namespace lzma2_result {
inline constexpr int ok = 0;
inline constexpr int data_error = 1; // bad header, corrupt or truncated stream
inline constexpr int out_of_memory = 2;
inline constexpr int unsupported = 4; // dictionary byte above 40, or beyond the memory limit
inline constexpr int cannot_open = 5; // source cannot be opened or target cannot be created
inline constexpr int read_error = 8;
inline constexpr int write_error = 9;
inline constexpr int internal_error = 11; // the coder library reported a misuse
// Any other code of the SDK passes through unchanged, for example 12: a thread cannot start.
} // namespace lzma2_result

// Dictionary size a dictionary byte stands for (0xFFFFFFFF for 40); 0 for bytes above 40.
[[nodiscard]] std::uint32_t lzma2_dictionary_size(std::uint8_t dictionary_byte);

// The most memory the decoder may take for one file. Files we pack need about 16 MiB; the
// limit keeps a hostile header from making the launcher reserve gigabytes.
inline constexpr std::uint64_t lzma2_default_memory_limit = 128ULL << 20;

// Converts a whole file: packs source into target, or unpacks it when `unpack` is set.
// Returns one of the lzma2_result codes. The source is opened first, so a missing source
// creates no target. On failure the target may hold a partial result; the caller removes it.
[[nodiscard]] int lzma2_file_codec(bool unpack, const std::wstring& source, const std::wstring& target);
// The same with an explicit memory limit for the decoder.
[[nodiscard]] int lzma2_file_codec(bool unpack, const std::wstring& source, const std::wstring& target,
                                   std::uint64_t memory_limit);

// Packs files one after another with one LZMA2 encoder, whose match-finder threads and
// tables (about 190 MiB of address space, touched as far as the largest file so far needs)
// live as long as the object: a fresh encoder per file would map and fault them in each time.
// One file at a time; the encoder runs its match finder on two threads of its own.
class lzma2_encoder {
public:
    lzma2_encoder();
    ~lzma2_encoder();
    lzma2_encoder(const lzma2_encoder&) = delete;
    lzma2_encoder& operator=(const lzma2_encoder&) = delete;

    // As lzma2_file_codec(false, source, target).
    [[nodiscard]] int pack(const std::wstring& source, const std::wstring& target);
    // The same for a source the caller holds open, packed from where it stands.
    [[nodiscard]] int pack(file_handle& source, const std::wstring& target);

    // The bytes the encoder's buffers hold now (0 before the first file).
    [[nodiscard]] std::uint64_t memory_held() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

// Unpacks the packed file at `source` into a sink, which may refuse bytes (write_error).
// The sink never receives more than the header declares.
[[nodiscard]] int lzma2_unpack_to(const std::wstring& source, byte_sink& target, std::uint64_t memory_limit);

// The unpacked size a packed file's header declares (packed_size_undeclared when it declares
// none); nullopt when the file cannot be read or does not start with our header.
[[nodiscard]] std::optional<std::uint64_t> read_packed_size(const std::wstring& path);

// What a packed file's header promises before a byte is decoded: the unpacked size it declares
// and the memory its decoder will take (for a dictionary byte above 40, more than any limit).
struct packed_file_facts {
    std::uint64_t declared = 0;
    std::uint64_t decoder_memory = 0;
};
// Nullopt when the file cannot be read or does not start with our header.
[[nodiscard]] std::optional<packed_file_facts> read_packed_facts(const std::wstring& path);

} // namespace qz4
