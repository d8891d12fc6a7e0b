// Every text the launcher shows to the player, in English and Russian, and the one test
// that picks the language.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qz4 {

inline constexpr wchar_t game_title[] = L"Tarnwood";

enum class text_id {
    starting = 1,
    update_required_caption,
    close_instances_question,
    update_check_failed,
    error_detail,
    restart_failed,
    game_start_failed,
    connecting,
    connection_attempt,
    checking_game_files,
    checking_files,
    downloading_updates,
    download_failed_status,
    unpacking_files,
    unpack_failed_status,
    files_updated,
    time_left,
    not_enough_space,
    // Not a text: one past the last, so that the table of texts and the tests that go through
    // every text cannot leave a new one out.
    end,
};

// Every text, in the order of text_id.
[[nodiscard]] std::vector<text_id> all_text_ids();

// The English or the Russian form of a text.
[[nodiscard]] const wchar_t* text_for(text_id id, bool russian);
// The text in the language of this system.
[[nodiscard]] std::wstring localized_text(text_id id);

// True for Russian (0x0419), Ukrainian (0x0422) and Belarusian (0x0423): the whole
// identifier is compared, sublanguage included.
[[nodiscard]] bool is_russian_language(std::uint16_t language_id);
// The system language, read once per process.
[[nodiscard]] std::uint16_t system_lang_id();
[[nodiscard]] bool use_russian();

// Text of the box shown when the update run failed; the detail is appended when present.
[[nodiscard]] std::wstring update_failure_message(const std::wstring& error_text, bool russian);
// Text of the box shown when the game could not be started.
[[nodiscard]] std::wstring game_start_failure_message(std::uint32_t error_code, bool russian);

// Failure details. They reach the player only after "Error:" and exist in English only.
namespace failure_text {
inline constexpr wchar_t cannot_create_temp[] = L"Can not create temp directory.";
inline constexpr wchar_t index_download_failed[] = L"Could not download update index.";
inline constexpr wchar_t config_empty[] = L"Remote update config is empty";
inline constexpr wchar_t invalid_version[] = L"Invalid version number";
inline constexpr wchar_t config_invalid[] = L"Remote config is invalid";
inline constexpr wchar_t guid_mismatch[] = L"GUID mismatch";
inline constexpr wchar_t cancelled[] = L"Cancelled by user";
// The space the update needs, the space free (both as format_byte_size gives them), the game's folder.
inline constexpr wchar_t not_enough_space[] =
    L"Not enough disk space: the update needs %s, %s is free on %s.";
inline constexpr wchar_t download_failed[] = L"Failed to download %u files";
inline constexpr wchar_t unpack_failed[] = L"Failed to unpack %u files";
inline constexpr wchar_t file_line[] = L"\nFile: %s";
inline constexpr wchar_t download_entry[] = L"%s (%S)";
// Appended to index_download_failed when a host served a document the keys refused.
inline constexpr wchar_t signature_refused[] = L"\nRefused: no valid signature for %S";
inline constexpr wchar_t rollback_refused[] = L"\nRefused: rollback from update %u to %u";
// Appended to index_download_failed when a host was reached and refused: the URL, the
// transfer's text.
inline constexpr wchar_t tls_refused[] = L"\nRefused: no trusted https connection for %S (%S)";
inline constexpr wchar_t scheme_refused[] = L"\nRefused: %S leads to a scheme other than http and https (%S)";
inline constexpr wchar_t below_minimum_refused[] =
    L"\nRefused: update %u is older than update %u, the oldest this launcher takes";
// The update number, version.json's URL and, for an expired one, when it expired.
inline constexpr wchar_t expired_refused[] = L"\nRefused: update %u announced by %S expired at %S";
inline constexpr wchar_t expiry_missing[] = L"\nRefused: update %u announced by %S has no expiry time";
// What the disk refused, each on a line of its own after the texts above.
inline constexpr wchar_t cannot_create_file[] = L"Cannot create file: %s (error %u)";
inline constexpr wchar_t cannot_open_file[] = L"Cannot open file: %s (error %u)";
inline constexpr wchar_t write_failed[] = L"Write failed: %s";
inline constexpr wchar_t rename_failed[] = L"Rename failed: %s -> %s";
inline constexpr wchar_t cannot_create_folder[] = L"Cannot create folder: %s";
inline constexpr wchar_t cannot_mark_program[] = L"Cannot mark as program: %s";
} // namespace failure_text

} // namespace qz4
