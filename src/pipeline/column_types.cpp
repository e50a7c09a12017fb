#include "pipeline/column_types.hpp"

#include <algorithm>

#include "pipeline/csv.hpp"

namespace sarn::pipeline {

using common::Error;

std::optional<std::string> types_problem(const ColumnTypes& types) {
    if (types.mode != TypesMode::Named) return std::nullopt;
    for (std::size_t i = 0; i < types.named.size(); ++i) {
        const auto& [name, code] = types.named[i];
        if (code != container::TYPE_INT && code != container::TYPE_TEXT) {
            return "types: column '" + name + "' must be \"int64\" or \"string\"";
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (types.named[j].first == name) return "types: column '" + name + "' is named twice";
        }
    }
    return std::nullopt;
}

common::Result<std::vector<std::uint8_t>> resolve_types(const ColumnTypes& types,
                                                        const std::vector<std::string>& names) {
    std::vector<std::uint8_t> out(names.size(), container::TYPE_TEXT);
    if (types.mode != TypesMode::Named) return out;
    for (const auto& [name, code] : types.named) {
        std::vector<std::size_t> at;
        for (std::size_t c = 0; c < names.size(); ++c) {
            if (names[c] == name) at.push_back(c);
        }
        if (at.empty()) {
            std::string listed;
            for (std::size_t c = 0; c < names.size() && c < 20; ++c) listed += (c ? ", '" : "'") + names[c] + "'";
            if (names.size() > 20) listed += ", ...";
            return Error::value("types names column '" + name + "', which the header does not have (it has " + listed +
                                ")");
        }
        if (at.size() > 1) {
            std::string where;
            for (std::size_t c : at) where += (where.empty() ? "" : ", ") + std::to_string(c);
            return Error::value("types names column '" + name + "', which the header gives to columns " + where +
                                ": a repeated name cannot pick one");
        }
        out[at[0]] = code;
    }
    return out;
}

std::vector<std::uint8_t> inferred_types(const std::vector<std::uint8_t>& not_integer, std::uint64_t records) {
    std::vector<std::uint8_t> out(not_integer.size(), container::TYPE_TEXT);
    if (records == 0) return out;
    for (std::size_t c = 0; c < out.size(); ++c) {
        if (!not_integer[c]) out[c] = container::TYPE_INT;
    }
    return out;
}

std::vector<std::size_t> integer_columns(const std::vector<std::uint8_t>& types) {
    std::vector<std::size_t> out;
    for (std::size_t c = 0; c < types.size(); ++c) {
        if (types[c] == container::TYPE_INT) out.push_back(c);
    }
    return out;
}

std::vector<container::ColumnSchema> csv_schema(std::vector<std::string> names,
                                                const std::vector<std::uint8_t>& types) {
    std::vector<container::ColumnSchema> schema = text_schema(std::move(names));
    for (std::size_t c = 0; c < schema.size() && c < types.size(); ++c) schema[c].type_code = types[c];
    return schema;
}

const char* type_word(std::uint8_t type_code) noexcept { return type_code == container::TYPE_INT ? "int64" : "string"; }

}  // namespace sarn::pipeline
