// The `sarn` command: what every sub-command shares (its syntax, argument
// parsing, error and output helpers, texts for display).  Nothing here calls
// a sub-command; sarn.cpp holds main and the list of commands.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace sarn::cli {

// Exit statuses of every sub-command.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;  // the operation failed, or verify found a fault
inline constexpr int EXIT_USAGE = 2;  // bad command line

// An option that takes one value, and the name its value goes by in the
// usage line ("--csv IN.csv").  An option may be given once, unless it is
// `repeatable`: then every value is kept, in order (ParsedArgs::values).
struct ValueOption {
    const char* name;
    const char* value_name;
    bool repeatable = false;
};

// What one sub-command accepts and does: its name, positional argument
// names, flags (no value) and options (one value), a one-line summary for
// `sarn --help`, the body of its own help (the usage line is put in front),
// and the function that runs it with the arguments after its name.
struct CommandSpec {
    const char* name;
    std::vector<const char*> positional;
    std::vector<const char*> flags;
    std::vector<ValueOption> options;
    const char* summary;
    const char* help_body;
    int (*run)(int argc, char** argv);
};

struct ParsedArgs {
    bool help = false;
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // flags map to ""; an option to its (last) value
    std::map<std::string, std::vector<std::string>> repeated;  // a repeatable option to all its values
    bool has(const std::string& name) const { return options.count(name) != 0; }
    // Every value given to option `name`, in order (none when it was not given).
    std::vector<std::string> values(const std::string& name) const {
        if (auto it = repeated.find(name); it != repeated.end()) return it->second;
        if (auto it = options.find(name); it != options.end()) return {it->second};
        return {};
    }
};

// "compress [--quiet] IN.csv OUT.sarn": flags, options with their value
// names, then the positional arguments.
std::string synopsis(const CommandSpec& syntax);

// "usage: sarn " + synopsis + "\n".
std::string usage_line(const CommandSpec& syntax);

// The usage line, a blank line and the help body.
std::string command_help(const CommandSpec& syntax);

// Parses argv of a sub-command (without the command name).  On a usage error
// (an unknown option, a missing value, an option that is not repeatable
// given twice, a wrong number of positional arguments) prints it with the
// command's usage line to standard error and returns false; `--help` sets
// `help` and skips the count of positional arguments.
bool parse_args(const CommandSpec& syntax, int argc, char** argv, ParsedArgs& out);

// What every command does first: parses its arguments and answers --help.
// Returns the exit status when the command is already done (a usage error,
// or its help printed), nothing when it should go on with `out`.
std::optional<int> parse_command_line(const CommandSpec& syntax, int argc, char** argv, ParsedArgs& out);

// Writes all of `text` to a file descriptor (common::write_all); the error
// is the system error text.
common::Result<void> write_text(int fd, std::string_view text);

// `text` whole, with control characters and bytes that are not UTF-8
// escaped (\xNN), as display_text does for values: what the command
// prints of a file name, an argument or a message that may hold one, so
// that a name never reaches a terminal as an escape sequence (moving the
// cursor, clearing the screen, setting the title) or as broken text.
std::string printable(std::string_view text);

// The usage line, "sarn COMMAND: error: " + printable(text) and the hint to
// ask for --help, on standard error.
void usage_error(const CommandSpec& syntax, std::string_view text);

// Writes `text` to standard error.  A failure there has nowhere to be
// reported, so it is ignored; callers that must know use write_text.
void write_stderr(std::string_view text);

// "sarn: error: " + printable(text) + "\n" on standard error; false if
// that write failed.
bool print_error(std::string_view text);

// Writes `text` to standard output.  On failure (a closed pipe, a full disk,
// /dev/full) it says so on standard error and returns false: a command whose
// output is its result must not exit 0 without it.
bool write_stdout(std::string_view text);

// A JSON string literal for `bytes`: escapes what JSON requires and turns
// bytes that are not UTF-8 into U+FFFD, so that the output is always valid.
std::string json_string(std::string_view bytes);

// `bytes` for a one-line human display: control characters and invalid
// UTF-8 escaped as \xNN, cut to `max_chars` code points with "…".
std::string display_text(std::string_view bytes, std::size_t max_chars);

// display_text between double quotes, with quotes and backslashes inside
// escaped (\" and \\), so that the end of the value is never in doubt.
std::string quoted_text(std::string_view bytes, std::size_t max_chars);

// "1,234,567".
std::string grouped(std::uint64_t n);

// A count of bytes as the reading commands take it: digits, optionally
// followed by K, M or G (or KiB, MiB, GiB), powers of 1024.  Nothing for
// anything else, 0 and counts past 2^64 - 1 included.
std::optional<std::uint64_t> parse_byte_count(std::string_view text);

// The memory budget a reading command was given with --max-chunk-bytes N,
// or the readers' default.  Reports a bad value as a usage error (printed)
// and gives nothing.
std::optional<std::uint64_t> max_chunk_bytes_option(const CommandSpec& syntax, const ParsedArgs& args);

// The option and its help line, shared by info, verify and cat.
inline constexpr ValueOption MAX_CHUNK_BYTES_OPTION{"--max-chunk-bytes", "N"};
#define SARN_MAX_CHUNK_BYTES_HELP                                                     \
    "  --max-chunk-bytes N  memory budget for the decoded columns of one chunk, in\n" \
    "                       bytes (K, M, G: powers of 1024; default 1G); a chunk\n"   \
    "                       that needs more is refused as a fault\n"

}  // namespace sarn::cli
