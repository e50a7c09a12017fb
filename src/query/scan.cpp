#include "query/scan.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <cstdint>
#include <tuple>
#include <unordered_set>

#include "container/chunk.hpp"
#include "query/fetch_ahead.hpp"

namespace sarn::query {

using namespace container;

namespace {

// ---- what the footer says about a chunk's values, as they read ----------------

struct Bounds {
    bool unknown = false;  // the entry is inconsistent: assume anything
    bool has_values = true;  // some cell reads as a value (not every cell null)
    bool may_have_nulls = false;
    bool ordered = false;  // lo/hi below are valid
    std::int64_t lo_i = 0, hi_i = 0;
    double lo_f = 0, hi_f = 0;
    std::string_view lo_s, hi_s;
    const std::array<std::uint8_t, BLOOM_BYTES>* bloom = nullptr;
};

Bounds bounds_of(std::uint8_t type, const ColumnChunkMeta& m, std::size_t rows) {
    Bounds b;
    if (m.null_count > rows) {
        b.unknown = true;
        return b;
    }
    const bool all_null = m.null_count == rows;
    const bool partial_nulls = m.null_count > 0 && !all_null;
    b.has_values = !all_null;
    switch (type) {
        case TYPE_INT:
        case TYPE_BOOL:
            // Nulls that cannot be located read as the 0 stored for them.
            b.ordered = true;
            b.lo_i = m.min_int;
            b.hi_i = m.max_int;
            if (partial_nulls) {
                b.lo_i = std::min<std::int64_t>(b.lo_i, 0);
                b.hi_i = std::max<std::int64_t>(b.hi_i, 0);
            }
            b.may_have_nulls = all_null;
            if (b.lo_i > b.hi_i) b.unknown = true;
            break;
        case TYPE_FLOAT: {
            b.ordered = true;
            std::tie(b.lo_f, b.hi_f) = stored_float_bounds(m.min_int, m.max_int);
            if (partial_nulls) {
                b.lo_f = std::min(b.lo_f, 0.0);
                b.hi_f = std::max(b.hi_f, 0.0);
            }
            b.may_have_nulls = all_null;
            if (m.min_int > m.max_int) b.unknown = true;
            break;
        }
        case TYPE_TEXT:
            // Non-null texts lie within min/max; nulls read either as null or,
            // when the block also holds genuine empty texts, as "", which
            // min_text then already is.
            b.ordered = true;
            b.lo_s = m.min_text;
            b.hi_s = m.max_text;
            b.bloom = &m.bloom;
            b.may_have_nulls = m.null_count > 0;
            if (b.lo_s > b.hi_s) b.unknown = true;
            break;
        default: b.may_have_nulls = m.null_count > 0; break;
    }
    return b;
}

// -1, 0, 1 for the operand against the bounds' lo (or hi).
int cmp_lo(std::uint8_t type, const Bounds& b, const FilterOperand& v) {
    if (type == TYPE_FLOAT) return v.f < b.lo_f ? -1 : (v.f > b.lo_f ? 1 : 0);
    if (type == TYPE_TEXT) return std::string_view(v.s) < b.lo_s ? -1 : (std::string_view(v.s) > b.lo_s ? 1 : 0);
    return v.i < b.lo_i ? -1 : (v.i > b.lo_i ? 1 : 0);
}
int cmp_hi(std::uint8_t type, const Bounds& b, const FilterOperand& v) {
    if (type == TYPE_FLOAT) return v.f < b.hi_f ? -1 : (v.f > b.hi_f ? 1 : 0);
    if (type == TYPE_TEXT) return std::string_view(v.s) < b.hi_s ? -1 : (std::string_view(v.s) > b.hi_s ? 1 : 0);
    return v.i < b.hi_i ? -1 : (v.i > b.hi_i ? 1 : 0);
}

// No value of the chunk equals v.
bool eq_ruled_out(std::uint8_t type, const Bounds& b, const FilterOperand& v) {
    if (!b.has_values) return true;
    if (!b.ordered) return false;
    if (cmp_lo(type, b, v) < 0 || cmp_hi(type, b, v) > 0) return true;
    if (b.bloom && !bloom_may_contain(*b.bloom, v.s)) return true;
    return false;
}

}  // namespace

bool bloom_may_contain(const std::array<std::uint8_t, BLOOM_BYTES>& bloom, std::string_view text) noexcept {
    std::array<std::uint8_t, BLOOM_BYTES> probe{};
    bloom_insert(probe, text);
    for (std::size_t i = 0; i < BLOOM_BYTES; ++i) {
        if ((probe[i] & bloom[i]) != probe[i]) return false;
    }
    return true;
}

bool predicate_rules_out(std::uint8_t type, const ColumnChunkMeta& meta, std::size_t rows, const Predicate& p) {
    if (rows == 0) return true;
    const Bounds b = bounds_of(type, meta, rows);
    if (b.unknown) return false;
    switch (p.op) {
        case CompareOp::Eq: return eq_ruled_out(type, b, p.operands.at(0));
        case CompareOp::In:
            return std::all_of(p.operands.begin(), p.operands.end(),
                               [&](const FilterOperand& v) { return eq_ruled_out(type, b, v); });
        case CompareOp::NotIn:
            if (b.may_have_nulls) return false;  // null rows satisfy `not in`
            if (!b.ordered) return false;
            if (type == TYPE_INT || type == TYPE_BOOL) {
                // Every integer between lo and hi is in the set.
                const std::uint64_t span = static_cast<std::uint64_t>(b.hi_i) - static_cast<std::uint64_t>(b.lo_i);
                if (span >= p.operands.size()) return false;
                std::unordered_set<std::int64_t> set;
                for (const auto& o : p.operands) set.insert(o.i);
                for (std::uint64_t k = 0; k <= span; ++k) {
                    if (!set.count(static_cast<std::int64_t>(static_cast<std::uint64_t>(b.lo_i) + k))) return false;
                }
                return true;
            }
            // Every value is the one value lo = hi, and it is in the set.
            if (cmp_lo(type, b, FilterOperand{b.hi_i, b.hi_f, std::string(b.hi_s)}) != 0) return false;
            return std::any_of(p.operands.begin(), p.operands.end(),
                               [&](const FilterOperand& v) { return cmp_lo(type, b, v) == 0; });
        default: break;
    }
    if (!b.has_values) return true;  // nulls satisfy no comparison
    if (!b.ordered) return false;
    const FilterOperand& v = p.operands.at(0);
    switch (p.op) {
        case CompareOp::Ne: return cmp_lo(type, b, v) == 0 && cmp_hi(type, b, v) == 0;
        case CompareOp::Lt: return cmp_lo(type, b, v) <= 0;  // lo >= v
        case CompareOp::Le: return cmp_lo(type, b, v) < 0;  // lo > v
        case CompareOp::Gt: return cmp_hi(type, b, v) >= 0;  // hi <= v
        case CompareOp::Ge: return cmp_hi(type, b, v) > 0;  // hi < v
        default: return false;
    }
}

// ---- exact filtering ---------------------------------------------------------------

namespace {

template <class T, class Get>
void compare_all(const DecodedColumn& c, CompareOp op, const T& v, Get get, std::span<std::uint8_t> keep) {
    const std::size_t n = c.length;
    for (std::size_t i = 0; i < n; ++i) {
        if (!keep[i]) continue;
        if (!c.is_valid(i)) {
            keep[i] = 0;
            continue;
        }
        const auto x = get(i);
        bool ok = false;
        switch (op) {
            case CompareOp::Eq: ok = x == v; break;
            case CompareOp::Ne: ok = x != v; break;
            case CompareOp::Lt: ok = x < v; break;
            case CompareOp::Le: ok = x <= v; break;
            case CompareOp::Gt: ok = x > v; break;
            case CompareOp::Ge: ok = x >= v; break;
            default: break;
        }
        if (!ok) keep[i] = 0;
    }
}

template <class T, class Get>
void member_all(const DecodedColumn& c, bool negate, const std::vector<T>& set, Get get, std::span<std::uint8_t> keep) {
    std::unordered_set<T> lookup(set.begin(), set.end());
    for (std::size_t i = 0; i < c.length; ++i) {
        if (!keep[i]) continue;
        if (!c.is_valid(i)) {
            if (!negate) keep[i] = 0;  // a null is `not in` any set
            continue;
        }
        const bool found = lookup.count(get(i)) != 0;
        if (found == negate) keep[i] = 0;
    }
}

}  // namespace

void apply_predicate(const DecodedColumn& c, const Predicate& p, std::span<std::uint8_t> keep) {
    const bool set_op = p.op == CompareOp::In || p.op == CompareOp::NotIn;
    const bool negate = p.op == CompareOp::NotIn;
    switch (c.layout) {
        case ColumnLayout::Int64:
        case ColumnLayout::Bool: {
            auto get = [&](std::size_t i) -> std::int64_t {
                return c.layout == ColumnLayout::Int64 ? c.int_at(i) : (c.bool_at(i) ? 1 : 0);
            };
            if (set_op) {
                std::vector<std::int64_t> set;
                for (const auto& o : p.operands) set.push_back(o.i);
                member_all(c, negate, set, get, keep);
            } else {
                compare_all(c, p.op, p.operands.at(0).i, get, keep);
            }
            return;
        }
        case ColumnLayout::Float64: {
            auto get = [&](std::size_t i) { return c.float_at(i); };
            if (set_op) {
                // NaN is never stored, and == on doubles is what `in` means.
                std::vector<double> set;
                for (const auto& o : p.operands) set.push_back(o.f);
                member_all(c, negate, set, get, keep);
            } else {
                compare_all(c, p.op, p.operands.at(0).f, get, keep);
            }
            return;
        }
        default: {
            auto get = [&](std::size_t i) { return c.cell(i); };
            if (set_op) {
                std::vector<std::string_view> set;
                for (const auto& o : p.operands) set.push_back(o.s);
                member_all(c, negate, set, get, keep);
            } else {
                compare_all(c, p.op, std::string_view(p.operands.at(0).s), get, keep);
            }
            return;
        }
    }
}

// ---- TableReader ----------------------------------------------------------------------

Result<std::shared_ptr<TableReader>> TableReader::open(const std::string& path, ReaderLimits limits) {
    auto source = container::FileSource::open(path);
    if (!source) return std::move(source).error();
    return open(std::shared_ptr<const ByteSource>(std::move(*source)), limits);
}

Result<std::shared_ptr<TableReader>> TableReader::open(std::shared_ptr<const ByteSource> source, ReaderLimits limits) {
    auto r = SarnReader::open(std::move(source), limits);
    if (!r) return std::move(r).error();
    // Values are read by name and handed out as text: names must be UTF-8.
    const std::string& path = r->path();
    if (std::string fault = schema_fault(r->schema()); !fault.empty()) return Error::format(path + ": " + fault, path);
    std::shared_ptr<TableReader> t(new TableReader(std::move(*r)));
    t->has_key_.assign(t->reader_.schema().size(), 0);
    return t;
}

void TableReader::set_key(std::size_t column, const AesKey& key) {
    reader_.set_column_key(column, key);
    has_key_.at(column) = 1;
}

Result<DecodedColumn> TableReader::read_column(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                               const ByteSource* fetched) const {
    if (column < schema().size() && schema()[column].encrypted != 0 && !has_key(column))
        return Error::value(path() + ": column '" + schema()[column].name +
                            "' is enciphered and no key was given for it");
    auto decoded = reader_.read_column(chunk, column, budget, fetched);
    if (!decoded || schema()[column].encrypted == 0) return decoded;
    // Counter mode has no tag: a wrong key gives other bytes, which the
    // footer's statistics of the clear values then disown.
    const std::string fault = check_block_statistics(reader_.block_meta(chunk, column), *decoded);
    if (!fault.empty())
        return Error::format(reader_.place(chunk, column) + "the deciphered values disagree with the footer (" + fault +
                                 "): the key given for column '" + schema()[column].name + "' is wrong",
                             path());
    return decoded;
}

Result<std::optional<DecodedColumn>> TableReader::verify_block(std::size_t chunk, std::size_t column,
                                                               ChunkBudget& budget, const ByteSource* fetched) const {
    if (column < schema().size() && schema()[column].encrypted != 0 && !has_key(column)) {
        // Up to decompression only: the length, CRC-32 and codec checks,
        // with nothing of the content held.
        auto block = reader_.measure_block(chunk, column, budget, true, fetched);
        if (!block) return std::move(block).error();
        return std::optional<DecodedColumn>();
    }
    auto c = read_column(chunk, column, budget, fetched);  // an enciphered column's statistics are checked there
    if (!c) return std::move(c).error();
    if (schema()[column].encrypted == 0) {
        const std::string fault = check_block_statistics(reader_.block_meta(chunk, column), *c);
        if (!fault.empty()) return Error::format(reader_.place(chunk, column) + fault, path());
    }
    return std::optional<DecodedColumn>(std::move(*c));
}

Result<void> TableReader::verify_chunk(std::size_t chunk, std::uint64_t max_chunk_bytes) const {
    ChunkBudget budget(max_chunk_bytes == 0 ? this->max_chunk_bytes() : max_chunk_bytes);
    std::optional<container::FetchedRanges> fetched;
    if (reader_.source().fetches() && chunk < chunk_count() && !schema().empty()) {
        // The chunk's blocks follow one another: one request.
        fetched.emplace(reader_.shared_source());
        const ByteRange first = reader_.block_range(chunk, 0), last = reader_.block_range(chunk, schema().size() - 1);
        if (auto r = fetched->ensure({first.offset, last.end() - first.offset}); !r)
            return std::move(r).error().prefixed(path() + ": chunk " + std::to_string(chunk) + ": ").about(path());
    }
    for (std::size_t column = 0; column < schema().size(); ++column) {
        auto checked = verify_block(chunk, column, budget, fetched ? &*fetched : nullptr);
        if (!checked) return std::move(checked).error();
    }
    return {};
}

Result<void> TableReader::verify() const {
    for (std::size_t chunk = 0; chunk < chunk_count(); ++chunk) {
        if (auto r = verify_chunk(chunk, 0); !r) return r;
    }
    return {};
}

// ---- Scan ------------------------------------------------------------------------------

std::shared_ptr<const Scan> Scan::restricted_to(const std::vector<std::size_t>& chunks) const {
    std::shared_ptr<Scan> s(new Scan(*this));
    s->chunks_.clear();
    for (std::size_t c : chunks_) {
        if (std::find(chunks.begin(), chunks.end(), c) != chunks.end()) s->chunks_.push_back(c);
    }
    return s;
}

Result<std::shared_ptr<const Scan>> Scan::plan(std::shared_ptr<const TableReader> table,
                                               std::vector<std::size_t> columns, Filter filter, bool structured_as_json,
                                               std::uint64_t max_chunk_bytes) {
    std::shared_ptr<Scan> s(new Scan());
    const std::size_t ncols = table->schema().size();
    s->needed_ = columns;
    for (const auto& conj : filter.any_of) {
        for (const Predicate& p : conj) {
            if (p.column >= ncols)
                return Error::value("filter names column " + std::to_string(p.column) + ", which does not exist");
            if (std::find(s->needed_.begin(), s->needed_.end(), p.column) == s->needed_.end())
                s->needed_.push_back(p.column);
        }
    }
    for (std::size_t c : s->needed_) {
        if (c >= ncols) return Error::value("column " + std::to_string(c) + " does not exist");
        const ColumnSchema& col = table->schema()[c];
        if (col.encrypted != 0 && !table->has_key(c))
            return Error::value(table->path() + ": column '" + col.name +
                                "' is enciphered and no key was given for it");
    }
    for (std::size_t chunk = 0; chunk < table->chunk_count(); ++chunk) {
        bool keep = filter.empty();
        for (const auto& conj : filter.any_of) {
            bool ruled_out = false;
            for (const Predicate& p : conj) {
                const ColumnChunkMeta m = table->reader().block_meta(chunk, p.column);
                if (predicate_rules_out(table->schema()[p.column].type_code, m, table->reader().chunk_rows(chunk), p)) {
                    ruled_out = true;
                    break;
                }
            }
            if (!ruled_out) {
                keep = true;
                break;
            }
        }
        if (keep) s->chunks_.push_back(chunk);
    }
    s->table_ = std::move(table);
    s->columns_ = std::move(columns);
    s->filter_ = std::move(filter);
    s->structured_as_json_ = structured_as_json;
    s->max_chunk_bytes_ = max_chunk_bytes == 0 ? s->table_->max_chunk_bytes() : max_chunk_bytes;
    return std::shared_ptr<const Scan>(std::move(s));
}

std::uint64_t Scan::stored_bytes(std::size_t chunk) const {
    std::uint64_t total = 0;
    for (std::size_t column : needed_) total += table_->reader().block_length(chunk, column);
    return total;
}

std::vector<ByteRange> Scan::block_ranges(std::size_t chunk) const {
    std::vector<ByteRange> out;
    out.reserve(needed_.size());
    for (std::size_t column : needed_) out.push_back(table_->reader().block_range(chunk, column));
    return out;
}

Result<RecordBatch> Scan::read(std::size_t chunk, const ByteSource* fetched) const {
    RecordBatch batch;
    batch.chunk = chunk;
    const std::size_t rows = table_->reader().chunk_rows(chunk);
    std::vector<std::optional<DecodedColumn>> decoded(needed_.size());
    auto index_of = [&](std::size_t column) {
        return static_cast<std::size_t>(std::find(needed_.begin(), needed_.end(), column) - needed_.begin());
    };
    ChunkBudget budget(max_chunk_bytes_);
    for (std::size_t k = 0; k < needed_.size(); ++k) {
        auto c = table_->read_column(chunk, needed_[k], budget, fetched);
        if (!c) return std::move(c).error();
        decoded[k] = std::move(*c);
    }
    std::size_t kept = rows;
    std::vector<std::uint8_t> keep;
    if (!filter_.empty()) {
        keep.assign(rows, 0);
        std::vector<std::uint8_t> conj_keep(rows);
        for (const auto& conj : filter_.any_of) {
            std::fill(conj_keep.begin(), conj_keep.end(), 1);
            for (const Predicate& p : conj) apply_predicate(*decoded[index_of(p.column)], p, conj_keep);
            for (std::size_t i = 0; i < rows; ++i) keep[i] |= conj_keep[i];
        }
        kept = static_cast<std::size_t>(std::count(keep.begin(), keep.end(), std::uint8_t{1}));
    }
    batch.num_rows = kept;
    std::vector<std::size_t> first_output(needed_.size(), SIZE_MAX);  // where each column went first
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        const std::size_t at = index_of(columns_[k]);
        if (first_output[at] != SIZE_MAX) {
            // The same column asked for twice: copy what the first one got.
            const DecodedColumn& prev = batch.columns[first_output[at]];
            std::vector<std::uint8_t> all(prev.length, 1);
            batch.columns.push_back(take_rows(prev, all, prev.length));
            continue;
        }
        DecodedColumn& c = *decoded[at];
        DecodedColumn out = kept == rows ? std::move(c) : take_rows(c, keep, kept);
        if (structured_as_json_ && out.layout == ColumnLayout::Structured) {
            bool exceeded = false;
            auto json = to_json_column(out, budget.left(), &exceeded);
            if (!json) {
                if (exceeded) return table_->reader().over_budget(chunk, columns_[k], budget.limit(), true, budget);
                return Error::format(table_->reader().place(chunk, columns_[k]) + json.error().message, table_->path());
            }
            (void)budget.take(json->values.size() + json->data.size() + json->validity.size());
            out = std::move(*json);
        }
        first_output[at] = batch.columns.size();
        batch.columns.push_back(std::move(out));
    }
    return batch;
}

// ---- threads -----------------------------------------------------------------------------

BatchStream::BatchStream(std::shared_ptr<const Scan> scan, unsigned threads)
    : scan_(std::move(scan)),
      threads_(std::max(1u, threads)) {
    const std::size_t n = scan_->chunks().size();
    if (scan_->table().reader().source().fetches() && n > 0) fetch_ = std::make_unique<FetchAhead>(*scan_, threads_);
    // One thread decodes inline in next(); more run beside the consumer.
    if (threads_ > 1 && n > 1) {
        const std::size_t workers = std::min<std::size_t>(threads_, n);
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                workers_.emplace_back([this] { work(); });
            } catch (const std::exception&) {
                // No thread to be had (a limit of the process): the ones that
                // started, or the consumer itself, decode everything.
                break;
            }
        }
    }
}

BatchStream::~BatchStream() { cancel(); }

void BatchStream::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    work_cv_.notify_all();
    ready_cv_.notify_all();
    for (auto& t : workers_) {
        if (t.joinable()) t.join();
    }
}

namespace {

// A chunk decoded, with every failure as an error: nothing may leave a
// worker thread, and running out of memory is an answer like any other.
Result<RecordBatch> read_guarded(const Scan& scan, std::size_t chunk, const ByteSource* fetched) {
    try {
        return scan.read(chunk, fetched);
    } catch (const std::bad_alloc&) {
        return Error::memory(scan.table().path() + ": chunk " + std::to_string(chunk) +
                             ": out of memory while decoding it");
    } catch (const std::exception& e) {
        return Error::io(scan.table().path() + ": chunk " + std::to_string(chunk) + ": " + e.what());
    }
}

}  // namespace

void BatchStream::work() {
    // The thread's exception state, made now: it lives in thread-local
    // storage that the C++ runtime allocates on first use, and that first
    // use must not be an exception thrown when memory has run out (the
    // allocation failing there ends the process).
    (void)std::uncaught_exceptions();
    const std::size_t n = scan_->chunks().size();
    for (;;) {
        std::size_t index;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // At most 2 x threads_ batches ahead of the consumer: with only
            // threads_, a worker done before the one on the oldest chunk
            // waited for it, and a chunk slower than the others (page faults,
            // a bigger block) held the whole read.  From a source that
            // fetches, only chunks whose blocks are here.
            work_cv_.wait(lock, [&] {
                return stop_ || next_claim_ >= n ||
                       (next_claim_ < next_deliver_ + 2 * threads_ && (!fetch_ || next_claim_ < fetch_->ready()));
            });
            if (stop_ || next_claim_ >= n) return;
            index = next_claim_++;
        }
        Result<RecordBatch> r = decode(index);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.emplace(index, std::move(r));
        }
        ready_cv_.notify_all();
    }
}

Result<std::optional<RecordBatch>> BatchStream::next() {
    std::lock_guard<std::mutex> one_consumer(consumer_);
    return std::move(*take_next(std::chrono::milliseconds(-1)));
}

std::optional<Result<std::optional<RecordBatch>>> BatchStream::next_for(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> one_consumer(consumer_);
    return take_next(timeout);
}

Result<RecordBatch> BatchStream::decode(std::size_t index) {
    if (!fetch_) return read_guarded(*scan_, scan_->chunks()[index], nullptr);
    auto fetched = fetch_->bytes_for(index);
    Result<RecordBatch> r = read_guarded(*scan_, scan_->chunks()[index], fetched.get());
    fetched.reset();
    fetch_->release(index);
    return r;
}

Result<void> BatchStream::fetch_ahead() {
    if (!fetch_) return {};
    std::size_t next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_ || stop_ || next_deliver_ >= scan_->chunks().size()) return {};
        next = next_deliver_;
    }
    auto r = fetch_->advance(next);
    // The workers wait under the lock for chunks to become ready.
    { std::lock_guard<std::mutex> lock(mutex_); }
    work_cv_.notify_all();
    return r;
}

std::optional<Result<std::optional<RecordBatch>>> BatchStream::take_next(std::chrono::milliseconds timeout) {
    using Answer = Result<std::optional<RecordBatch>>;
    const std::size_t n = scan_->chunks().size();
    if (auto fetched = fetch_ahead(); !fetched) {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        return Answer(std::move(fetched).error());
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (failed_ || stop_ || next_deliver_ >= n) return Answer(std::optional<RecordBatch>());
    const std::size_t index = next_deliver_;
    Result<RecordBatch> r = Error::value("not decoded");
    if (workers_.empty()) {
        lock.unlock();
        r = decode(index);
        lock.lock();
    } else {
        auto ready = [&] { return done_.count(index) != 0 || stop_; };
        if (timeout.count() < 0) {
            ready_cv_.wait(lock, ready);
        } else if (!ready_cv_.wait_for(lock, timeout, ready)) {
            return std::nullopt;
        }
        if (stop_ && done_.count(index) == 0) return Answer(std::optional<RecordBatch>());
        auto it = done_.find(index);
        r = std::move(it->second);
        done_.erase(it);
    }
    ++next_deliver_;
    if (!r)
        failed_ = true;
    else
        rows_read_ += scan_->table().reader().chunk_rows(r->chunk);
    lock.unlock();
    work_cv_.notify_all();
    if (!r) return Answer(std::move(r).error());
    return Answer(std::optional<RecordBatch>(std::move(*r)));
}

ScanStats BatchStream::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    ScanStats s;
    s.chunks_total = scan_->table().chunk_count();
    s.chunks_skipped = scan_->chunks_skipped();
    s.chunks_read = next_deliver_;
    s.rows_read = rows_read_;
    return s;
}

}  // namespace sarn::query
