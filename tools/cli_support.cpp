// sarn: the command-line front end of the container library.
//
//   sarn compress IN.csv OUT.sarn   CSV to container (the same bytes as compress_csv)
//   sarn info FILE [--json]         what a container holds, read from the file
//   sarn verify FILE [--csv IN.csv] every block decoded and checked
//   sarn cat FILE                   the rows back as CSV
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <unistd.h>

#include "cli.hpp"

namespace sarn::cli {

namespace {

constexpr const char* VERSION_TEXT = "sarn 1.1.2 (SARN container format version 2)\n";

constexpr const char* MAIN_HELP =
    "usage: sarn COMMAND [OPTIONS] ARGUMENTS\n"
    "\n"
    "Convert CSV files to SARN containers, look inside containers, check them and\n"
    "get their rows back.\n"
    "\n"
    "commands:\n"
    "  compress IN.csv OUT.sarn    compress a CSV file into a container\n"
    "  info FILE [--json]          header, schema, chunks and per-column figures\n"
    "  verify FILE [--csv IN.csv]  decode and check every block of a container\n"
    "  cat FILE                    write a container's rows as CSV to standard output\n"
    "\n"
    "options:\n"
    "  -h, --help     show this help; `sarn COMMAND --help` shows a command's help\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 on success, 1 when the command fails (or verify finds a fault),\n"
    "2 for a bad command line, 130 when interrupted by Ctrl-C.\n";

const CommandSpec* find_command(std::string_view name) {
    for (const CommandSpec* syntax : {&COMPRESS_SPEC, &INFO_SPEC, &VERIFY_SPEC, &CAT_SPEC}) {
        if (name == syntax->name) return syntax;
    }
    return nullptr;
}

bool is_listed(const std::vector<const char*>& names, std::string_view name) {
    for (const char* n : names) {
        if (name == n) return true;
    }
    return false;
}

std::string usage_line(const CommandSpec& syntax) {
    std::string line = std::string("usage: sarn ") + syntax.name;
    for (const char* f : syntax.flags) line += std::string(" [") + f + "]";
    for (const char* o : syntax.options) line += std::string(" [") + o + " VALUE]";
    for (const char* p : syntax.positional) line += std::string(" ") + p;
    return line + "\n";
}

void usage_error(const CommandSpec& syntax, const std::string& text) {
    std::string message = usage_line(syntax) + "sarn " + syntax.name + ": error: " + text + "\n" +
                          "Try 'sarn " + syntax.name + " --help' for more information.\n";
    write_all(STDERR_FILENO, message);
}

// Decodes one UTF-8 sequence at `i`; returns its length, or 0 if invalid.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t len;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
        return 0;
    }
    return len;
}

}  // namespace

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
            if (is_listed(syntax.options, name)) {
                if (!inline_value) {
                    if (i + 1 >= argc) {
                        usage_error(syntax, "option " + name + " needs a value");
                        return false;
                    }
                    value = argv[++i];
                }
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

void print_error(std::string_view text) {
    write_all(STDERR_FILENO, "sarn: error: " + std::string(text) + "\n");
}

bool write_all(int fd, std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        char buf[8];
                        std::snprintf(buf, sizeof buf, "\\u%04x", c);
                        out += buf;
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        const std::size_t len = utf8_sequence(s, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out + "\"";
}

std::string display_text(std::string_view s, std::size_t max_chars) {
    std::string out;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size();) {
        if (chars == max_chars) {
            out += "\xE2\x80\xA6";  // …
            break;
        }
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t len = utf8_sequence(s, i);
        if (len == 0 || c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
        ++chars;
    }
    return out;
}

std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace sarn::cli

int main(int argc, char** argv) {
    using namespace sarn::cli;
    try {
        if (argc < 2) {
            write_all(STDERR_FILENO, MAIN_HELP);
            return EXIT_USAGE;
        }
        std::string_view command = argv[1];
        if (command == "-h" || command == "--help" || command == "help") {
            if (command == "help" && argc > 2) {
                if (const CommandSpec* syntax = find_command(argv[2])) {
                    write_all(STDOUT_FILENO, syntax->help);
                    return EXIT_OK;
                }
            }
            write_all(STDOUT_FILENO, MAIN_HELP);
            return EXIT_OK;
        }
        if (command == "--version") {
            write_all(STDOUT_FILENO, VERSION_TEXT);
            return EXIT_OK;
        }
        const CommandSpec* syntax = find_command(command);
        if (!syntax) {
            write_all(STDERR_FILENO, "sarn: error: unknown command '" + std::string(command) +
                                         "'\nTry 'sarn --help' for the list of commands.\n");
            return EXIT_USAGE;
        }
        if (syntax == &COMPRESS_SPEC) return run_compress(argc - 2, argv + 2);
        if (syntax == &INFO_SPEC) return run_info(argc - 2, argv + 2);
        if (syntax == &VERIFY_SPEC) return run_verify(argc - 2, argv + 2);
        return run_cat(argc - 2, argv + 2);
    } catch (const std::bad_alloc&) {
        print_error("out of memory");
    } catch (const std::exception& e) {
        print_error(e.what());
    }
    return EXIT_FAILED;
}
