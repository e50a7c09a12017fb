#include "sarnio_native/choices.hpp"

#include <nanobind/stl/string.h>

#include "container/types.hpp"
#include "sarnio_native/errors.hpp"

namespace nb = nanobind;

namespace sarn::sarnio {

namespace {

[[noreturn]] void refuse(const std::string& text) { raise(common::Error::value(text)); }

// One character of a str, for the dialect: it must be exactly one ASCII
// character (the rest is dialect_problem's business).
char one_char(const nb::handle& value, const char* what) {
    if (!nb::isinstance<nb::str>(value)) {
        throw nb::type_error((std::string(what) + " must be a str of one character").c_str());
    }
    const std::string text = nb::cast<std::string>(value);
    if (text.size() != 1 || static_cast<unsigned char>(text[0]) >= 0x80 || text[0] == '\0') {
        refuse(std::string(what) + " must be one ASCII character, not '" + text + "'");
    }
    return text[0];
}

pipeline::ColumnTypes column_types(const nb::handle& value) {
    pipeline::ColumnTypes types;
    if (value.is_none()) return types;
    if (nb::isinstance<nb::str>(value)) {
        if (nb::cast<std::string>(value) != "infer") refuse("types must be None, \"infer\" or a mapping");
        types.mode = pipeline::TypesMode::Infer;
        return types;
    }
    types.mode = pipeline::TypesMode::Named;
    for (nb::handle item : nb::cast<nb::list>(value)) {
        const nb::tuple pair = nb::cast<nb::tuple>(item);
        const std::string name = nb::cast<std::string>(pair[0]);
        const std::string type = nb::cast<std::string>(pair[1]);
        std::uint8_t code;
        if (type == "int64") {
            code = container::TYPE_INT;
        } else if (type == "string") {
            code = container::TYPE_TEXT;
        } else {
            refuse("types: column '" + name + "' must be \"int64\" or \"string\", not '" + type + "'");
        }
        types.named.emplace_back(name, code);
    }
    return types;
}

}  // namespace

pipeline::WriteChoices write_choices(const ChoicesDict& given) {
    pipeline::WriteChoices choices;
    choices.dialect = pipeline::CsvDialect{};  // sarnio's own defaults, BOM skipped
    for (auto [key, value] : given) {
        const std::string name = nb::cast<std::string>(key);
        if (name == "level") {
            choices.level = nb::cast<int>(value);
        } else if (name == "quote") {
            choices.dialect.quote = value.is_none() ? '\0' : one_char(value, "quote");
        } else if (name == "delimiter") {
            choices.dialect.delimiter = one_char(value, "delimiter");
        } else if (name == "extra_fields") {
            const std::string how = nb::cast<std::string>(value);
            if (how == "error") {
                choices.dialect.extra_fields = pipeline::ExtraFields::Error;
            } else if (how == "drop") {
                choices.dialect.extra_fields = pipeline::ExtraFields::Drop;
            } else {
                refuse("extra_fields must be \"error\" or \"drop\", not '" + how + "'");
            }
        } else if (name == "skip_bom") {
            choices.dialect.skip_bom = nb::cast<bool>(value);
        } else if (name == "types") {
            choices.types = column_types(value);
        } else {
            refuse("unknown write choice '" + name + "'");
        }
    }
    if (auto bad = pipeline::choices_problem(choices)) refuse(*bad);
    return choices;
}

}  // namespace sarn::sarnio
