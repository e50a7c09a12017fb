// How `sarn compress` and `sarn verify --csv` read a CSV file: the options
// they share (--quote, --delimiter, --extra-fields, --types), which set the
// dialect and the column types exactly as sarnio.compress_csv's parameters
// of the same names, with the same defaults.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli_support.hpp"
#include "pipeline/compress_csv.hpp"

namespace sarn::cli {

// The options, for a command's CommandSpec (constant-initialised, so that
// the commands' tables, which are globals of other files, may copy them).
inline constexpr ValueOption CSV_OPTIONS[] = {
    {"--quote", "C"}, {"--delimiter", "C"}, {"--extra-fields", "HOW"}, {"--types", "TYPES"}};

// Their lines for a command's help, under "options:" (a literal, so that a
// help text can take it in).
#define SARN_CSV_OPTIONS_HELP                                                         \
    "  --quote C            the quote character (default \"), or none: no quoting\n"  \
    "  --delimiter C        the field delimiter (default ,); tab (or \\t) for tabs\n" \
    "  --extra-fields HOW   error (the default): a row with more fields than the\n"   \
    "                       header fails; drop: the extra fields are dropped\n"       \
    "  --types TYPES        infer: a column whose every cell is a canonical\n"        \
    "                       integer (0, or an optional - and digits not starting\n"   \
    "                       with 0, within 64 bits) is int64; or NAME=int64,...\n"    \
    "                       (int64 or string per named column); default: text\n"

// The dialect and the types the options give (the everyday defaults for
// those not given) into `choices`; the text of a usage error otherwise.
std::optional<std::string> csv_choices(const ParsedArgs& args, pipeline::WriteChoices& choices);

}  // namespace sarn::cli
