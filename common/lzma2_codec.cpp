// Packing and unpacking of the .lzma2 container on liblzma's raw LZMA2 coder. Both
// directions stream through two 64 KiB buffers; nothing grows with the size of the file.
#include "common/lzma2_codec.hpp"

#include "common/file_handle.hpp"

#include <lzma.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace qz4 {

namespace {

constexpr std::size_t step_size = 64 * 1024;

// The one place where liblzma's results become our codes. The coding loops act on
// LZMA_STREAM_END and on calls without progress themselves before they get here.
int result_of(lzma_ret ret) {
    switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END:
        return lzma2_result::ok;
    case LZMA_MEM_ERROR:
        return lzma2_result::out_of_memory;
    case LZMA_MEMLIMIT_ERROR:    // the stream wants more memory than we allow
    case LZMA_OPTIONS_ERROR:     // settings this liblzma cannot code
    case LZMA_UNSUPPORTED_CHECK: // cannot happen in a raw stream
        return lzma2_result::unsupported;
    case LZMA_FORMAT_ERROR:
    case LZMA_DATA_ERROR:
    case LZMA_BUF_ERROR: // the stream stopped where more was needed
        return lzma2_result::data_error;
    default: // LZMA_PROG_ERROR and whatever later versions add
        return lzma2_result::internal_error;
    }
}

// Owns a liblzma stream so that its coder memory is released on every path.
class lzma_stream_owner {
public:
    lzma_stream_owner() = default;
    ~lzma_stream_owner() { lzma_end(&stream_); }
    lzma_stream_owner(const lzma_stream_owner&) = delete;
    lzma_stream_owner& operator=(const lzma_stream_owner&) = delete;
    lzma_stream* get() { return &stream_; }

private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
};

// The encoder settings every packed file is written with: level 5 with a 16 MiB dictionary,
// normal mode, BT4 with 32 cycles and 32 fast bytes. Keeping them fixed keeps a republished
// file byte for byte the same, so unchanged files never look changed on the server.
lzma_options_lzma packer_options() {
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 5);
    options.dict_size = lzma2_dictionary_size(packed_dictionary_byte);
    options.lc = 3;
    options.lp = 0;
    options.pb = 2;
    options.nice_len = 32;
    options.mode = LZMA_MODE_NORMAL;
    options.mf = LZMA_MF_BT4;
    options.depth = 32;
    return options;
}

// A dictionary larger than the file can hold nothing more, yet the match finder sizes its
// hash tables by the dictionary: tens of MiB to allocate and clear for every file, which
// made packing a tree of many small files several times slower than the file data
// warrants. So a file smaller than the dictionary is encoded with a dictionary of its own
// size, as 7-Zip does. The header still declares the full 16 MiB, which every stream
// we write fits, so readers see the same container.
std::uint32_t encoder_dictionary(std::uint64_t declared_size) {
    const std::uint32_t full = lzma2_dictionary_size(packed_dictionary_byte);
    if (declared_size == packed_size_undeclared || declared_size >= full)
        return full;
    return std::max<std::uint32_t>(static_cast<std::uint32_t>(declared_size), LZMA_DICT_SIZE_MIN);
}

void put_le(std::uint8_t* at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get_le(const std::uint8_t* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

int pack(file_handle& source, file_handle& target) {
    // A source whose length cannot be taken is still packed; the end byte then ends it.
    const std::uint64_t declared = source.size().value_or(packed_size_undeclared);

    lzma_options_lzma options = packer_options();
    options.dict_size = encoder_dictionary(declared);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream_owner owner;
    lzma_stream* stream = owner.get();
    if (const lzma_ret ret = lzma_raw_encoder(stream, filters); ret != LZMA_OK)
        return result_of(ret);

    std::array<std::uint8_t, packed_header_size> header{};
    put_le(header.data(), packed_file_magic, 4);
    put_le(header.data() + 4, declared, 8);
    header[12] = packed_dictionary_byte;
    if (!write_fully(target, header.data(), header.size()))
        return lzma2_result::write_error;

    std::vector<std::uint8_t> in(step_size);
    std::vector<std::uint8_t> out(step_size);
    std::uint64_t total_read = 0;
    bool end_of_source = false;
    for (;;) {
        if (stream->avail_in == 0 && !end_of_source) {
            const auto got = read_fully(source, in.data(), in.size());
            if (!got)
                return lzma2_result::read_error;
            end_of_source = *got == 0;
            total_read += *got;
            stream->next_in = in.data();
            stream->avail_in = *got;
        }
        stream->next_out = out.data();
        stream->avail_out = out.size();
        const lzma_ret ret = lzma_code(stream, end_of_source ? LZMA_FINISH : LZMA_RUN);
        const std::size_t produced = out.size() - stream->avail_out;
        if (produced != 0 && !write_fully(target, out.data(), produced))
            return lzma2_result::write_error;
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK)
            return result_of(ret);
    }
    // A source that grew or shrank while we read it would leave a header that lies about
    // the content; report it rather than publish such a file.
    if (declared != packed_size_undeclared && total_read != declared)
        return lzma2_result::read_error;
    return lzma2_result::ok;
}

// Decodes the raw stream that follows the header. With a declared size the output stops
// there (anything after it is not looked at) and a stream that ends earlier is an error;
// without one the stream's end byte ends the file.
int decode_lzma2_stream(lzma_stream* stream, file_handle& source, byte_sink& target, std::uint64_t declared) {
    const bool size_declared = declared != packed_size_undeclared;
    std::uint64_t remaining = declared;
    std::vector<std::uint8_t> in(step_size);
    std::vector<std::uint8_t> out(step_size);
    std::size_t in_position = 0;
    std::size_t in_fill = 0;
    bool stream_finished = false;
    for (;;) {
        if (in_position == in_fill) {
            const auto got = read_fully(source, in.data(), in.size());
            if (!got)
                return lzma2_result::read_error;
            in_position = 0;
            in_fill = *got;
        }
        const std::size_t wanted =
            size_declared && remaining < step_size ? static_cast<std::size_t>(remaining) : step_size;
        stream->next_in = in.data() + in_position;
        stream->avail_in = in_fill - in_position;
        stream->next_out = out.data();
        stream->avail_out = wanted;
        // Once the end byte was seen the coder has nothing more to give; asking again
        // would be a misuse of liblzma.
        const lzma_ret ret = stream_finished ? LZMA_STREAM_END : lzma_code(stream, LZMA_RUN);
        const std::size_t consumed = (in_fill - in_position) - stream->avail_in;
        const std::size_t produced = wanted - stream->avail_out;
        in_position += consumed;
        remaining -= produced;
        if (produced != 0 && !target.write(out.data(), produced))
            return lzma2_result::write_error;
        if (ret == LZMA_STREAM_END)
            stream_finished = true;
        else if (ret != LZMA_OK && ret != LZMA_BUF_ERROR)
            return result_of(ret);
        if (size_declared && remaining == 0)
            return lzma2_result::ok;
        if (consumed == 0 && produced == 0) {
            if (size_declared)
                return lzma2_result::data_error; // the stream ended before the declared size
            return stream_finished ? lzma2_result::ok : lzma2_result::data_error;
        }
    }
}

struct packed_header {
    std::uint64_t declared = 0;
    std::uint8_t dictionary_byte = 0;
};

std::optional<packed_header> read_header(file_handle& source) {
    std::array<std::uint8_t, packed_header_size> header{};
    const auto got = read_fully(source, header.data(), header.size());
    if (!got || *got != header.size() || get_le(header.data(), 4) != packed_file_magic)
        return std::nullopt;
    return packed_header{get_le(header.data() + 4, 8), header[12]};
}

// A file_handle as a sink, for the whole-file conversions.
class file_sink final : public byte_sink {
public:
    explicit file_sink(file_handle& file) : file_(file) {}
    bool write(const void* data, std::size_t size) override { return write_fully(file_, data, size); }

private:
    file_handle& file_;
};

int unpack(file_handle& source, byte_sink& target, std::uint64_t memory_limit) {
    const auto header = read_header(source);
    if (!header)
        return lzma2_result::data_error;
    const std::uint64_t declared = header->declared;
    const std::uint8_t dictionary_byte = header->dictionary_byte;
    if (dictionary_byte > 40)
        return lzma2_result::unsupported;

    // The dictionary only ever holds output already written, so a dictionary larger than
    // the declared size is never used; taking the smaller one keeps a header that claims a
    // 4 GiB dictionary for a small file from costing 4 GiB.
    std::uint64_t dictionary = lzma2_dictionary_size(dictionary_byte);
    if (declared != packed_size_undeclared)
        dictionary =
            std::min<std::uint64_t>(dictionary, std::max<std::uint64_t>(declared, LZMA_DICT_SIZE_MIN));
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 5);
    options.dict_size = static_cast<std::uint32_t>(dictionary);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    // Refused before anything is allocated: a limit is a clear answer, an allocation that
    // may or may not succeed is not.
    if (lzma_raw_decoder_memusage(filters) > memory_limit)
        return lzma2_result::unsupported;

    lzma_stream_owner owner;
    if (const lzma_ret ret = lzma_raw_decoder(owner.get(), filters); ret != LZMA_OK)
        return result_of(ret);
    return decode_lzma2_stream(owner.get(), source, target, declared);
}

} // namespace

std::uint32_t lzma2_dictionary_size(std::uint8_t dictionary_byte) {
    if (dictionary_byte > 40)
        return 0;
    if (dictionary_byte == 40)
        return 0xFFFFFFFFU;
    return (2U | (dictionary_byte & 1U)) << (dictionary_byte / 2 + 11);
}

int lzma2_file_codec(bool unpack_file, const std::wstring& source_path, const std::wstring& target_path) {
    return lzma2_file_codec(unpack_file, source_path, target_path, lzma2_default_memory_limit);
}

int lzma2_file_codec(bool unpack_file, const std::wstring& source_path, const std::wstring& target_path,
                     std::uint64_t memory_limit) {
    file_handle source = file_handle::open_read(source_path);
    if (!source.is_open())
        return lzma2_result::cannot_open;
    file_handle target = file_handle::create_write(target_path);
    if (!target.is_open())
        return lzma2_result::cannot_open;
    if (!unpack_file)
        return pack(source, target);
    file_sink sink(target);
    return unpack(source, sink, memory_limit);
}

int lzma2_unpack_to(const std::wstring& source_path, byte_sink& target, std::uint64_t memory_limit) {
    file_handle source = file_handle::open_read(source_path);
    if (!source.is_open())
        return lzma2_result::cannot_open;
    return unpack(source, target, memory_limit);
}

std::optional<std::uint64_t> read_packed_size(const std::wstring& path) {
    file_handle source = file_handle::open_read(path);
    if (!source.is_open())
        return std::nullopt;
    const auto header = read_header(source);
    if (!header)
        return std::nullopt;
    return header->declared;
}

} // namespace qz4
