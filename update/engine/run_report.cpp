#include "update/engine/run_report.hpp"

#include "common/format.hpp"
#include "texts/player_texts.hpp"

namespace qz4 {

namespace {

std::wstring counted_with_files(const wchar_t* format, std::uint32_t count,
                                const std::vector<std::wstring>& files) {
    std::wstring text = format_wide(format, static_cast<unsigned>(count));
    for (const auto& file : files)
        text += format_wide(failure_text::file_line, file.c_str());
    return text;
}

} // namespace

failure_report make_failure_report(std::uint32_t download_failures, std::uint32_t unpack_failures,
                                   const std::vector<std::wstring>& download_errors,
                                   const std::vector<std::wstring>& unpack_errors, bool russian) {
    failure_report report;
    if (download_failures != 0) {
        report.status_text = format_wide(text_for(text_id::download_failed_status, russian),
                                         static_cast<unsigned>(download_failures));
        report.error_text =
            counted_with_files(failure_text::download_failed, download_failures, download_errors);
    } else {
        report.status_text = format_wide(text_for(text_id::unpack_failed_status, russian),
                                         static_cast<unsigned>(unpack_failures));
        report.error_text = counted_with_files(failure_text::unpack_failed, unpack_failures, unpack_errors);
    }
    return report;
}

failure_report make_space_report(std::uint64_t needed, std::uint64_t free, const std::wstring& game_dir,
                                 bool russian) {
    const std::wstring needed_text = format_byte_size(needed);
    const std::wstring free_text = format_byte_size(free);
    return {format_wide(text_for(text_id::not_enough_space, russian), needed_text.c_str(), free_text.c_str()),
            format_wide(failure_text::not_enough_space, needed_text.c_str(), free_text.c_str(),
                        game_dir.c_str())};
}

} // namespace qz4
