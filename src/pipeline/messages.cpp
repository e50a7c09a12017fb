#include "pipeline/messages.hpp"

#include "container/writer.hpp"

namespace sarn::pipeline {

using common::Error;

std::string invalid_utf8_text(const std::string& path, std::uint64_t line, std::uint64_t offset) {
    return path + ": line " + std::to_string(line) + " is not valid UTF-8 (byte offset " + std::to_string(offset) + ")";
}

std::string line_too_long_text(const std::string& path, std::uint64_t line) {
    return path + ": line " + std::to_string(line) + ": " + LINE_TOO_LONG_TEXT;
}

std::string header_too_wide_text(std::size_t columns) {
    return "CSV header has " + std::to_string(columns) + " columns; a SARN container holds at most " +
           std::to_string(container::MAX_COLUMNS);
}

std::string output_is_input_text(const std::string& path) {
    return "Output file is the CSV input file itself: " + path;
}

Error csv_empty_error() { return Error::value(CSV_EMPTY_TEXT); }

Error header_too_wide_error(std::size_t columns) { return Error::value(header_too_wide_text(columns)); }

Error output_is_input_error(const std::string& path, Wording wording) {
    Error e =
        wording == Wording::Module ? Error::io(output_is_input_text(path)) : Error::value(output_is_input_text(path));
    e.path = path;
    return e;
}

Error input_changed_error(const std::string& path, const std::string& how) {
    Error e = Error::io(path + " changed while it was compressed: " + how);
    e.path = path;
    return e;
}

}  // namespace sarn::pipeline
