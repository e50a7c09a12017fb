#include "pipeline/range_scan.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>

#include "common/file_io.hpp"
#include "common/system_error.hpp"
#include "container/text_batch.hpp"
#include "pipeline/batch_loop.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/row_reader.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

namespace {

// Where field `n` (n >= 1) of an unquoted line starts, or nullptr when the
// line has at most n fields.
const char* field_start(std::string_view line, std::size_t n, char delimiter) noexcept {
    detail::ByteFinder delimiters(line.data(), line.data() + line.size(), delimiter);
    const char* found = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        found = delimiters.next();
        if (!found) return nullptr;
    }
    return found + 1;
}

// One reading of a range, from one supposed start state.  It sees every
// line the scan reads (until it is done) and counts, checks and places the
// data records that start in the range, as RowReader::fill would read them.
class Tracker {
public:
    enum class State : std::uint8_t {
        AtRecord,  // a record starts at the next line
        InRecord,  // a record of the range runs on in a quoted field
        InForeign,  // a quoted field of a record that started before the range runs on
        Done,
    };

    Tracker(const ScanRequest& request, RangeTrack& out, State start, std::uint64_t begin, std::uint64_t end)
        : request_(request),
          out_(out),
          state_(start),
          end_(end),
          extra_error_(request.dialect.extra_fields == ExtraFields::Error),
          space_delimiter_(is_blank(std::string_view(&request.dialect.delimiter, 1))),
          record_(request.dialect) {
        out_.not_integer.assign(request.checks.size(), 0);
        for (const IntegerCheck c : request.checks) {
            if (c == IntegerCheck::Require) ++required_;
            if (c == IntegerCheck::Infer) ++live_;
        }
        if (start == State::InForeign) record_.start_inside(begin);
    }

    State state() const noexcept { return state_; }

    // Before the line that starts at `offset`: whether this tracker reads it.
    bool wants_line_at(std::uint64_t offset) noexcept {
        if (state_ == State::Done) return false;
        if (offset < end_) return true;
        if (!crossed_) {
            crossed_ = true;
            out_.ends_inside = state_ != State::AtRecord;
        }
        if (state_ == State::InRecord) return true;  // a record of the range ends past it
        state_ = State::Done;
        return false;
    }

    // The next line: `quoted` when it holds the quote character.
    void feed(std::string_view line, std::string_view terminator, std::uint64_t offset, std::uint64_t number,
              bool quoted) {
        switch (state_) {
            case State::AtRecord:
                line_ = number;
                offset_ = offset;
                if (quoted) {
                    record_.start();
                    state_ = State::InRecord;
                    step(line, terminator, offset);
                    return;
                }
                if (is_blank(line) && (!space_delimiter_ || line.find(request_.dialect.delimiter) == line.npos)) {
                    return;
                }
                unquoted_record(line);
                return;
            case State::InRecord: step(line, terminator, offset); return;
            case State::InForeign:
                // A line without a quote leaves the field open.
                if (quoted) foreign_step(line, terminator, offset);
                return;
            case State::Done: return;
        }
    }

    // The input ended before a line start at or past the range's end.
    void end_of_input() {
        if (state_ == State::Done) return;
        if (!crossed_) {
            crossed_ = true;
            out_.ends_inside = state_ != State::AtRecord;
        }
        if (state_ == State::InRecord) {
            record_.end_of_input();
            fault(record_fault_place(line_));
            return;
        }
        // A foreign field left open is the fault of the range it opened in.
        state_ = State::Done;
    }

    // The source refused a line this tracker reads.
    void source_fault(const InputFaultPlace& place) {
        if (state_ != State::Done) fault(place);
    }

    // From now on the records of this tracker are also another tracker's,
    // which stopped: note which columns fail from here on separately.
    void share() {
        sharing_ = true;
        shared_.assign(request_.checks.size(), 0);
        live_ = 0;
        for (const IntegerCheck c : request_.checks) live_ += c == IntegerCheck::Infer ? 1 : 0;
    }
    const std::vector<std::uint8_t>& shared() const noexcept { return shared_; }

    void add_checkpoint(const Checkpoint& c) { out_.checkpoints.push_back(c); }

private:
    void fault(InputFaultPlace place) {
        out_.fault = std::move(place);
        state_ = State::Done;
    }

    void record_done() {
        if (out_.records % CHECKPOINT_RECORDS == 0) out_.checkpoints.push_back({offset_, out_.records, line_});
        ++out_.records;
    }

    // Whether cells must be looked at: some column is required to be
    // integers, or may still turn out to be.
    bool checking() const noexcept { return required_ != 0 || live_ != 0; }

    // Checks cell `text` of column `c`; a required column's fault waits in
    // pending_ (a wider record's fault comes first).
    void check_cell(std::size_t c, std::string_view text) {
        switch (request_.checks[c]) {
            case IntegerCheck::None: return;
            case IntegerCheck::Infer: {
                std::uint8_t& failed = sharing_ ? shared_[c] : out_.not_integer[c];
                if (failed) return;
                std::int64_t value;
                if (parse_canonical_int64(text, value)) return;
                failed = 1;
                out_.not_integer[c] = 1;
                --live_;
                return;
            }
            case IntegerCheck::Require: {
                std::int64_t value;
                if (pending_ || parse_canonical_int64(text, value)) return;
                pending_.emplace(InputFaultPlace{InputFault::NotInteger, line_, offset_});
                pending_->column = c;
                pending_->cell = shown_cell(text);
                return;
            }
        }
    }

    // A record that is one line without a quote.
    void unquoted_record(std::string_view line) {
        if (line.size() > container::TextBatch::MAX_ROW_BYTES) {
            fault({InputFault::LineTooLong, line_, offset_});
            return;
        }
        const char delimiter = request_.dialect.delimiter;
        const std::size_t columns = request_.columns;
        const char* rest = nullptr;
        if (checking()) {
            std::size_t c = 0;
            rest = detail::split_line(line, columns, delimiter,
                                      [&](std::string_view piece, std::size_t) { check_cell(c++, piece); });
        } else if (extra_error_) {
            rest = field_start(line, columns, delimiter);
        }
        if (rest && extra_error_) {
            InputFaultPlace place{InputFault::ExtraFields, line_,
                                  offset_ + static_cast<std::uint64_t>(rest - line.data())};
            place.fields = unquoted_field_count(line, delimiter);
            place.column = columns;
            fault(std::move(place));
            return;
        }
        finish_record();
    }

    void finish_record() {
        if (pending_) {
            fault(std::move(*pending_));
            pending_.reset();
            return;
        }
        record_done();
    }

    // The next line of a record of the range that holds a quoted field.
    void step(std::string_view line, std::string_view terminator, std::uint64_t offset) {
        const QuotedRecord::Step s = record_.feed(line, terminator, offset);
        if (s == QuotedRecord::Step::More) return;
        if (s == QuotedRecord::Step::Fault) {
            fault(record_fault_place(line_));
            return;
        }
        state_ = State::AtRecord;
        const std::size_t cells = record_.cell_count();
        const std::size_t columns = request_.columns;
        if (cells > columns && extra_error_) {
            InputFaultPlace place{InputFault::ExtraFields, line_, record_.cell_offset(columns)};
            place.fields = cells;
            place.column = columns;
            fault(std::move(place));
            return;
        }
        if (record_.text_bytes() > container::TextBatch::MAX_ROW_BYTES) {
            fault({InputFault::LineTooLong, line_, offset_});
            return;
        }
        if (checking()) {
            for (std::size_t c = 0; c < columns; ++c) check_cell(c, c < cells ? record_.cell(c) : std::string_view());
        }
        finish_record();
    }

    // The next line of the record that started before the range.
    void foreign_step(std::string_view line, std::string_view terminator, std::uint64_t offset) {
        const QuotedRecord::Step s = record_.feed(line, terminator, offset);
        if (s == QuotedRecord::Step::More) return;
        if (s == QuotedRecord::Step::Fault) {
            // The range the record started in finds this fault first.
            fault(record_fault_place(0));
            return;
        }
        state_ = State::AtRecord;  // its end: records of the range follow
    }

    // The fault of the record that starts on `line`, as QuotedRecord found it.
    InputFaultPlace record_fault_place(std::uint64_t line) const {
        if (record_.fault() == RecordFault::TextAfterQuote) {
            return {InputFault::TextAfterQuote, line, record_.fault_offset()};
        }
        InputFaultPlace place{InputFault::Unterminated, line, record_.fault_offset()};
        place.fields = line + record_.opened_line();
        return place;
    }

    const ScanRequest& request_;
    RangeTrack& out_;
    State state_;
    std::uint64_t end_;
    bool extra_error_;
    bool space_delimiter_;
    bool crossed_ = false;  // the first line start at or past end_ was reached
    QuotedRecord record_;
    std::uint64_t line_ = 0;  // of the record being read
    std::uint64_t offset_ = 0;  // of the record being read
    std::size_t required_ = 0;  // columns under IntegerCheck::Require
    std::size_t live_ = 0;  // columns under Infer not yet failed (in shared_ once sharing)
    std::optional<InputFaultPlace> pending_;
    bool sharing_ = false;
    std::vector<std::uint8_t> shared_;
};

// The track of a tracker that met the other one after `own` of its records,
// when the other had read `other` of its own: the records from there on
// are the other's.
void merge_met(RangeTrack& met, const RangeTrack& other, std::uint64_t own, std::uint64_t other_count,
               const std::vector<std::uint8_t>& shared) {
    met.records = own + (other.records - other_count);
    for (const Checkpoint& c : other.checkpoints) {
        if (c.record >= other_count) met.checkpoints.push_back({c.offset, c.record - other_count + own, c.line});
    }
    met.ends_inside = other.ends_inside;
    met.fault = other.fault;
    for (std::size_t c = 0; c < met.not_integer.size() && c < shared.size(); ++c) met.not_integer[c] |= shared[c];
}

}  // namespace

Result<RangeScan> scan_range(int fd, const std::string& path, std::uint64_t begin, std::uint64_t end,
                             const ScanRequest& request, std::stop_token stop) {
    RangeScan scan;
    scan.begin = begin;
    scan.end = end;
    // The range's first line starts at `begin` when the byte before it ends
    // a line, else right after the next line feed.
    LineSource lines = LineSource::positioned(fd, path, Wording::Named, begin > 0 ? begin - 1 : 0);
    const bool quoting = request.dialect.quoting();
    if (quoting) lines.watch(request.dialect.quote);
    if (begin > 0 && !lines.skip_through_line_feed()) {
        if (lines.failed()) return lines.error();
        // No line starts at or after `begin`: each state lasts to the end.
        scan.first_line = end;
        scan.from_inside.ends_inside = true;
        return scan;
    }
    scan.first_line = std::min(lines.position(), end);

    using State = Tracker::State;
    Tracker outside(request, scan.from_record, State::AtRecord, begin, end);
    std::optional<Tracker> inside;
    if (!request.at_record_start) inside.emplace(request, scan.from_inside, State::InForeign, begin, end);
    bool met = false;
    std::uint64_t inside_met = 0, outside_met = 0;  // each one's records when they met

    std::string_view line;
    for (;;) {
        const std::uint64_t at = lines.position();
        const bool want_out = outside.wants_line_at(at);
        const bool want_in = inside && !met && inside->wants_line_at(at);
        if (!want_out && !want_in) break;
        if (!lines.next(line)) {
            if (!lines.failed()) {
                outside.end_of_input();
                if (inside && !met) inside->end_of_input();
                break;
            }
            if (lines.fault().fault == InputFault::None) return lines.error();
            if (want_out) outside.source_fault(lines.fault());
            if (want_in) inside->source_fault(lines.fault());
            break;
        }
        if (at < end) ++scan.lines;
        if ((lines.line_number() % TICK_LINES) == 0 && stop.stop_requested()) return Error::cancelled(CANCELLED_TEXT);
        const bool quoted = quoting && lines.may_hold_watched() && !line.empty() &&
                            std::memchr(line.data(), request.dialect.quote, line.size()) != nullptr;
        if (want_out) outside.feed(line, lines.terminator(), at, lines.line_number(), quoted);
        if (want_in) inside->feed(line, lines.terminator(), at, lines.line_number(), quoted);
        if (inside && !met && outside.state() == State::AtRecord && inside->state() == State::AtRecord) {
            // Both read a record start at the next line: from here on they
            // read the same records.
            met = true;
            inside_met = scan.from_inside.records;
            outside_met = scan.from_record.records;
            inside->add_checkpoint({lines.position(), inside_met, lines.line_number() + 1});
            outside.share();
        }
    }
    if (met) merge_met(scan.from_inside, scan.from_record, inside_met, outside_met, outside.shared());
    return scan;
}

Result<RangeScan> scan_range(const std::string& path, std::uint64_t begin, std::uint64_t end,
                             const ScanRequest& request, std::stop_token stop) {
    auto file = common::open_for_reading(path);
    if (!file) return std::move(file).error().prefixed("Cannot open " + path + ": ");
    return scan_range(file->fd(), path, begin, end, request, std::move(stop));
}

Result<ScanPlan> combine_scans(const std::vector<RangeScan>& scans, const std::string& path,
                               const std::vector<std::string>& names, std::uint64_t header_lines) {
    ScanPlan plan;
    bool inside = false;  // the first range starts at a record
    std::uint64_t lines_before = header_lines;
    for (const RangeScan& scan : scans) {
        const RangeTrack& track = inside ? scan.from_inside : scan.from_record;
        if (track.fault) {
            InputFaultPlace place = *track.fault;
            place.line += lines_before;
            if (place.fault == InputFault::Unterminated) place.fields += lines_before;
            return input_fault_error(path, place, names);
        }
        plan.picks.push_back({&track, lines_before, plan.records});
        plan.records += track.records;
        if (plan.not_integer.size() < track.not_integer.size()) plan.not_integer.resize(track.not_integer.size(), 0);
        for (std::size_t c = 0; c < track.not_integer.size(); ++c) plan.not_integer[c] |= track.not_integer[c];
        inside = track.ends_inside;
        lines_before += scan.lines;
    }
    return plan;
}

std::vector<RunStart> plan_chunk_runs(const ScanPlan& plan, std::uint64_t chunks_per_run) {
    std::vector<RunStart> runs;
    const std::uint64_t per_run = std::max<std::uint64_t>(chunks_per_run, 1);
    const std::uint64_t chunks = (plan.records + CHUNK_SIZE - 1) / CHUNK_SIZE;
    std::size_t r = 0;
    for (std::uint64_t first = 0; first < chunks; first += per_run) {
        const std::uint64_t record = first * CHUNK_SIZE;
        while (plan.picks[r].records_before + plan.picks[r].track->records <= record) ++r;
        const ScanPlan::Pick& pick = plan.picks[r];
        const std::uint64_t local = record - pick.records_before;
        const std::vector<Checkpoint>& points = pick.track->checkpoints;
        // The last checkpoint at or before the record.
        auto after = std::upper_bound(points.begin(), points.end(), local,
                                      [](std::uint64_t v, const Checkpoint& c) { return v < c.record; });
        const Checkpoint& at = *std::prev(after);
        RunStart run;
        run.offset = at.offset;
        run.lines_before = pick.lines_before + at.line - 1;
        run.skip = local - at.record;
        run.first_chunk = static_cast<std::uint32_t>(first);
        run.rows = std::min(plan.records, (first + per_run) * CHUNK_SIZE) - record;
        runs.push_back(run);
    }
    return runs;
}

Result<std::vector<std::uint8_t>> infer_column_types(int fd, const std::string& path, std::uint64_t data_start,
                                                     std::uint64_t size, std::uint64_t header_lines,
                                                     const std::vector<std::string>& names, const CsvDialect& dialect,
                                                     unsigned threads, std::stop_token stop, std::uint64_t min_range) {
    // Small inputs in one range: a second range costs a thread and, for a
    // file with quotes, a second tracker.
    const std::uint64_t data = size > data_start ? size - data_start : 0;
    const std::uint64_t count =
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(threads, data / std::max<std::uint64_t>(min_range, 1)));
    const std::uint64_t each = (data + count - 1) / std::max<std::uint64_t>(count, 1);

    ScanRequest request;
    request.dialect = dialect;
    request.columns = names.size();
    request.checks.assign(names.size(), IntegerCheck::Infer);
    std::vector<ScanRequest> requests(count, request);
    requests[0].at_record_start = true;

    std::vector<Result<RangeScan>> results(count, Error::cancelled(CANCELLED_TEXT));
    const auto scan_one = [&](std::uint64_t i) {
        const std::uint64_t b = data_start + i * each;
        const std::uint64_t e = std::min(size, b + each);
        try {
            results[i] = scan_range(fd, path, b, i + 1 == count ? std::max(e, size) : e, requests[i], stop);
        } catch (const std::bad_alloc&) {
            results[i] = common::os_error(ENOMEM);
        }
    };
    std::vector<std::thread> workers;
    for (std::uint64_t i = 1; i < count; ++i) {
        try {
            workers.emplace_back(scan_one, i);
        } catch (const std::system_error&) {
            scan_one(i);  // no thread to be had: scan it here
        }
    }
    scan_one(0);
    for (std::thread& t : workers) t.join();

    std::vector<RangeScan> scans;
    for (Result<RangeScan>& r : results) {
        if (!r) return std::move(r).error();
        scans.push_back(std::move(*r));
    }
    auto plan = combine_scans(scans, path, names, header_lines);
    if (!plan) return std::move(plan).error();
    return inferred_types(plan->not_integer.empty() ? std::vector<std::uint8_t>(names.size(), 0) : plan->not_integer,
                          plan->records);
}

// ---- a scan as bytes --------------------------------------------------------------

namespace {

class Out {
public:
    template <class T>
    void put(T v) {
        std::uint8_t b[sizeof(T)];
        std::memcpy(b, &v, sizeof(T));
        bytes.insert(bytes.end(), b, b + sizeof(T));
    }
    void put_text(std::string_view s) {
        put<std::uint64_t>(s.size());
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    common::Bytes bytes;
};

class In {
public:
    explicit In(common::ByteView b) : b_(b) {}
    template <class T>
    bool get(T& v) {
        if (b_.size() - at_ < sizeof(T)) return false;
        std::memcpy(&v, b_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool get_text(std::string& s) {
        std::uint64_t n;
        if (!get(n) || n > b_.size() - at_) return false;
        s.assign(reinterpret_cast<const char*>(b_.data() + at_), static_cast<std::size_t>(n));
        at_ += static_cast<std::size_t>(n);
        return true;
    }
    bool at_end() const { return at_ == b_.size(); }
    std::size_t left() const { return b_.size() - at_; }

private:
    common::ByteView b_;
    std::size_t at_ = 0;
};

void put_track(Out& out, const RangeTrack& t) {
    out.put<std::uint64_t>(t.records);
    out.put<std::uint64_t>(t.checkpoints.size());
    for (const Checkpoint& c : t.checkpoints) {
        out.put(c.offset);
        out.put(c.record);
        out.put(c.line);
    }
    out.put<std::uint8_t>(t.ends_inside);
    out.put<std::uint8_t>(t.fault.has_value());
    if (t.fault) {
        out.put<std::uint8_t>(static_cast<std::uint8_t>(t.fault->fault));
        out.put(t.fault->line);
        out.put(t.fault->offset);
        out.put(t.fault->fields);
        out.put(t.fault->column);
        out.put_text(t.fault->cell);
    }
    out.put_text(std::string_view(reinterpret_cast<const char*>(t.not_integer.data()), t.not_integer.size()));
}

bool get_track(In& in, RangeTrack& t) {
    std::uint64_t n;
    if (!in.get(t.records) || !in.get(n) || n > in.left() / 24) return false;
    t.checkpoints.resize(static_cast<std::size_t>(n));
    for (Checkpoint& c : t.checkpoints) {
        if (!in.get(c.offset) || !in.get(c.record) || !in.get(c.line)) return false;
    }
    std::uint8_t inside, has_fault;
    if (!in.get(inside) || !in.get(has_fault)) return false;
    t.ends_inside = inside != 0;
    if (has_fault) {
        InputFaultPlace f;
        std::uint8_t kind;
        if (!in.get(kind) || kind > static_cast<std::uint8_t>(InputFault::NotInteger)) return false;
        f.fault = static_cast<InputFault>(kind);
        if (!in.get(f.line) || !in.get(f.offset) || !in.get(f.fields) || !in.get(f.column) || !in.get_text(f.cell))
            return false;
        t.fault = std::move(f);
    }
    std::string flags;
    if (!in.get_text(flags)) return false;
    t.not_integer.assign(flags.begin(), flags.end());
    return true;
}

}  // namespace

common::Bytes scan_bytes(const RangeScan& scan) {
    Out out;
    out.put(scan.begin);
    out.put(scan.end);
    out.put(scan.first_line);
    out.put(scan.lines);
    put_track(out, scan.from_record);
    put_track(out, scan.from_inside);
    return std::move(out.bytes);
}

Result<RangeScan> scan_from_bytes(common::ByteView bytes) {
    In in(bytes);
    RangeScan scan;
    if (in.get(scan.begin) && in.get(scan.end) && in.get(scan.first_line) && in.get(scan.lines) &&
        get_track(in, scan.from_record) && get_track(in, scan.from_inside) && in.at_end()) {
        return scan;
    }
    return Error::value("not a range scan");
}

}  // namespace sarn::pipeline
