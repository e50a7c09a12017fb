// The texts of a compression's failures, written once for every front end.
//
// Two wordings exist.  The module's (Wording::Module) is frozen for
// compatibility: sarn_fileformat's callers match on its bare system error
// texts and on "stream did not contain valid UTF-8".  Every other front end
// (sarnio, sarnio.dask, the `sarn` command) uses Wording::Named, whose texts
// name the file a failure concerns and, for bad input, its line and byte
// offset.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"

namespace sarn::pipeline {

enum class Wording : std::uint8_t {
    Module,  // sarn_fileformat's frozen texts
    Named,  // texts that say which file, and where in it
};

// The error of an input without a single line (frozen: the module raises it
// as ValueError with this text).
inline constexpr const char* CSV_EMPTY_TEXT = "CSV file is empty";

// The module's text for a line that is not valid UTF-8 (frozen).
inline constexpr const char* INVALID_UTF8_TEXT = "stream did not contain valid UTF-8";

// The error of a data line too long for one row of a batch.
inline constexpr const char* LINE_TOO_LONG_TEXT = "CSV line longer than 4 GiB (4294967295 bytes)";

// "{path}: line {line} is not valid UTF-8 (byte offset {offset})": `line`
// counts from 1 (the header is line 1), `offset` is that of the first byte
// that does not belong to a well-formed character.
std::string invalid_utf8_text(const std::string& path, std::uint64_t line, std::uint64_t offset);

// "{path}: line {line}: " + LINE_TOO_LONG_TEXT.
std::string line_too_long_text(const std::string& path, std::uint64_t line);

// A header wider than a container's 65,535 columns.
std::string header_too_wide_text(std::size_t columns);

// "Output file is the CSV input file itself: {path}".
std::string output_is_input_text(const std::string& path);

// The failures above as errors of the kind each wording gives them.  The
// module raises everything but a Value error as OSError, so its input
// faults keep kind Input and its refusal of the input as output is Io;
// elsewhere that refusal is a request the caller can fix (Value).
common::Error csv_empty_error();
common::Error header_too_wide_error(std::size_t columns);
common::Error output_is_input_error(const std::string& path, Wording wording);

// A regular file that changed while it was compressed (it shrank, grew,
// or holds other records than a first pass over it found): "{path} changed
// while it was compressed: {how}", an I/O failure of no system call.
common::Error input_changed_error(const std::string& path, const std::string& how);

// The text of a stopped job.
inline constexpr const char* CANCELLED_TEXT = "the job was cancelled";

}  // namespace sarn::pipeline
