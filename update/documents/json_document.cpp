// JSON layouts, safe document writing and the lenient number reading of our documents.
#include "update/documents/json_document.hpp"

#include "common/byte_buffer.hpp"
#include "common/file_handle.hpp"
#include "common/file_system.hpp"

#include <cmath>

namespace qz4 {

namespace {

// File names reach the documents as UTF-8 converted from the system's names; a name that is
// not valid Unicode must not make a whole document unwritable, so such bytes are written as
// U+FFFD instead of raising an error.
constexpr auto utf8_errors = nlohmann::json::error_handler_t::replace;

std::string with_crlf(const std::string& text) {
    // The library escapes line breaks inside strings, so every '\n' here is a layout break.
    std::string result;
    result.reserve(text.size() + text.size() / 16 + 2);
    for (const char c : text) {
        if (c == '\n')
            result += '\r';
        result += c;
    }
    result += "\r\n";
    return result;
}

} // namespace

bool write_document_text(const std::wstring& path, std::string_view text) {
    const std::wstring temporary = path + L".tmp";
    bool written = false;
    {
        file_handle file = file_handle::create_write(temporary);
        if (!file.is_open())
            return false;
        written = write_fully(file, text.data(), text.size());
    }
    if (written && move_file_replace(temporary, path))
        return true;
    delete_file_now(temporary);
    return false;
}

namespace {

std::uint64_t truncated_low_bits(double value) {
    if (!std::isfinite(value))
        return 0;
    // Truncate, then keep the low 64 bits of the integer (two's complement for negatives).
    // A plain cast would be undefined outside the target's range; fmod and the one
    // correction step are exact, so the result is the true low bits.
    constexpr double two_to_63 = 9223372036854775808.0;
    constexpr double two_to_64 = 2 * two_to_63;
    double reduced = std::fmod(std::trunc(value), two_to_64);
    if (reduced >= two_to_63)
        reduced -= two_to_64;
    else if (reduced < -two_to_63)
        reduced += two_to_64;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(reduced));
}

} // namespace

std::string json_text_pretty(const nlohmann::json& value) {
    return with_crlf(value.dump(4, ' ', false, utf8_errors));
}

std::string json_text_compact(const nlohmann::json& value) {
    return with_crlf(value.dump(-1, ' ', false, utf8_errors));
}

bool write_json_pretty(const std::wstring& path, const nlohmann::json& value) {
    return write_document_text(path, json_text_pretty(value));
}

bool write_json_compact(const std::wstring& path, const nlohmann::json& value) {
    return write_document_text(path, json_text_compact(value));
}

namespace {

// Offset of the first bracket that opens a level beyond `limit`, or npos. Brackets inside
// strings do not count. On malformed text the count may be off after the first error, but
// the parser stops there anyway, so what it would build is never deeper than counted.
std::size_t first_bracket_beyond(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return i;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return std::string_view::npos;
}

} // namespace

nlohmann::json parse_json_text(std::string_view text) {
    // Measured before parsing: the parser itself does not recurse, but everything done with
    // the value afterwards does, and a refusal here costs one pass over the text.
    if (const std::size_t at = first_bracket_beyond(text, json_depth_limit); at != std::string_view::npos)
        throw nlohmann::json::parse_error::create(
            101, at + 1, "nested deeper than " + std::to_string(json_depth_limit) + " levels", nullptr);
    // The library's reader ends the document at a zero byte, which never belongs to JSON
    // text: a server's document with junk after one would be taken as the part before it.
    if (const std::size_t at = text.find('\0'); at != std::string_view::npos)
        throw nlohmann::json::parse_error::create(101, at + 1, "a zero byte in the document", nullptr);
    return nlohmann::json::parse(text.begin(), text.end());
}

nlohmann::json parse_json_file(const std::wstring& path) {
    byte_buffer buffer;
    if (!read_file_bytes(path, buffer))
        buffer.length = 0;
    return parse_json_text(std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.length));
}

const nlohmann::json& json_member(const nlohmann::json& object, std::string_view key) {
    static const nlohmann::json null_value;
    if (object.is_null())
        return null_value;
    if (!object.is_object()) {
        // Let the library raise its own error with its own text.
        nlohmann::json probe(object.type());
        (void)probe[std::string(key)];
        return null_value;
    }
    const auto found = object.find(key);
    return found == object.end() ? null_value : *found;
}

std::uint64_t json_number_u64(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned:
        return value.get<std::uint64_t>();
    case nlohmann::json::value_t::number_integer:
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    case nlohmann::json::value_t::number_float:
        return truncated_low_bits(value.get<double>());
    case nlohmann::json::value_t::boolean:
        return value.get<bool>() ? 1 : 0;
    default:
        return value.get<std::uint64_t>(); // raises the library's type error
    }
}

std::uint32_t json_number_u32(const nlohmann::json& value) {
    return static_cast<std::uint32_t>(json_number_u64(value));
}

namespace {

// Raises the library's out-of-range error unless the value is a whole number from 0 to
// `limit`; a boolean is 0 or 1, any other type is left to the caller's typed reading.
void require_whole_number_up_to(const nlohmann::json& value, std::uint64_t limit, const char* range) {
    bool fits = true;
    switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned:
        fits = value.get<std::uint64_t>() <= limit;
        break;
    case nlohmann::json::value_t::number_integer:
        fits =
            value.get<std::int64_t>() >= 0 && static_cast<std::uint64_t>(value.get<std::int64_t>()) <= limit;
        break;
    case nlohmann::json::value_t::number_float: {
        // Compared below limit + 1, a power of two that a double holds exactly: limit itself
        // may round up to it.
        const double number = value.get<double>();
        const double beyond = static_cast<double>(limit / 2 + 1) * 2.0;
        fits = number >= 0 && number < beyond && std::trunc(number) == number;
        break;
    }
    default:
        break; // a boolean, or the type error of the typed reading
    }
    if (!fits)
        throw nlohmann::json::out_of_range::create(
            406, std::string("number does not fit ") + range + ": " + value.dump(), &value);
}

} // namespace

std::uint32_t json_number_exact_u32(const nlohmann::json& value) {
    require_whole_number_up_to(value, 0xFFFFFFFFU, "32 bits");
    return json_number_u32(value);
}

std::uint64_t json_number_exact_size(const nlohmann::json& value) {
    require_whole_number_up_to(value, largest_json_size, "a file size");
    return json_number_u64(value);
}

} // namespace qz4
