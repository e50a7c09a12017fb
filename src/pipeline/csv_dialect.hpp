// The CSV dialect of the everyday package: the module's dialect plus quoted
// fields, a chosen delimiter, a stripped byte order mark and a decision about
// rows wider than the header.
//
// A record ends at a line feed (one carriage return right before it is
// dropped too) outside a quoted field.  Fields are cut at the delimiter
// outside quoted fields.  A field whose first character after leading white
// space is the quote character is quoted: its text runs to the next quote
// that is not doubled, "" inside standing for one quote, and delimiters, CR
// and LF inside are text, kept exactly.  After the closing quote only white
// space may follow before the delimiter or the record's end.  A quote
// anywhere else is ordinary text.  Unquoted fields are trimmed of Unicode
// white space as the module trims them; the delimiter is never trimmed away,
// even when it is itself white space (a tab).
//
// With quoting off, no byte order mark and extra fields dropped, this is
// exactly the module's dialect, and the same line makes the same cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/canonical_int.hpp"

namespace sarn::pipeline {

enum class ExtraFields : std::uint8_t {
    Drop,  // fields past the header's width are dropped, as the module does
    Error,  // a row wider than the header fails the job
};

struct CsvDialect {
    char delimiter = ',';
    char quote = '"';  // '\0': no quoting
    ExtraFields extra_fields = ExtraFields::Error;
    bool skip_bom = true;  // a UTF-8 byte order mark at the very start is not text

    bool quoting() const noexcept { return quote != '\0'; }

    // The module's own dialect: every comma cuts, nothing is quoted, extra
    // fields are dropped and a byte order mark stays part of the first name.
    static constexpr CsvDialect module() noexcept { return {',', '\0', ExtraFields::Drop, false}; }
};

// Why `d` cannot be used, or nothing: both characters ASCII, the delimiter
// not CR or LF, the quote neither the delimiter, CR, LF nor white space.
std::optional<std::string> dialect_problem(const CsvDialect& d);

// The UTF-8 byte order mark.
inline constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// What is wrong with a record.
enum class RecordFault : std::uint8_t {
    None,
    Unterminated,  // a quoted field is still open at the end of the input
    TextAfterQuote,  // something other than white space follows a closing quote
};

// Cuts one record that contains a quote character (or continues a quoted
// field onto further lines) into its cells, a line at a time.  Lines come
// without their terminator, which is passed beside them: the terminator of
// a line inside a quoted field is part of the field's text.
//
// The cells are unescaped copies, valid until the next start().
class QuotedRecord {
public:
    explicit QuotedRecord(const CsvDialect& dialect) : dialect_(dialect) {}

    enum class Step : std::uint8_t { Done, More, Fault };

    // Begins a new record.
    void start() noexcept;

    // Begins in the middle of a quoted field that opened on an earlier line
    // (at `opened_at`), as a reader that starts at an arbitrary line must
    // when it supposes it is inside one.  The cells of such a record are not
    // the whole record's: only its end and its faults mean anything.
    void start_inside(std::uint64_t opened_at) noexcept;

    // Consumes the next line of the record: `text` without its terminator,
    // `terminator` ("\n", "\r\n", or "" for the last line of the input),
    // `offset` the input offset of text[0].  Done: the record is complete;
    // More: a quoted field runs on into the next line; Fault: see fault().
    Step feed(std::string_view text, std::string_view terminator, std::uint64_t offset);

    // The input ended (no further line) while feed() asked for More: the
    // quoted field is unterminated.  Returns Step::Fault.
    Step end_of_input() noexcept {
        fault_ = RecordFault::Unterminated;
        fault_offset_ = opened_at_;
        return Step::Fault;
    }

    std::size_t cell_count() const noexcept { return ends_.size(); }
    std::string_view cell(std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }
    // The input offset where cell i starts: the byte after the delimiter
    // before it (the record's first byte for cell 0).
    std::uint64_t cell_offset(std::size_t i) const noexcept { return starts_[i]; }
    // The bytes of all cells together.
    std::size_t text_bytes() const noexcept { return text_.size(); }

    RecordFault fault() const noexcept { return fault_; }
    // Input offset of the fault: the opening quote of an unterminated field,
    // the first character after a closing quote that is not white space.
    std::uint64_t fault_offset() const noexcept { return fault_offset_; }
    // The line of the record (0 for its first) on which the quoted field of
    // an Unterminated fault opened.
    std::uint64_t opened_line() const noexcept { return opened_line_; }

private:
    void end_cell() { ends_.push_back(text_.size()); }
    void begin_cell(std::uint64_t offset) { starts_.push_back(offset); }
    // Continues a quoted field at text[pos]; returns the position after its
    // closing quote, or npos when the line ends inside it.
    std::size_t quoted_part(std::string_view text, std::size_t pos);

    CsvDialect dialect_;
    bool in_quotes_ = false;  // a quoted field continues on the next line
    std::uint64_t opened_at_ = 0;
    std::uint64_t opened_line_ = 0;  // lines of the record fed before the open quote's
    std::uint64_t lines_fed_ = 0;  // lines of the record fed so far
    std::string text_;
    std::vector<std::size_t> ends_;
    std::vector<std::uint64_t> starts_;
    RecordFault fault_ = RecordFault::None;
    std::uint64_t fault_offset_ = 0;
};

// The number of fields of a record that holds no quote character: one more
// than its delimiters.
std::size_t unquoted_field_count(std::string_view line, char delimiter) noexcept;

// Messages of the faults of the dialect, with the file, the 1-based line
// the record starts on and the byte offset of the fault.
// `quote_line`: the line on which the quoted field opened.
std::string unterminated_quote_text(const std::string& path, std::uint64_t line, std::uint64_t offset,
                                    std::uint64_t quote_line);
std::string text_after_quote_text(const std::string& path, std::uint64_t line, std::uint64_t offset);
std::string extra_fields_text(const std::string& path, std::uint64_t line, std::uint64_t offset, std::size_t fields,
                              std::size_t header_fields);
// A cell of an int64 column that is not a canonical integer, at the record
// that starts on `line`.
std::string not_integer_text(const std::string& path, std::uint64_t line, const std::string& column,
                             std::string_view cell);

// The integer test that decides whether a column can be stored as int64
// (common/canonical_int.hpp).
using common::parse_canonical_int64;

}  // namespace sarn::pipeline
