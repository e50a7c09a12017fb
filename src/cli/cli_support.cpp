#include "cli_support.hpp"

#include <unistd.h>

#include "common/display_text.hpp"
#include "common/file_io.hpp"
#include "common/json_text.hpp"
#include "container/reader.hpp"

namespace sarn::cli {

namespace {

bool is_listed(const std::vector<const char*>& names, std::string_view name) {
    for (const char* n : names) {
        if (name == n) return true;
    }
    return false;
}

const ValueOption* find_option(const std::vector<ValueOption>& options, std::string_view name) {
    for (const ValueOption& o : options) {
        if (name == o.name) return &o;
    }
    return nullptr;
}

}  // namespace

std::string printable(std::string_view text) { return common::display_text(text, std::string_view::npos); }

void usage_error(const CommandSpec& syntax, std::string_view text) {
    std::string message = usage_line(syntax) + "sarn " + syntax.name + ": error: " + printable(text) + "\n" +
                          "Try 'sarn " + syntax.name + " --help' for more information.\n";
    write_stderr(message);
}

std::string synopsis(const CommandSpec& syntax) {
    std::string line = syntax.name;
    for (const char* f : syntax.flags) line += std::string(" [") + f + "]";
    for (const ValueOption& o : syntax.options)
        line += std::string(" [") + o.name + " " + o.value_name + (o.repeatable ? "]..." : "]");
    for (const char* p : syntax.positional) line += std::string(" ") + p;
    return line;
}

std::string usage_line(const CommandSpec& syntax) { return "usage: sarn " + synopsis(syntax) + "\n"; }

std::string command_help(const CommandSpec& syntax) { return usage_line(syntax) + "\n" + syntax.help_body; }

bool parse_args(const CommandSpec& syntax, int argc, char** argv, ParsedArgs& out) {
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (!options_done && arg == "--") {
            options_done = true;
            continue;
        }
        if (!options_done && arg.size() > 1 && arg[0] == '-') {
            if (arg == "-h" || arg == "--help") {
                out.help = true;
                continue;
            }
            std::string name(arg);
            std::string value;
            bool inline_value = false;
            if (auto eq = name.find('='); eq != std::string::npos && name.rfind("--", 0) == 0) {
                value = name.substr(eq + 1);
                name.resize(eq);
                inline_value = true;
            }
            if (is_listed(syntax.flags, name)) {
                if (inline_value) {
                    usage_error(syntax, "option " + name + " takes no value");
                    return false;
                }
                out.options[name] = "";
                continue;
            }
            if (const ValueOption* option = find_option(syntax.options, name)) {
                if (!inline_value) {
                    if (i + 1 >= argc) {
                        usage_error(syntax, "option " + name + " needs a value");
                        return false;
                    }
                    value = argv[++i];
                }
                // A second value would silently replace the first.
                if (!option->repeatable && out.has(name)) {
                    usage_error(syntax, "option " + name + " given more than once");
                    return false;
                }
                if (option->repeatable) out.repeated[name].push_back(value);
                out.options[name] = value;
                continue;
            }
            usage_error(syntax, "unknown option " + std::string(arg));
            return false;
        }
        out.positional.emplace_back(arg);
    }
    if (out.help) return true;
    if (out.positional.size() != syntax.positional.size()) {
        usage_error(syntax, out.positional.size() < syntax.positional.size()
                                ? "missing argument " + std::string(syntax.positional[out.positional.size()])
                                : "unexpected argument '" + out.positional[syntax.positional.size()] + "'");
        return false;
    }
    return true;
}

std::optional<int> parse_command_line(const CommandSpec& syntax, int argc, char** argv, ParsedArgs& out) {
    if (!parse_args(syntax, argc, argv, out)) return EXIT_USAGE;
    if (out.help) return write_stdout(command_help(syntax)) ? EXIT_OK : EXIT_FAILED;
    return std::nullopt;
}

common::Result<void> write_text(int fd, std::string_view text) { return common::write_all(fd, common::as_bytes(text)); }

void write_stderr(std::string_view text) { (void)write_text(STDERR_FILENO, text); }

bool print_error(std::string_view text) {
    return write_text(STDERR_FILENO, "sarn: error: " + printable(text) + "\n").ok();
}

bool write_stdout(std::string_view text) {
    auto written = write_text(STDOUT_FILENO, text);
    if (written) return true;
    print_error("cannot write to standard output: " + written.error().message);
    return false;
}

std::string json_string(std::string_view s) { return common::json_string(s, common::JSON_DISPLAY_STYLE); }

std::string display_text(std::string_view s, std::size_t max_chars) { return common::display_text(s, max_chars); }

std::string quoted_text(std::string_view s, std::size_t max_chars) { return common::quoted_text(s, max_chars); }

std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::optional<std::uint64_t> parse_byte_count(std::string_view text) {
    std::size_t i = 0;
    std::uint64_t n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
        n = n * 10 + digit;
    }
    if (i == 0) return std::nullopt;
    const std::string_view unit = text.substr(i);
    int shift = 0;
    if (unit == "K" || unit == "KiB" || unit == "k")
        shift = 10;
    else if (unit == "M" || unit == "MiB")
        shift = 20;
    else if (unit == "G" || unit == "GiB")
        shift = 30;
    else if (!unit.empty())
        return std::nullopt;
    if (shift > 0 && n > (UINT64_MAX >> shift)) return std::nullopt;
    n <<= shift;
    if (n == 0) return std::nullopt;
    return n;
}

std::optional<std::uint64_t> max_chunk_bytes_option(const CommandSpec& syntax, const ParsedArgs& args) {
    if (!args.has("--max-chunk-bytes")) return container::ReaderLimits::DEFAULT_MAX_CHUNK_BYTES;
    const std::string& text = args.options.at("--max-chunk-bytes");
    auto n = parse_byte_count(text);
    if (!n) {
        usage_error(syntax,
                    "option --max-chunk-bytes takes a positive number of bytes (digits, optionally with K, "
                    "M or G), not '" +
                        display_text(text, 40) + "'");
        return std::nullopt;
    }
    return n;
}

}  // namespace sarn::cli
