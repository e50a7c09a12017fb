// The `sarn` command: shared pieces of its sub-commands.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace sarn::cli {

// Exit statuses of every sub-command.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;  // the operation failed, or verify found a fault
inline constexpr int EXIT_USAGE = 2;   // bad command line

// What one sub-command accepts: its name, positional argument names, flags
// (no value) and options (one value), and its help text.
struct CommandSpec {
    const char* name;
    std::vector<const char*> positional;
    std::vector<const char*> flags;
    std::vector<const char*> options;
    const char* help;
};

struct ParsedArgs {
    bool help = false;
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // flags map to ""
    bool has(const std::string& name) const { return options.count(name) != 0; }
};

// Parses argv of a sub-command (without the command name).  On a usage error
// prints it with the command's usage line to standard error and returns
// false with `exit_status` set; `--help` sets `help`.
bool parse_args(const CommandSpec& syntax, int argc, char** argv, ParsedArgs& out);

// "sarn: error: " + text + "\n" on standard error.
void print_error(std::string_view text);

// Writes all of `text` to a file descriptor (retrying partial writes);
// false on failure.
bool write_all(int fd, std::string_view text);

// A JSON string literal for `bytes`: escapes what JSON requires and turns
// bytes that are not UTF-8 into U+FFFD, so that the output is always valid.
std::string json_string(std::string_view bytes);

// `bytes` for a one-line human display: control characters and invalid
// UTF-8 escaped as \xNN, cut to `max_chars` code points with "…".
std::string display_text(std::string_view bytes, std::size_t max_chars);

// "1,234,567".
std::string grouped(std::uint64_t n);

int run_compress(int argc, char** argv);
int run_info(int argc, char** argv);
int run_verify(int argc, char** argv);
int run_cat(int argc, char** argv);

extern const CommandSpec COMPRESS_SPEC;
extern const CommandSpec INFO_SPEC;
extern const CommandSpec VERIFY_SPEC;
extern const CommandSpec CAT_SPEC;

}  // namespace sarn::cli
