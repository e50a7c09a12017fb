#include "pipeline/csv_dialect.hpp"

#include <cstring>

#include "pipeline/csv.hpp"

namespace sarn::pipeline {

namespace {

bool is_ascii_char(char c) noexcept { return static_cast<unsigned char>(c) < 0x80; }

bool is_ascii_white(char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Position of the next `c` in text at or after `from`, or text.size().
std::size_t find_from(std::string_view text, char c, std::size_t from) noexcept {
    if (from >= text.size()) return text.size();
    const void* hit = std::memchr(text.data() + from, c, text.size() - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) : text.size();
}

}  // namespace

std::optional<std::string> dialect_problem(const CsvDialect& d) {
    const auto shown = [](char c) {
        if (c == '\t') return std::string("'\\t'");
        if (c == '\r') return std::string("'\\r'");
        if (c == '\n') return std::string("'\\n'");
        return "'" + std::string(1, c) + "'";
    };
    if (d.delimiter == '\0' || !is_ascii_char(d.delimiter))
        return std::string("the delimiter must be one ASCII character");
    if (d.delimiter == '\r' || d.delimiter == '\n')
        return "the delimiter cannot be " + shown(d.delimiter) + ": it ends records";
    if (!d.quoting()) return std::nullopt;
    if (!is_ascii_char(d.quote)) return std::string("the quote must be one ASCII character");
    if (d.quote == d.delimiter) return "the quote and the delimiter are both " + shown(d.quote);
    if (d.quote == '\r' || d.quote == '\n' || is_ascii_white(d.quote))
        return "the quote cannot be " + shown(d.quote) + ": it is white space or ends records";
    return std::nullopt;
}

void QuotedRecord::start() noexcept {
    in_quotes_ = false;
    text_.clear();
    ends_.clear();
    starts_.clear();
    fault_ = RecordFault::None;
    opened_line_ = lines_fed_ = 0;
}

void QuotedRecord::start_inside(std::uint64_t opened_at) noexcept {
    start();
    in_quotes_ = true;
    opened_at_ = opened_at;
    starts_.push_back(opened_at);
}

std::size_t QuotedRecord::quoted_part(std::string_view text, std::size_t pos) {
    const char quote = dialect_.quote;
    for (;;) {
        const std::size_t q = find_from(text, quote, pos);
        text_.append(text.data() + pos, q - pos);
        if (q == text.size()) return std::string_view::npos;
        if (q + 1 < text.size() && text[q + 1] == quote) {  // "" stands for one quote
            text_.push_back(quote);
            pos = q + 2;
            continue;
        }
        return q + 1;
    }
}

QuotedRecord::Step QuotedRecord::feed(std::string_view text, std::string_view terminator, std::uint64_t offset) {
    const char delimiter = dialect_.delimiter;
    std::size_t pos = 0;
    for (;;) {
        std::size_t after;  // just past a closing quote
        if (in_quotes_) {
            after = quoted_part(text, pos);
        } else {
            begin_cell(offset + pos);
            // A new field at `pos`.  What stands before the next delimiter
            // decides whether it is quoted: its first character after white
            // space.  The delimiter bounds the white space, so a tab
            // delimiter is never taken for leading white space.
            const std::size_t next = find_from(text, delimiter, pos);
            const std::string_view trimmed = trim(text.substr(pos, next - pos));
            if (trimmed.empty() || trimmed.front() != dialect_.quote) {
                text_.append(trimmed);
                end_cell();
                if (next == text.size()) return Step::Done;
                pos = next + 1;
                continue;
            }
            const std::size_t open = static_cast<std::size_t>(trimmed.data() - text.data());
            opened_at_ = offset + open;
            opened_line_ = lines_fed_;
            in_quotes_ = true;
            after = quoted_part(text, open + 1);
        }
        if (after == std::string_view::npos) {
            // The line ends inside the quoted field: its line break is text.
            if (terminator.empty()) {
                fault_ = RecordFault::Unterminated;
                fault_offset_ = opened_at_;
                return Step::Fault;
            }
            text_.append(terminator);
            ++lines_fed_;
            return Step::More;
        }
        in_quotes_ = false;
        const std::size_t next = find_from(text, delimiter, after);
        const std::string_view rest = text.substr(after, next - after);
        const std::string_view stray = trim(rest);
        if (!stray.empty()) {
            fault_ = RecordFault::TextAfterQuote;
            fault_offset_ = offset + static_cast<std::size_t>(stray.data() - text.data());
            return Step::Fault;
        }
        end_cell();
        if (next == text.size()) return Step::Done;
        pos = next + 1;
    }
}

std::size_t unquoted_field_count(std::string_view line, char delimiter) noexcept {
    std::size_t fields = 1;
    for (std::size_t at = find_from(line, delimiter, 0); at < line.size(); at = find_from(line, delimiter, at + 1)) {
        ++fields;
    }
    return fields;
}

std::string unterminated_quote_text(const std::string& path, std::uint64_t line, std::uint64_t offset,
                                    std::uint64_t quote_line) {
    const std::string where = quote_line > line ? "on line " + std::to_string(quote_line) + " at " : "at ";
    return path + ": line " + std::to_string(line) + ": a quoted field is never closed (it opens " + where +
           "byte offset " + std::to_string(offset) + ")";
}

std::string not_integer_text(const std::string& path, std::uint64_t line, const std::string& column,
                             std::string_view cell) {
    std::string shown;
    for (const char c : cell) {
        if (c == '\'' || c == '\\') shown += '\\';
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else {
            shown += c;
        }
    }
    return path + ": line " + std::to_string(line) + ": column '" + column + "' is int64, and '" + shown +
           "' is not an integer (an int64 cell is 0, or an optional '-' and digits that do not start with 0, "
           "within the signed 64-bit range)";
}

std::string text_after_quote_text(const std::string& path, std::uint64_t line, std::uint64_t offset) {
    return path + ": line " + std::to_string(line) + ": text after the closing quote of a field (byte offset " +
           std::to_string(offset) + ")";
}

std::string extra_fields_text(const std::string& path, std::uint64_t line, std::uint64_t offset, std::size_t fields,
                              std::size_t header_fields) {
    return path + ": line " + std::to_string(line) + ": " + std::to_string(fields) + " fields where the header has " +
           std::to_string(header_fields) + " (byte offset " + std::to_string(offset) +
           "); extra_fields=\"drop\" drops the extra ones";
}

}  // namespace sarn::pipeline
