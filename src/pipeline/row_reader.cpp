#include "pipeline/row_reader.hpp"

#include <utility>

namespace sarn::pipeline {

using common::Error;
using common::Result;

std::string shown_cell(std::string_view cell) {
    if (cell.size() <= InputFaultPlace::CELL_SHOWN) return std::string(cell);
    std::size_t cut = InputFaultPlace::CELL_SHOWN;
    // Back to the first byte of a character.
    while (cut > 0 && (static_cast<unsigned char>(cell[cut]) & 0xC0) == 0x80) --cut;
    return std::string(cell.substr(0, cut)) + "...";
}

Error input_fault_error(const std::string& path, const InputFaultPlace& place, const std::vector<std::string>& names) {
    std::string text;
    switch (place.fault) {
        case InputFault::InvalidUtf8:
        case InputFault::None: text = invalid_utf8_text(path, place.line, place.offset); break;
        case InputFault::LineTooLong: text = line_too_long_text(path, place.line); break;
        case InputFault::Unterminated:
            text = unterminated_quote_text(path, place.line, place.offset, place.fields);
            break;
        case InputFault::TextAfterQuote: text = text_after_quote_text(path, place.line, place.offset); break;
        case InputFault::ExtraFields:
            text = extra_fields_text(path, place.line, place.offset, place.fields, place.column);
            break;
        case InputFault::NotInteger: {
            const std::string name =
                place.column < names.size() ? names[place.column] : "#" + std::to_string(place.column);
            text = not_integer_text(path, place.line, name, place.cell);
            break;
        }
    }
    return Error::input(std::move(text), path);
}

RowReader::RowReader(LineSource& lines, const CsvDialect& dialect)
    : lines_(lines),
      dialect_(dialect),
      quoting_(dialect.quoting()),
      space_delimiter_(is_blank(std::string_view(&dialect.delimiter, 1))),
      extra_error_(dialect.extra_fields == ExtraFields::Error),
      record_(dialect) {
    if (quoting_) lines_.watch(dialect.quote);
}

void RowReader::require_integers(std::vector<std::size_t> columns, std::vector<std::string> names) {
    integer_columns_ = std::move(columns);
    names_ = std::move(names);
}

Error RowReader::refuse(InputFaultPlace place) {
    Error e = input_fault_error(lines_.path(), place, names_);
    return lines_.refuse(std::move(place), std::move(e));
}

Result<std::optional<std::vector<std::string>>> RowReader::read_header() {
    std::string_view line;
    if (!lines_.next(line)) {
        if (lines_.failed()) return lines_.error();
        return std::optional<std::vector<std::string>>();
    }
    std::uint64_t offset = lines_.line_offset();
    if (dialect_.skip_bom && offset == 0 && line.starts_with(BYTE_ORDER_MARK)) {
        line.remove_prefix(BYTE_ORDER_MARK.size());
        offset += BYTE_ORDER_MARK.size();
    }
    std::vector<std::string> names;
    if (holds_quote(line)) {
        if (auto r = read_quoted(line, offset); !r) return std::move(r).error();
        names.reserve(record_.cell_count());
        for (std::size_t i = 0; i < record_.cell_count(); ++i) names.emplace_back(record_.cell(i));
    } else {
        names = split_header(line, dialect_.delimiter);
    }
    header_lines_ = lines_.line_number();
    return std::optional<std::vector<std::string>>(std::move(names));
}

Result<void> RowReader::read_quoted(std::string_view line, std::uint64_t offset) {
    record_.start();
    row_line_ = lines_.line_number();
    row_offset_ = lines_.line_offset();
    for (;;) {
        QuotedRecord::Step step = record_.feed(line, lines_.terminator(), offset);
        if (step == QuotedRecord::Step::Done) return {};
        if (step == QuotedRecord::Step::More) {
            // The quoted field runs on: its record may end past a range's limit.
            if (lines_.next_past_limit(line)) {
                offset = lines_.line_offset();
                if (record_.text_bytes() > container::TextBatch::MAX_ROW_BYTES) {
                    return refuse({InputFault::LineTooLong, row_line_, row_offset_});
                }
                continue;
            }
            if (lines_.failed()) return lines_.error();
            step = record_.end_of_input();
        }
        if (record_.fault() == RecordFault::Unterminated) {
            InputFaultPlace place{InputFault::Unterminated, row_line_, record_.fault_offset()};
            place.fields = row_line_ + record_.opened_line();
            return refuse(std::move(place));
        }
        return refuse({InputFault::TextAfterQuote, row_line_, record_.fault_offset()});
    }
}

Error RowReader::extra_fields(std::string_view line, const char* rest, std::size_t columns) {
    InputFaultPlace place{InputFault::ExtraFields, row_line_,
                          row_offset_ + static_cast<std::uint64_t>(rest - line.data())};
    place.fields = unquoted_field_count(line, dialect_.delimiter);
    place.column = columns;
    return refuse(std::move(place));
}

Result<void> RowReader::append_quoted(container::TextBatch& batch, std::size_t columns) {
    const std::size_t cells = record_.cell_count();
    if (cells > columns && extra_error_) {
        InputFaultPlace place{InputFault::ExtraFields, row_line_, record_.cell_offset(columns)};
        place.fields = cells;
        place.column = columns;
        return refuse(std::move(place));
    }
    if (record_.text_bytes() > container::TextBatch::MAX_ROW_BYTES) {
        return refuse({InputFault::LineTooLong, row_line_, row_offset_});
    }
    for (std::size_t i = 0; i < columns; ++i) batch.push_cell(i < cells ? record_.cell(i) : std::string_view());
    if (!integer_columns_.empty()) return check_integers(batch);
    return {};
}

Result<void> RowReader::check_integers(const container::TextBatch& batch) {
    const std::size_t row = batch.row_count() - 1;
    for (const std::size_t c : integer_columns_) {
        const std::string_view cell = batch.cell(row, c);
        std::int64_t value;
        if (!parse_canonical_int64(cell, value)) [[unlikely]] {
            InputFaultPlace place{InputFault::NotInteger, row_line_, row_offset_};
            place.column = c;
            place.cell = shown_cell(cell);
            return refuse(std::move(place));
        }
    }
    return {};
}

Result<bool> RowReader::skip_row() {
    std::string_view line;
    for (;;) {
        if (!lines_.next(line)) {
            if (lines_.failed()) return lines_.error();
            return false;
        }
        if (holds_quote(line)) {
            if (auto r = read_quoted(line, lines_.line_offset()); !r) return std::move(r).error();
            return true;
        }
        if (is_blank_line(line)) continue;
        if (line.size() > container::TextBatch::MAX_ROW_BYTES) return too_long();
        row_line_ = lines_.line_number();
        row_offset_ = lines_.line_offset();
        return true;
    }
}

}  // namespace sarn::pipeline
