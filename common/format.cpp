// The C libraries disagree about %s and %S in wide formats (glibc and MinGW's C99 mode take
// a narrow string for %s, the Microsoft runtime a wide one). Rather than translate letters
// for each runtime, each conversion is decoded here and only single numeric conversions are
// handed to snprintf, whose meaning is the same everywhere.
#include "common/format.hpp"

#include "common/encoding.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string_view>
#include <type_traits>

namespace qz4 {

namespace {

enum class length_kind { none, hh, h, l, ll, j, z, t, big_l };

template <typename Char> struct conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    length_kind length = length_kind::none;
    char letter = 0;
    Char raw_letter = 0;
};

template <typename Char> class formatter {
public:
    formatter(std::basic_string_view<Char> format, std::va_list* args) : format_(format), args_(args) {}

    std::basic_string<Char> run() {
        std::size_t i = 0;
        while (i < format_.size()) {
            const Char c = format_[i++];
            if (c != Char('%')) {
                out_.push_back(c);
                continue;
            }
            conversion<Char> directive;
            if (!parse(i, directive)) {
                // An incomplete conversion at the end is copied as it stands.
                out_.push_back(Char('%'));
                continue;
            }
            emit(directive);
        }
        return std::move(out_);
    }

private:
    static constexpr bool is_wide = sizeof(Char) > 1;

    bool parse(std::size_t& i, conversion<Char>& directive) {
        const std::size_t start = i;
        while (i < format_.size() && std::basic_string_view<Char>(flag_chars()).find(format_[i]) !=
                                         std::basic_string_view<Char>::npos)
            directive.flags.push_back(static_cast<char>(format_[i++]));
        directive.width = parse_number(i);
        if (star_was_used_ && directive.width < 0) {
            // A negative width taken from the arguments means left alignment.
            directive.flags.push_back('-');
            directive.width = -directive.width;
        }
        if (i < format_.size() && format_[i] == Char('.')) {
            ++i;
            // A missing precision is zero; a negative one from the arguments is no precision.
            directive.precision = parse_number(i);
            if (directive.precision < 0)
                directive.precision = star_was_used_ ? -1 : 0;
        }
        directive.length = parse_length(i);
        if (i >= format_.size()) {
            i = start;
            return false;
        }
        directive.raw_letter = format_[i++];
        directive.letter = (directive.raw_letter >= Char(0x20) && directive.raw_letter < Char(0x7f))
                               ? static_cast<char>(directive.raw_letter)
                               : '?';
        return true;
    }

    static const Char* flag_chars() {
        if constexpr (is_wide)
            return L"-+ #0";
        else
            return "-+ #0";
    }

    // Digits, or '*' for a value taken from the arguments; -1 when neither is there
    // (or the digits are absent). star_was_used_ tells the two apart.
    int parse_number(std::size_t& i) {
        star_was_used_ = false;
        if (i < format_.size() && format_[i] == Char('*')) {
            ++i;
            star_was_used_ = true;
            return va_arg(*args_, int);
        }
        int value = -1;
        while (i < format_.size() && format_[i] >= Char('0') && format_[i] <= Char('9')) {
            // Capped so that a runaway width can neither overflow nor exhaust memory.
            if (value < 1000000)
                value = (value < 0 ? 0 : value) * 10 + static_cast<int>(format_[i] - Char('0'));
            ++i;
        }
        return value;
    }

    length_kind parse_length(std::size_t& i) {
        auto next_is = [&](char c) { return i < format_.size() && format_[i] == Char(c); };
        if (next_is('h')) {
            ++i;
            if (next_is('h')) {
                ++i;
                return length_kind::hh;
            }
            return length_kind::h;
        }
        if (next_is('l')) {
            ++i;
            if (next_is('l')) {
                ++i;
                return length_kind::ll;
            }
            return length_kind::l;
        }
        if (next_is('w')) { // Microsoft: %ws is a wide string
            ++i;
            return length_kind::l;
        }
        if (next_is('I') && i + 2 < format_.size() && format_[i + 1] == Char('6') &&
            format_[i + 2] == Char('4')) {
            i += 3;
            return length_kind::ll;
        }
        if (next_is('j')) {
            ++i;
            return length_kind::j;
        }
        if (next_is('z')) {
            ++i;
            return length_kind::z;
        }
        if (next_is('t')) {
            ++i;
            return length_kind::t;
        }
        if (next_is('L')) {
            ++i;
            return length_kind::big_l;
        }
        return length_kind::none;
    }

    void emit(const conversion<Char>& directive) {
        switch (directive.letter) {
        case '%':
            out_.push_back(Char('%'));
            return;
        case 'd':
        case 'i':
            emit_number(directive, fetch_signed(directive.length));
            return;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            emit_number(directive, fetch_unsigned(directive.length));
            return;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (directive.length == length_kind::big_l)
                emit_number(directive, va_arg(*args_, long double));
            else
                emit_number(directive, va_arg(*args_, double));
            return;
        case 'p':
            emit_number(directive, va_arg(*args_, void*));
            return;
        case 'c':
        case 'C':
            emit_character(directive);
            return;
        case 's':
        case 'S':
            emit_string(directive);
            return;
        case 'n':
            // Never write through a pointer taken from a format.
            (void)va_arg(*args_, void*);
            return;
        default:
            // Unknown conversion: show it literally rather than guess at an argument.
            out_.push_back(Char('%'));
            out_.push_back(directive.raw_letter);
            return;
        }
    }

    // True when the string or character argument of this conversion is wide.
    bool wide_argument(const conversion<Char>& directive) const {
        if (directive.length == length_kind::h)
            return false;
        if (directive.length == length_kind::l)
            return true;
        const bool lower = directive.letter == 's' || directive.letter == 'c';
        return is_wide ? lower : !lower;
    }

    long long fetch_signed(length_kind length) {
        switch (length) {
        case length_kind::hh:
            return static_cast<signed char>(va_arg(*args_, int));
        case length_kind::h:
            return static_cast<short>(va_arg(*args_, int));
        case length_kind::l:
            return va_arg(*args_, long);
        case length_kind::ll:
            return va_arg(*args_, long long);
        case length_kind::j:
            return va_arg(*args_, std::intmax_t);
        case length_kind::z:
            return static_cast<long long>(va_arg(*args_, std::size_t));
        case length_kind::t:
            return va_arg(*args_, std::ptrdiff_t);
        default:
            return va_arg(*args_, int);
        }
    }

    unsigned long long fetch_unsigned(length_kind length) {
        switch (length) {
        case length_kind::hh:
            return static_cast<unsigned char>(va_arg(*args_, unsigned));
        case length_kind::h:
            return static_cast<unsigned short>(va_arg(*args_, unsigned));
        case length_kind::l:
            return va_arg(*args_, unsigned long);
        case length_kind::ll:
            return va_arg(*args_, unsigned long long);
        case length_kind::j:
            return va_arg(*args_, std::uintmax_t);
        case length_kind::z:
            return va_arg(*args_, std::size_t);
        case length_kind::t:
            return static_cast<unsigned long long>(va_arg(*args_, std::ptrdiff_t));
        default:
            return va_arg(*args_, unsigned);
        }
    }

    // Rebuilds one conversion in standard letters and lets snprintf format the value.
    template <typename Value> void emit_number(const conversion<Char>& directive, Value value) {
        std::string c_format(1, '%');
        c_format.append(directive.flags);
        if (directive.width >= 0)
            c_format.append(std::to_string(directive.width));
        if (directive.precision >= 0) {
            c_format.push_back('.');
            c_format.append(std::to_string(directive.precision));
        }
        if constexpr (std::is_same_v<Value, long long> || std::is_same_v<Value, unsigned long long>)
            c_format.append("ll");
        else if constexpr (std::is_same_v<Value, long double>)
            c_format.push_back('L');
        c_format.push_back(directive.letter);

        const int needed = std::snprintf(nullptr, 0, c_format.c_str(), value);
        if (needed <= 0)
            return;
        std::string text(static_cast<std::size_t>(needed) + 1, '\0');
        std::snprintf(text.data(), text.size(), c_format.c_str(), value);
        text.resize(static_cast<std::size_t>(needed));
        for (char c : text)
            out_.push_back(static_cast<Char>(static_cast<unsigned char>(c)));
    }

    void emit_character(const conversion<Char>& directive) {
        std::basic_string<Char> text;
        if (wide_argument(directive)) {
            // A wint_t argument arrives promoted: as int where wint_t is 16 bits (Windows).
            const wchar_t c = static_cast<wchar_t>(va_arg(*args_, decltype(+std::wint_t{})));
            text = convert(std::wstring(1, c));
        } else {
            const char c = static_cast<char>(va_arg(*args_, int));
            text = convert(std::string(1, c));
        }
        pad(directive, text);
    }

    void emit_string(const conversion<Char>& directive) {
        std::basic_string<Char> text;
        if (wide_argument(directive)) {
            const wchar_t* s = va_arg(*args_, const wchar_t*);
            std::wstring_view view = s ? std::wstring_view(s) : std::wstring_view(L"(null)");
            if (directive.precision >= 0)
                view = view.substr(0, static_cast<std::size_t>(directive.precision));
            text = convert(view);
        } else {
            const char* s = va_arg(*args_, const char*);
            std::string_view view = s ? std::string_view(s) : std::string_view("(null)");
            if (directive.precision >= 0)
                view = view.substr(0, static_cast<std::size_t>(directive.precision));
            text = convert(view);
        }
        pad(directive, text);
    }

    static std::basic_string<Char> convert(std::wstring_view text) {
        if constexpr (is_wide)
            return std::wstring(text);
        else
            return wide_to_utf8(text);
    }
    static std::basic_string<Char> convert(std::string_view text) {
        if constexpr (is_wide)
            return utf8_to_wide(text);
        else
            return std::string(text);
    }

    void pad(const conversion<Char>& directive, const std::basic_string<Char>& text) {
        const std::size_t width = directive.width > 0 ? static_cast<std::size_t>(directive.width) : 0;
        const std::size_t fill = width > text.size() ? width - text.size() : 0;
        const bool left = directive.flags.find('-') != std::string::npos;
        if (!left)
            out_.append(fill, Char(' '));
        out_.append(text);
        if (left)
            out_.append(fill, Char(' '));
    }

    std::basic_string_view<Char> format_;
    std::va_list* args_;
    std::basic_string<Char> out_;
    bool star_was_used_ = false;
};

} // namespace

std::wstring vformat_wide(const wchar_t* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    std::wstring result = formatter<wchar_t>(format ? format : L"", &copy).run();
    va_end(copy);
    return result;
}

std::string vformat_narrow(const char* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    std::string result = formatter<char>(format ? format : "", &copy).run();
    va_end(copy);
    return result;
}

std::wstring format_wide(const wchar_t* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::wstring result = vformat_wide(format, args);
    va_end(args);
    return result;
}

std::string format_narrow(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string result = vformat_narrow(format, args);
    va_end(args);
    return result;
}

std::wstring format_byte_size(std::uint64_t bytes) {
    static constexpr const wchar_t* units[] = {L"KiB", L"MiB", L"GiB", L"TiB", L"PiB", L"EiB"};
    if (bytes < 1024)
        return format_wide(L"%llu B", static_cast<unsigned long long>(bytes));
    std::uint64_t unit = 1024;
    for (std::size_t i = 0;; ++i, unit *= 1024) {
        // In integers: a double would round sizes near 2^64. The remainder times ten stays
        // below 2^64 for every unit up to EiB.
        const std::uint64_t remainder = bytes % unit;
        const std::uint64_t tenths = bytes / unit * 10 + (remainder * 10 + unit / 2) / unit;
        if (tenths < 10240 || i + 1 == std::size(units))
            return format_wide(L"%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                               static_cast<unsigned long long>(tenths % 10), units[i]);
    }
}

std::string lower_hex_text(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

} // namespace qz4
