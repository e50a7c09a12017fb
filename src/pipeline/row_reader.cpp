#include "pipeline/row_reader.hpp"

namespace sarn::pipeline {

common::Result<std::optional<std::vector<std::string>>> RowReader::read_header() {
    std::string_view line;
    if (!lines_.next(line)) {
        if (lines_.failed()) return lines_.error();
        return std::optional<std::vector<std::string>>();
    }
    return std::optional<std::vector<std::string>>(split_header(line));
}

common::Result<bool> RowReader::skip_row() {
    std::string_view line;
    for (;;) {
        if (!lines_.next(line)) {
            if (lines_.failed()) return lines_.error();
            return false;
        }
        if (is_blank(line)) continue;
        if (line.size() > container::TextBatch::MAX_ROW_BYTES) return too_long();
        row_line_ = lines_.line_number();
        row_offset_ = lines_.line_offset();
        return true;
    }
}

}  // namespace sarn::pipeline
