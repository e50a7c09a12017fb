#include "csv_options.hpp"

#include "container/types.hpp"

namespace sarn::cli {

namespace {

// One character given on the command line: itself, or a name for one that
// is awkward to type.
std::optional<char> one_char(const std::string& text) {
    if (text == "tab" || text == "\\t") return '\t';
    if (text.size() == 1 && static_cast<unsigned char>(text[0]) < 0x80 && text[0] != '\0') return text[0];
    return std::nullopt;
}

}  // namespace

std::optional<std::string> csv_choices(const ParsedArgs& args, pipeline::WriteChoices& choices) {
    choices.dialect = pipeline::CsvDialect{};
    if (args.has("--quote")) {
        const std::string& q = args.options.at("--quote");
        if (q == "none") {
            choices.dialect.quote = '\0';
        } else if (auto c = one_char(q)) {
            choices.dialect.quote = *c;
        } else {
            return "--quote takes one ASCII character or none, not '" + q + "'";
        }
    }
    if (args.has("--delimiter")) {
        const std::string& d = args.options.at("--delimiter");
        auto c = one_char(d);
        if (!c) return "--delimiter takes one ASCII character (or tab), not '" + d + "'";
        choices.dialect.delimiter = *c;
    }
    if (args.has("--extra-fields")) {
        const std::string& how = args.options.at("--extra-fields");
        if (how == "error") {
            choices.dialect.extra_fields = pipeline::ExtraFields::Error;
        } else if (how == "drop") {
            choices.dialect.extra_fields = pipeline::ExtraFields::Drop;
        } else {
            return "--extra-fields takes error or drop, not '" + how + "'";
        }
    }
    if (auto bad = pipeline::dialect_problem(choices.dialect)) return "--quote and --delimiter: " + *bad;
    if (args.has("--types")) {
        const std::string& text = args.options.at("--types");
        if (text == "infer") {
            choices.types.mode = pipeline::TypesMode::Infer;
        } else {
            choices.types.mode = pipeline::TypesMode::Named;
            std::string_view rest = text;
            for (;;) {
                const std::size_t comma = rest.find(',');
                const std::string_view item = rest.substr(0, comma);
                const std::size_t eq = item.rfind('=');
                if (eq == std::string_view::npos) {
                    return "--types takes infer or NAME=int64,NAME=string,..., not '" + text + "'";
                }
                const std::string name(item.substr(0, eq));
                const std::string_view type = item.substr(eq + 1);
                if (type != "int64" && type != "string") {
                    return "--types: column '" + name + "' must be int64 or string, not '" + std::string(type) + "'";
                }
                choices.types.named.emplace_back(name, type == "int64" ? container::TYPE_INT : container::TYPE_TEXT);
                if (comma == std::string_view::npos) break;
                rest.remove_prefix(comma + 1);
            }
            if (auto bad = pipeline::types_problem(choices.types)) return "--" + *bad;
        }
    }
    return std::nullopt;
}

}  // namespace sarn::cli
