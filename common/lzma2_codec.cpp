// Packing and unpacking of the .lzma2 container on the LZMA SDK's LZMA2 coder. Both
// directions stream the file; nothing grows with its size.
#include "common/lzma2_codec.hpp"

#include "common/file_handle.hpp"

extern "C" {
#include <lzma-sdk/Alloc.h>
#include <lzma-sdk/Lzma2Dec.h>
#include <lzma-sdk/Lzma2Enc.h>
}

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace qz4 {

namespace {

constexpr std::size_t step_size = 64 * 1024;
// One adapter call moves at most this much per system call, so that a huge request never
// meets a system that refuses it.
constexpr std::size_t largest_transfer = 4 * 1024 * 1024;
// The decoder's probability tables at the largest lc + lp LZMA2 allows, with room to spare.
constexpr std::uint64_t decoder_tables = 64 * 1024;

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

// The SDK's stream interfaces over our file handles. Its match finder reads the source on a
// thread of its own; the handle is used by nobody else during the call.
struct input_adapter {
    ISeqInStream vt{&input_adapter::read};
    file_handle* file = nullptr;
    std::uint64_t total = 0;

    static SRes read(ISeqInStreamPtr self, void* buffer, size_t* size) {
        auto* adapter = reinterpret_cast<input_adapter*>(const_cast<ISeqInStream*>(self));
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        while (done < *size) {
            const auto got = adapter->file->read_some(bytes + done, std::min(*size - done, largest_transfer));
            if (!got) {
                *size = done;
                return SZ_ERROR_READ;
            }
            if (*got == 0)
                break;
            done += *got;
        }
        *size = done;
        adapter->total += done;
        return SZ_OK;
    }
};
static_assert(std::is_standard_layout_v<input_adapter>);

struct output_adapter {
    ISeqOutStream vt{&output_adapter::write};
    file_handle* file = nullptr;

    static size_t write(ISeqOutStreamPtr self, const void* buffer, size_t size) {
        auto* adapter = reinterpret_cast<output_adapter*>(const_cast<ISeqOutStream*>(self));
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        std::size_t done = 0;
        while (done < size) {
            const std::size_t part = std::min(size - done, largest_transfer);
            if (!write_fully(*adapter->file, bytes + done, part))
                break;
            done += part;
        }
        return done;
    }
};
static_assert(std::is_standard_layout_v<output_adapter>);

// The SDK's page allocator, counting what it holds so that callers can budget encoders.
struct counting_page_allocator {
    ISzAlloc vt{&counting_page_allocator::allocate, &counting_page_allocator::release};
    std::vector<std::pair<void*, std::size_t>> blocks;
    std::uint64_t held = 0;

    static void* allocate(ISzAllocPtr self, size_t size) {
        auto* allocator = reinterpret_cast<counting_page_allocator*>(const_cast<ISzAlloc*>(self));
        void* block = ISzAlloc_Alloc(&g_BigAlloc, size);
        if (block != nullptr) {
            try {
                allocator->blocks.emplace_back(block, size);
            } catch (const std::bad_alloc&) {
                ISzAlloc_Free(&g_BigAlloc, block);
                return nullptr;
            }
            allocator->held += size;
        }
        return block;
    }
    static void release(ISzAllocPtr self, void* block) {
        if (block == nullptr)
            return;
        auto* allocator = reinterpret_cast<counting_page_allocator*>(const_cast<ISzAlloc*>(self));
        const auto found = std::find_if(allocator->blocks.begin(), allocator->blocks.end(),
                                        [block](const auto& entry) { return entry.first == block; });
        if (found != allocator->blocks.end()) {
            allocator->held -= found->second;
            allocator->blocks.erase(found);
        }
        ISzAlloc_Free(&g_BigAlloc, block);
    }
};
static_assert(std::is_standard_layout_v<counting_page_allocator>);

// The settings every packed file is written with: level 5 with a 16 MiB dictionary, lc3 lp0
// pb2, normal mode, BT4 with 32 cycles and 32 fast bytes, the two-thread match finder and one
// solid block. All of them are set, not left to the SDK's defaults, which have changed
// between its versions.
CLzma2EncProps packer_properties() {
    CLzma2EncProps properties;
    Lzma2EncProps_Init(&properties);
    CLzmaEncProps& lzma = properties.lzmaProps;
    lzma.level = 5;
    lzma.dictSize = lzma2_dictionary_size(packed_dictionary_byte);
    lzma.lc = 3;
    lzma.lp = 0;
    lzma.pb = 2;
    lzma.algo = 1;
    lzma.fb = 32;
    lzma.btMode = 1;
    lzma.numHashBytes = 4;
    lzma.mc = 32;
    lzma.numThreads = 2;
    properties.blockSize = LZMA2_ENC_PROPS_BLOCK_SIZE_SOLID;
    properties.numBlockThreads_Max = 1;
    properties.numTotalThreads = 2;
    return properties;
}

// Opens the source first, so that a missing source creates no target, then the target, and
// converts one into the other.
template <typename Convert>
int convert_file(const std::wstring& source_path, const std::wstring& target_path, Convert convert) {
    file_handle source = file_handle::open_read(source_path);
    if (!source.is_open())
        return lzma2_result::cannot_open;
    file_handle target = file_handle::create_write(target_path);
    if (!target.is_open())
        return lzma2_result::cannot_open;
    return convert(source, target);
}

struct encoder_deleter {
    void operator()(CLzma2Enc* encoder) const { Lzma2Enc_Destroy(encoder); }
};

} // namespace

// The encoder with its allocators; the SDK keeps pointers to both, so they live beside it.
struct lzma2_encoder::state {
    counting_page_allocator pages;
    std::unique_ptr<CLzma2Enc, encoder_deleter> encoder;

    // Creates the encoder on first use, and again after a failure, whose aftermath inside
    // the SDK we do not rely on.
    int ready() {
        if (encoder)
            return lzma2_result::ok;
        encoder.reset(Lzma2Enc_Create(&g_AlignedAlloc, &pages.vt));
        if (!encoder)
            return lzma2_result::out_of_memory;
        const CLzma2EncProps properties = packer_properties();
        if (const SRes result = Lzma2Enc_SetProps(encoder.get(), &properties); result != SZ_OK) {
            encoder.reset();
            return result;
        }
        return lzma2_result::ok;
    }

    int pack(file_handle& source, file_handle& target) {
        if (const int result = ready(); result != lzma2_result::ok)
            return result;
        // A source whose length cannot be taken is still packed; the end byte then ends it.
        const std::uint64_t declared = source.size().value_or(packed_size_undeclared);

        std::array<std::uint8_t, packed_header_size> header{};
        put_le(header.data(), packed_file_magic, 4);
        put_le(header.data() + 4, declared, 8);
        header[12] = packed_dictionary_byte;
        output_adapter output;
        output.file = &target;
        if (output_adapter::write(&output.vt, header.data(), header.size()) != header.size())
            return lzma2_result::write_error;

        // A file smaller than the dictionary is coded with a dictionary of its own size, as
        // 7-Zip does: fewer distance prices to keep up, and a hash table cleared and used only
        // as far as the file can fill it. The match finder keeps tables that are large
        // enough, so a smaller file allocates nothing. The header still declares 16 MiB,
        // which every such stream fits.
        CLzma2EncProps properties = packer_properties();
        properties.lzmaProps.reduceSize = declared;
        if (const SRes result = Lzma2Enc_SetProps(encoder.get(), &properties); result != SZ_OK)
            return result;
        Lzma2Enc_SetDataSize(encoder.get(), declared);
        input_adapter input;
        input.file = &source;
        const SRes result =
            Lzma2Enc_Encode2(encoder.get(), &output.vt, nullptr, nullptr, &input.vt, nullptr, 0, nullptr);
        if (result != SZ_OK) {
            encoder.reset();
            return result;
        }
        // A source that grew or shrank while we read it would leave a header that lies about
        // the content; report it rather than publish such a file.
        if (declared != packed_size_undeclared && input.total != declared)
            return lzma2_result::read_error;
        return lzma2_result::ok;
    }
};

lzma2_encoder::lzma2_encoder() : state_(std::make_unique<state>()) {}

lzma2_encoder::~lzma2_encoder() = default;

int lzma2_encoder::pack(const std::wstring& source_path, const std::wstring& target_path) {
    return convert_file(source_path, target_path, [this](file_handle& source, file_handle& target) {
        return state_->pack(source, target);
    });
}

int lzma2_encoder::pack(file_handle& source, const std::wstring& target_path) {
    file_handle target = file_handle::create_write(target_path);
    if (!target.is_open())
        return lzma2_result::cannot_open;
    return state_->pack(source, target);
}

std::uint64_t lzma2_encoder::memory_held() const {
    return state_->pages.held;
}

namespace {

// Decodes the raw stream that follows the header. With a declared size the output stops
// there (anything after it is not looked at) and a stream that ends earlier is an error;
// without one the stream's end byte ends the file.
int decode_lzma2_stream(CLzma2Dec& decoder, file_handle& source, byte_sink& target, std::uint64_t declared) {
    const bool size_declared = declared != packed_size_undeclared;
    std::uint64_t remaining = declared;
    std::vector<std::uint8_t> in(step_size);
    std::vector<std::uint8_t> out(step_size);
    std::size_t in_position = 0;
    std::size_t in_fill = 0;
    for (;;) {
        if (in_position == in_fill) {
            const auto got = read_fully(source, in.data(), in.size());
            if (!got)
                return lzma2_result::read_error;
            in_position = 0;
            in_fill = *got;
        }
        SizeT produced =
            size_declared && remaining < step_size ? static_cast<std::size_t>(remaining) : step_size;
        SizeT consumed = in_fill - in_position;
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        // Never "must end here": a declared size may cut a stream anywhere, and the bytes up
        // to it are the file.
        const SRes result = Lzma2Dec_DecodeToBuf(&decoder, out.data(), &produced, in.data() + in_position,
                                                 &consumed, LZMA_FINISH_ANY, &status);
        in_position += consumed;
        remaining -= produced;
        if (produced != 0 && !target.write(out.data(), produced))
            return lzma2_result::write_error;
        if (result != SZ_OK)
            return result;
        if (size_declared && remaining == 0)
            return lzma2_result::ok;
        if (consumed == 0 && produced == 0) {
            if (size_declared)
                return lzma2_result::data_error; // the stream ended before the declared size
            return status == LZMA_STATUS_FINISHED_WITH_MARK ? lzma2_result::ok : lzma2_result::data_error;
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

// The dictionary byte the decoder is given. The dictionary only ever holds output already
// written, so one larger than the declared size is never used; the smallest byte that covers
// the declared size keeps a header that claims a 4 GiB dictionary for a small file from
// costing 4 GiB.
std::uint8_t decoder_dictionary_byte(const packed_header& header) {
    if (header.declared == packed_size_undeclared)
        return header.dictionary_byte;
    for (std::uint8_t byte = 0; byte < header.dictionary_byte; ++byte) {
        if (lzma2_dictionary_size(byte) >= header.declared)
            return byte;
    }
    return header.dictionary_byte;
}

// What the SDK's decoder takes for its dictionary: the size rounded up as it rounds it.
std::uint64_t decoder_memory(std::uint8_t dictionary_byte) {
    const std::uint64_t dictionary = lzma2_dictionary_size(dictionary_byte);
    std::uint64_t mask = (1U << 12) - 1;
    if (dictionary >= (1U << 30))
        mask = (1U << 22) - 1;
    else if (dictionary >= (1U << 22))
        mask = (1U << 20) - 1;
    return ((dictionary + mask) & ~mask) + decoder_tables;
}

struct decoder_owner {
    CLzma2Dec decoder;
    decoder_owner() { Lzma2Dec_CONSTRUCT(&decoder); }
    ~decoder_owner() { Lzma2Dec_Free(&decoder, &g_AlignedAlloc); }
    decoder_owner(const decoder_owner&) = delete;
    decoder_owner& operator=(const decoder_owner&) = delete;
};

int unpack(file_handle& source, byte_sink& target, std::uint64_t memory_limit) {
    const auto header = read_header(source);
    if (!header)
        return lzma2_result::data_error;
    if (header->dictionary_byte > 40)
        return lzma2_result::unsupported;
    const std::uint8_t dictionary_byte = decoder_dictionary_byte(*header);
    // Refused before anything is allocated: a limit is a clear answer, an allocation that
    // may or may not succeed is not.
    if (decoder_memory(dictionary_byte) > memory_limit)
        return lzma2_result::unsupported;

    decoder_owner owner;
    if (const SRes result = Lzma2Dec_Allocate(&owner.decoder, dictionary_byte, &g_AlignedAlloc);
        result != SZ_OK)
        return result;
    Lzma2Dec_Init(&owner.decoder);
    return decode_lzma2_stream(owner.decoder, source, target, header->declared);
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
    if (!unpack_file)
        return lzma2_encoder().pack(source_path, target_path);
    return convert_file(source_path, target_path, [memory_limit](file_handle& source, file_handle& target) {
        file_sink sink(target);
        return unpack(source, sink, memory_limit);
    });
}

int lzma2_unpack_to(const std::wstring& source_path, byte_sink& target, std::uint64_t memory_limit) {
    file_handle source = file_handle::open_read(source_path);
    if (!source.is_open())
        return lzma2_result::cannot_open;
    return unpack(source, target, memory_limit);
}

std::optional<std::uint64_t> read_packed_size(const std::wstring& path) {
    const auto facts = read_packed_facts(path);
    return facts ? std::optional(facts->declared) : std::nullopt;
}

std::optional<packed_file_facts> read_packed_facts(const std::wstring& path) {
    file_handle source = file_handle::open_read(path);
    if (!source.is_open())
        return std::nullopt;
    const auto header = read_header(source);
    if (!header)
        return std::nullopt;
    const std::uint64_t memory =
        header->dictionary_byte > 40 ? ~std::uint64_t{0} : decoder_memory(decoder_dictionary_byte(*header));
    return packed_file_facts{header->declared, memory};
}

} // namespace qz4
