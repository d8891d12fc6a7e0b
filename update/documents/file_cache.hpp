// cache.json: file stamps remembered per key, so that a file that has not changed since it
// was last checked need not be hashed again. Shared by the launcher and the patch maker.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qz4 {

class file_handle;

// The file's 64-bit size XOR its last-write time (Windows file-time units), both taken from
// one open handle; nullopt when the file cannot be opened or either value cannot be read.
[[nodiscard]] std::optional<std::uint64_t> file_stamp(const std::wstring& path);
// The same for a file the caller holds open.
[[nodiscard]] std::optional<std::uint64_t> file_stamp(const file_handle& file);

class file_cache {
public:
    // Replaces the content with the document at `path`. A missing, unreadable or malformed
    // document, or one that is not an object, leaves an empty cache. Never fails.
    void load(const std::wstring& path);
    // Writes the document pretty. False when it could not be written; a previous document at
    // `path` is then left as it was.
    [[nodiscard]] bool save(const std::wstring& path) const;

    // True when an entry under `key` holds a numeric stamp equal to the file's current stamp;
    // its data (null when it has none) is then copied to `data`.
    [[nodiscard]] bool lookup(std::string_view key, const std::wstring& file,
                              nlohmann::json* data = nullptr) const;
    [[nodiscard]] bool lookup(std::wstring_view key, const std::wstring& file,
                              nlohmann::json* data = nullptr) const;

    // The same for a stamp the caller has taken already (from a handle it had open anyway).
    [[nodiscard]] bool lookup_stamp(std::string_view key, std::uint64_t stamp,
                                    nlohmann::json* data = nullptr) const;

    // Replaces the entry under `key` with the file's current stamp and, when given, the data.
    // False (and nothing changes) when the file has no stamp.
    bool store(std::string_view key, const std::wstring& file, const nlohmann::json* data = nullptr);
    bool store(std::wstring_view key, const std::wstring& file, const nlohmann::json* data = nullptr);

    // The same with a stamp the caller has taken.
    bool store_stamp(std::string_view key, std::uint64_t stamp, const nlohmann::json* data = nullptr);

    // Whether a store altered the document since it was loaded: a run that found every file
    // as recorded has nothing to save.
    [[nodiscard]] bool changed() const;

    // A copy of the whole document, taken under the lock.
    [[nodiscard]] nlohmann::json snapshot() const;

private:
    mutable std::mutex mutex_;
    nlohmann::json value_; // guarded by mutex_
    bool changed_ = false; // guarded by mutex_
};

} // namespace qz4
