// The types of a CSV file's columns: every column text (the module's only
// kind), integer columns named by the caller, or integer columns inferred
// from the whole input.
//
// A column can be int64 only when every cell of it is a canonical decimal
// integer (common::parse_canonical_int64): such a cell prints back exactly as
// it was read, so the container loses nothing.  Every other column stays
// text: an empty cell (the format has no null for integers), "007", "+5",
// "1.0", "1e3", a value past the signed 64-bit range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "container/types.hpp"

namespace sarn::pipeline {

enum class TypesMode : std::uint8_t {
    Text,  // every column text
    Infer,  // int64 where every cell of the whole input allows it (a first pass decides)
    Named,  // the types `named` gives; the columns it does not name are text
};

struct ColumnTypes {
    TypesMode mode = TypesMode::Text;
    // Named: column name and type code (container::TYPE_INT or TYPE_TEXT).
    std::vector<std::pair<std::string, std::uint8_t>> named;
};

// Why `types` cannot be used, or nothing: a type other than int64 and
// text, or a name given twice.
std::optional<std::string> types_problem(const ColumnTypes& types);

// One type code per column of the header `names`, for the Text and Named
// modes.  Errors (ErrorKind::Value): a name the header lacks, or one the
// header gives to several columns.
common::Result<std::vector<std::uint8_t>> resolve_types(const ColumnTypes& types,
                                                        const std::vector<std::string>& names);

// The types a first pass found: int64 for the columns no cell of which
// failed the integer test (`not_integer[c]` is 0), text for the others and
// for every column of an input without data records, which shows nothing
// to infer from.
std::vector<std::uint8_t> inferred_types(const std::vector<std::uint8_t>& not_integer, std::uint64_t records);

// The positions of the int64 columns.
std::vector<std::size_t> integer_columns(const std::vector<std::uint8_t>& types);

// The schema of a container made from a CSV file: one column per header
// name, of the type `types` gives it (text when `types` is empty).
std::vector<container::ColumnSchema> csv_schema(std::vector<std::string> names, const std::vector<std::uint8_t>& types);

// "int64" or "string", the names the everyday package gives the two types.
const char* type_word(std::uint8_t type_code) noexcept;

}  // namespace sarn::pipeline
