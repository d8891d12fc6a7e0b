// The file cache and file stamps.
#include "update/documents/file_cache.hpp"

#include "common/byte_buffer.hpp"
#include "common/encoding.hpp"
#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "update/documents/json_document.hpp"

namespace qz4 {

std::optional<std::uint64_t> file_stamp(const std::wstring& path) {
    const file_handle file = file_handle::open_read(path);
    if (!file.is_open())
        return std::nullopt;
    return file_stamp(file);
}

std::optional<std::uint64_t> file_stamp(const file_handle& file) {
    const auto size = file.size();
    const auto written = file.last_write_time();
    if (!size || !written)
        return std::nullopt;
    return *size ^ *written;
}

void file_cache::load(const std::wstring& path) {
    nlohmann::json loaded;
    byte_buffer buffer;
    if (read_file_bytes(path, buffer)) {
        try {
            loaded = parse_json_text(
                std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.length));
        } catch (const nlohmann::json::exception&) {
            loaded = nullptr; // malformed, too deep, or a number beyond a double
        }
        // A document that is not an object cannot hold entries; keeping it would make every
        // later store fail and the bad document be saved again, run after run.
        if (!loaded.is_object())
            loaded = nullptr;
    }
    const std::lock_guard lock(mutex_);
    value_ = std::move(loaded);
    changed_ = false;
}

bool file_cache::save(const std::wstring& path) const {
    std::string text;
    {
        const std::lock_guard lock(mutex_);
        text = json_text_pretty(value_);
    }
    return write_document_text(path, text);
}

bool file_cache::lookup(std::string_view key, const std::wstring& file, nlohmann::json* data) const {
    // Stamped before the lock is taken: it reads the file, not the document.
    const auto stamp = file_stamp(file);
    return stamp && lookup_stamp(key, *stamp, data);
}

bool file_cache::lookup_stamp(std::string_view key, std::uint64_t stamp, nlohmann::json* data) const {
    const std::lock_guard lock(mutex_);
    if (!value_.is_object())
        return false;
    const auto entry = value_.find(key);
    if (entry == value_.end() || !entry->is_object())
        return false;
    const auto cache = entry->find("cache");
    if (cache == entry->end() || !cache->is_number() || json_number_u64(*cache) != stamp)
        return false;
    if (data != nullptr) {
        const auto found = entry->find("data");
        *data = found == entry->end() ? nlohmann::json() : *found;
    }
    return true;
}

bool file_cache::lookup(std::wstring_view key, const std::wstring& file, nlohmann::json* data) const {
    return lookup(std::string_view(wide_to_utf8(key)), file, data);
}

bool file_cache::store(std::string_view key, const std::wstring& file, const nlohmann::json* data) {
    const auto stamp = file_stamp(file);
    return stamp && store_stamp(key, *stamp, data);
}

bool file_cache::store_stamp(std::string_view key, std::uint64_t stamp, const nlohmann::json* data) {
    nlohmann::json entry = {{"cache", stamp}};
    if (data != nullptr)
        entry["data"] = *data;
    const std::lock_guard lock(mutex_);
    if (!value_.is_null() && !value_.is_object())
        return false;
    nlohmann::json& held = value_[std::string(key)];
    if (held != entry) {
        held = std::move(entry);
        changed_ = true;
    }
    return true;
}

bool file_cache::store(std::wstring_view key, const std::wstring& file, const nlohmann::json* data) {
    return store(std::string_view(wide_to_utf8(key)), file, data);
}

bool file_cache::changed() const {
    const std::lock_guard lock(mutex_);
    return changed_;
}

nlohmann::json file_cache::snapshot() const {
    const std::lock_guard lock(mutex_);
    return value_;
}

} // namespace qz4
