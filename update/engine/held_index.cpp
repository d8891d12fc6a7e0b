#include "update/engine/held_index.hpp"

#include "common/file_system.hpp"
#include "net/response_head.hpp"
#include "update/documents/json_document.hpp"

#include <nlohmann/json.hpp>

namespace qz4 {

namespace {

std::string text_member(const nlohmann::json& record, const char* name) {
    const nlohmann::json& value = json_member(record, name);
    if (!value.is_string())
        throw std::invalid_argument(name);
    return value.get<std::string>();
}

std::string validator_member(const nlohmann::json& record, const char* name) {
    std::string value = text_member(record, name);
    if (!value.empty() && validator_value(value) != value)
        throw std::invalid_argument(name);
    return value;
}

} // namespace

std::optional<held_index> read_held_index(const std::wstring& path) {
    try {
        if (!is_regular_file(path))
            return std::nullopt;
        const nlohmann::json record = parse_json_file(path);
        held_index held;
        held.update = json_number_exact_u32(json_member(record, "update"));
        held.source = text_member(record, "source");
        held.etag = validator_member(record, "etag");
        held.last_modified = validator_member(record, "last_modified");
        held.sha1 = text_member(record, "sha1");
        return held;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string held_index_text(const held_index& held) {
    return json_text_pretty({{"update", held.update},
                             {"source", held.source},
                             {"etag", held.etag},
                             {"last_modified", held.last_modified},
                             {"sha1", held.sha1}});
}

} // namespace qz4
