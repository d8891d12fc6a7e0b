// cache.json and its binary companion. The companion: a magic line; the size and write time
// of the cache.json it belongs to; the entry count; per entry its key, stamp, server copy
// (a presence byte, size, write time, the record's update number and remote text) and record text, lengths
// before texts, all numbers little-endian; then the SHA-1 text of everything before it. Anything that does
// not add up makes it stale.
#include "patchmaker/publisher_cache.hpp"

#include "common/byte_buffer.hpp"
#include "common/sha1.hpp"
#include "update/documents/file_cache.hpp"
#include "update/documents/json_document.hpp"

#include <algorithm>

namespace qz4 {

namespace {

constexpr std::string_view companion_magic = "qz4 publisher cache 2\n";
constexpr std::size_t checksum_length = 40;

void put_number(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void put_text(std::string& out, std::string_view text) {
    put_number(out, text.size(), 4);
    out.append(text);
}

// Reads the companion front to back; any read past its end fails it for good.
class companion_reader {
public:
    explicit companion_reader(std::string_view bytes) : bytes_(bytes) {}

    std::optional<std::uint64_t> number(int bytes) {
        if (!take(static_cast<std::size_t>(bytes)))
            return std::nullopt;
        std::uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) |
                    static_cast<std::uint8_t>(
                        bytes_[position_ - static_cast<std::size_t>(bytes) + static_cast<std::size_t>(i)]);
        return value;
    }

    std::optional<std::string_view> text() {
        const auto length = number(4);
        if (!length || !take(*length))
            return std::nullopt;
        return bytes_.substr(position_ - *length, *length);
    }

    [[nodiscard]] bool at_end() const { return position_ == bytes_.size(); }

private:
    bool take(std::uint64_t count) {
        if (count > bytes_.size() - position_)
            return false;
        position_ += static_cast<std::size_t>(count);
        return true;
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
};

std::optional<cached_file> read_entry(companion_reader& reader) {
    cached_file entry;
    const auto stamp = reader.number(8);
    const auto has_copy = reader.number(1);
    const auto copy_size = reader.number(8);
    const auto copy_time = reader.number(8);
    const auto copy_update = reader.number(4);
    const auto copy_remote = reader.text();
    const auto record = reader.text();
    if (!stamp || !has_copy || !copy_size || !copy_time || !copy_update || !copy_remote || !record ||
        *has_copy > 1)
        return std::nullopt;
    entry.stamp = *stamp;
    if (*has_copy == 1)
        entry.copy = proven_copy{
            {*copy_size, *copy_time}, static_cast<std::uint32_t>(*copy_update), std::string(*copy_remote)};
    entry.record = std::string(*record);
    return entry;
}

bool same_entry(const cached_file& a, const cached_file& b) {
    return a.stamp == b.stamp && a.record == b.record;
}

} // namespace

std::string compact_text(const nlohmann::json& value) {
    std::string text = json_text_compact(value);
    if (text.ends_with("\r\n"))
        text.resize(text.size() - 2);
    return text;
}

void publisher_cache::load(const std::wstring& document_path, const std::wstring& companion_path) {
    const std::lock_guard lock(mutex_);
    entries_.clear();
    irregular_ = false;
    source_ = cache_source::nothing;
    if (const auto document_status = stat_plain_file(document_path)) {
        if (load_companion(companion_path, *document_status))
            return;
        entries_.clear();
    }
    load_document(document_path);
}

bool publisher_cache::load_companion(const std::wstring& companion_path,
                                     const plain_file_status& document_status) {
    byte_buffer buffer;
    if (!read_file_bytes(companion_path, buffer) || buffer.length < companion_magic.size() + checksum_length)
        return false;
    const std::string_view bytes(reinterpret_cast<const char*>(buffer.data()), buffer.length);
    const std::string_view payload = bytes.substr(0, bytes.size() - checksum_length);
    if (!payload.starts_with(companion_magic) || sha1_text(payload) != bytes.substr(payload.size()))
        return false;
    companion_reader reader(payload.substr(companion_magic.size()));
    const auto size = reader.number(8);
    const auto time = reader.number(8);
    const auto count = reader.number(8);
    if (!size || !time || !count || plain_file_status{*size, *time} != document_status)
        return false;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const auto key = reader.text();
        if (!key)
            return false;
        auto entry = read_entry(reader);
        if (!entry)
            return false;
        entries_.insert_or_assign(std::string(*key), std::move(*entry));
    }
    if (!reader.at_end())
        return false;
    source_ = cache_source::companion;
    return true;
}

// Takes cache.json as the launcher's file cache reads it; an entry this cache cannot hold as
// it was is left out, which the run then treats as a change.
void publisher_cache::load_document(const std::wstring& document_path) {
    file_cache document;
    document.load(document_path);
    const nlohmann::json value = document.snapshot();
    if (!value.is_object())
        return;
    source_ = cache_source::document;
    irregular_ = value.empty();
    for (const auto& [key, entry] : value.items()) {
        const bool usable = entry.is_object() && entry.size() == 2 && entry.contains("data") &&
                            entry.contains("cache") && entry.at("cache").is_number_unsigned();
        if (!usable) {
            irregular_ = true;
            continue;
        }
        entries_.insert_or_assign(key, cached_file{entry.at("cache").get<std::uint64_t>(),
                                                   compact_text(entry.at("data")), std::nullopt});
    }
}

bool publisher_cache::save(const std::wstring& document_path, const std::wstring& companion_path,
                           const publisher_cache& loaded) const {
    const std::lock_guard lock(mutex_);
    bool document_current = false;
    if (&loaded != this && loaded.source_ != cache_source::nothing && same_document_locked(loaded)) {
        // The companion was written with the cache.json it names; a cache.json read on its own
        // may still be laid out differently from ours.
        document_current = loaded.source_ == cache_source::companion;
        if (!document_current) {
            byte_buffer present;
            document_current = read_file_bytes(document_path, present) &&
                               std::string_view(reinterpret_cast<const char*>(present.data()),
                                                present.length) == document_text();
        }
    }
    if (!document_current && !write_document_text(document_path, document_text()))
        return false;
    if (document_current && loaded.source_ == cache_source::companion && same_copies(loaded))
        return true;
    // Without the companion the next run reads cache.json: slower, never wrong.
    const auto document_status = stat_plain_file(document_path);
    if (!document_status || !write_document_text(companion_path, companion_bytes(*document_status)))
        delete_file_now(companion_path);
    return true;
}

const cached_file* publisher_cache::find(const std::string& key) const {
    const auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : &found->second;
}

void publisher_cache::store(const std::string& key, cached_file entry) {
    const std::lock_guard lock(mutex_);
    entries_.insert_or_assign(key, std::move(entry));
}

bool publisher_cache::same_document(const publisher_cache& other) const {
    const std::lock_guard lock(mutex_);
    return same_document_locked(other);
}

bool publisher_cache::same_document_locked(const publisher_cache& other) const {
    return !irregular_ && !other.irregular_ &&
           std::equal(entries_.begin(), entries_.end(), other.entries_.begin(), other.entries_.end(),
                      [](const auto& a, const auto& b) {
                          return a.first == b.first && same_entry(a.second, b.second);
                      });
}

bool publisher_cache::same_copies(const publisher_cache& other) const {
    return std::equal(
        entries_.begin(), entries_.end(), other.entries_.begin(), other.entries_.end(),
        [](const auto& a, const auto& b) { return a.first == b.first && a.second.copy == b.second.copy; });
}

// What the launcher's file cache would write: null without entries.
std::string publisher_cache::document_text() const {
    nlohmann::json value;
    for (const auto& [key, entry] : entries_)
        value[key] = {{"cache", entry.stamp}, {"data", parse_json_text(entry.record)}};
    return json_text_pretty(value);
}

std::string publisher_cache::companion_bytes(const plain_file_status& document_status) const {
    std::string out(companion_magic);
    put_number(out, document_status.size, 8);
    put_number(out, document_status.write_time, 8);
    put_number(out, entries_.size(), 8);
    for (const auto& [key, entry] : entries_) {
        put_text(out, key);
        put_number(out, entry.stamp, 8);
        put_number(out, entry.copy ? 1 : 0, 1);
        put_number(out, entry.copy ? entry.copy->status.size : 0, 8);
        put_number(out, entry.copy ? entry.copy->status.write_time : 0, 8);
        put_number(out, entry.copy ? entry.copy->update : 0, 4);
        put_text(out, entry.copy ? std::string_view(entry.copy->remote) : std::string_view());
        put_text(out, entry.record);
    }
    out += sha1_text(out);
    return out;
}

} // namespace qz4
