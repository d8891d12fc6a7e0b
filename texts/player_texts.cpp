#include "texts/player_texts.hpp"

#include "common/format.hpp"
#include "texts/language.hpp"

#include <array>

namespace qz4 {

namespace {

struct text_pair {
    const wchar_t* english;
    const wchar_t* russian;
};

constexpr std::size_t text_count = static_cast<std::size_t>(text_id::end) - 1;

// Indexed by text_id; the English texts that end in a space keep it, the Russian ones have none.
constexpr std::array<text_pair, text_count> texts = {{
    {L"Starting...", L"Запуск..."},
    {L"Update Required", L"Требуется обновление"},
    {L"To apply the update, all running instances of the game must be closed.\n\nWould you like to close all "
     L"instances automatically now?",
     L"Для применения обновления необходимо закрыть все запущенные экземпляры игрового клиента.\n\nХотите "
     L"закрыть все экземпляры автоматически?"},
    {L"We could not check your game files for updates. The game will not start.\nPlease check your "
     L"antivirus/firewall setting or contact support.",
     L"К сожалению мы не смогли проверить файлы игры на наличие обновлений. Игра не сможет "
     L"запуститься.\nПожалуйста, проверьте настройки антивируса/фаервола или обратитесь в службу поддержки."},
    {L"\n\nError: %s", L"\n\nОшибка: %s"},
    {L"There was an error restarting application. Please start it again manually.",
     L"При перезапуске программы возникла ошибка. Запустите программу самостоятельно."},
    {L"An error occurred while starting the gamet.\nError: 0x%08X.\n\nPlease full check your game client.",
     L"Не удалось запустить игру.\nОшибка: 0x%08X.\n\nПожалуйста, полностью проверьте ваш игровой клиент."},
    {L"Connecting to update server... ", L"Подключаюсь к серверу обновлений..."},
    {L"Connection attempt #%u... ", L"Попытка подключения #%u..."},
    {L"Checking game files... ", L"Проверю файлы игры..."},
    {L"Checking files", L"Проверка файлов"},
    {L"Downloading updates (%d%%)", L"Загрузка обновлений (%d%%)"},
    {L"Download failed for %u files", L"Ошибка загрузки %u файлов"},
    {L"Unpacking files", L"Распаковка файлов"},
    {L"Unpack failed for %u files", L"Ошибка распаковки %u файлов"},
    {L"Files updated", L"Обновление завершено"},
    {L"%s left", L"осталось %s"},
    {L"Not enough disk space: %s needed, %s free", L"Недостаточно места на диске: нужно %s, свободно %s"},
}};

// A text_id added without its pair leaves the pair's pointers null.
constexpr bool every_text_in_both_languages() {
    for (const text_pair& pair : texts) {
        if (pair.english == nullptr || pair.russian == nullptr)
            return false;
    }
    return true;
}
static_assert(every_text_in_both_languages(), "every text_id needs its English and Russian text");

} // namespace

std::vector<text_id> all_text_ids() {
    std::vector<text_id> ids;
    for (std::size_t id = 1; id <= text_count; ++id)
        ids.push_back(static_cast<text_id>(id));
    return ids;
}

const wchar_t* text_for(text_id id, bool russian) {
    const auto& pair = texts.at(static_cast<std::size_t>(id) - 1);
    return russian ? pair.russian : pair.english;
}

std::wstring localized_text(text_id id) {
    return text_for(id, use_russian());
}

bool is_russian_language(std::uint16_t language_id) {
    return language_id == 0x0419 || language_id == 0x0422 || language_id == 0x0423;
}

std::uint16_t system_lang_id() {
    static const std::uint16_t id = query_system_language();
    return id;
}

bool use_russian() {
    return is_russian_language(system_lang_id());
}

std::wstring update_failure_message(const std::wstring& error_text, bool russian) {
    std::wstring message = text_for(text_id::update_check_failed, russian);
    if (!error_text.empty())
        message += format_wide(text_for(text_id::error_detail, russian), error_text.c_str());
    return message;
}

std::wstring game_start_failure_message(std::uint32_t error_code, bool russian) {
    return format_wide(text_for(text_id::game_start_failed, russian), static_cast<unsigned>(error_code));
}

} // namespace qz4
