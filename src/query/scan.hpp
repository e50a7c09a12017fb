// Scans: reading chosen columns of a container, with row filters that skip
// whole chunks from the footer alone, into column batches (column_batch.hpp).
//
// A filter is an OR of ANDs of predicates "column op operand(s)".  A chunk is
// skipped without reading any of its blocks when every AND has a predicate
// that the chunk's footer entry rules out: its min/max (integers signed,
// texts in the byte order of their UTF-8, which is the order of code points)
// or, for == and in on text columns, its membership filter answering
// "absent".  The rows of the chunks read are then filtered exactly.
//
// Nulls follow the usual columnar convention: a comparison with a null cell
// is not true, so == < > in and != drop null rows, while `not in` keeps them.
// "Null" means null as the batch reads it (see column_batch.hpp), and the
// footer reasoning accounts for nulls that read as 0, false or "", so that
// skipping never changes a result.
//
// Threads.  A TableReader is immutable once its keys are set and may be read
// from any number of threads at once (it reads with pread, or through a
// thread-safe ByteSource).  BatchStream decodes chunks on worker threads, at
// most 2 x `threads` chunks ahead of the consumer (one in hand and one done
// per worker, so that a worker that finished early never waits for a slower
// one), and hands them out in file order: memory stays bounded by a few
// chunks whatever the file's size.  From a source that fetches (an object in
// a store) the consumer fetches the blocks the next chunks need ahead of the
// workers, a few coalesced requests at a time (fetch_ahead.hpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/cores.hpp"
#include "common/result.hpp"
#include "container/column_batch.hpp"
#include "container/byte_source.hpp"
#include "container/encryption.hpp"
#include "container/reader.hpp"

namespace sarn::query {

class FetchAhead;

// The container's vocabulary, which every plan speaks.
using common::Error;
using common::Result;
using container::AesKey;
using container::BLOOM_BYTES;
using container::ByteRange;
using container::ByteSource;
using container::ChunkBudget;
using container::ColumnChunkMeta;
using container::ColumnSchema;
using container::DecodedColumn;
using container::ReaderLimits;
using container::SarnReader;

enum class CompareOp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge, In, NotIn };

// One operand, already of the column's kind: `i` for integer and boolean
// columns (0 or 1), `f` for float columns, `s` for text and bytes columns.
struct FilterOperand {
    std::int64_t i = 0;
    double f = 0.0;
    std::string s;
};

struct Predicate {
    std::size_t column = 0;
    CompareOp op = CompareOp::Eq;
    std::vector<FilterOperand> operands;  // one, except for In and NotIn (any number)
};

// OR of ANDs.  No conjunction at all means "every row".
struct Filter {
    std::vector<std::vector<Predicate>> any_of;
    bool empty() const noexcept { return any_of.empty(); }
};

// True when the footer entry `meta` of a chunk of `rows` rows proves that no
// row of the chunk satisfies `p` (on a column of type `type_code`).
bool predicate_rules_out(std::uint8_t type_code, const ColumnChunkMeta& meta, std::size_t rows, const Predicate& p);

// Exact evaluation: sets keep[i] to 0 for every row of the batch that `p`
// does not hold for.  `column` is the decoded column p.column.
void apply_predicate(const DecodedColumn& column, const Predicate& p, std::span<std::uint8_t> keep);

// True when the text membership filter may hold `text` (false: certainly absent).
bool bloom_may_contain(const std::array<std::uint8_t, BLOOM_BYTES>& bloom, std::string_view text) noexcept;

// The open container, shared by scans and streams (which may outlive the
// object that opened it).
class TableReader {
public:
    // `limits` are the defaults of the reads of this file; a read may give
    // its own memory budget (Scan::plan, verify).
    static Result<std::shared_ptr<TableReader>> open(const std::string& path, ReaderLimits limits = {});
    // The container that `source` holds (a local file, or an object fetched a range at a time).
    static Result<std::shared_ptr<TableReader>> open(std::shared_ptr<const ByteSource> source,
                                                     ReaderLimits limits = {});

    const SarnReader& reader() const noexcept { return reader_; }
    const std::string& path() const noexcept { return reader_.path(); }
    const std::vector<ColumnSchema>& schema() const noexcept { return reader_.schema(); }
    std::size_t chunk_count() const noexcept { return reader_.chunk_count(); }

    // Gives the key of an enciphered column.  Only before the reader is shared.
    void set_key(std::size_t column, const AesKey& key);
    bool has_key(std::size_t column) const { return has_key_.at(column) != 0; }

    std::uint64_t max_chunk_bytes() const noexcept { return reader_.limits().max_chunk_bytes; }

    // Reads, checks, decompresses, deciphers and decodes one column block
    // (SarnReader::read_column) on the chunk's budget.  An enciphered column
    // needs its key, and its deciphered values must agree with the footer's
    // statistics: that is how a wrong key shows.  Errors name the file,
    // chunk, column and block offset.  The block is read from `fetched`
    // when given (bytes fetched ahead).  Thread-safe.
    Result<DecodedColumn> read_column(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                      const ByteSource* fetched = nullptr) const;
    // The same on a budget of its own (a whole chunk's).
    Result<DecodedColumn> read_column(std::size_t chunk, std::size_t column) const {
        ChunkBudget budget(max_chunk_bytes());
        return read_column(chunk, column, budget);
    }

    // Checks one block as a full check of the file does: read_column, then
    // the footer's statistics against the values (check_block_statistics).
    // An enciphered column without its key is checked up to its
    // decompression (SarnReader::measure_block), and gives no values.
    Result<std::optional<DecodedColumn>> verify_block(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                                      const ByteSource* fetched = nullptr) const;

    // verify_block of every block of one chunk, one block held at a time,
    // all on one budget of `max_chunk_bytes`.  Returns the first fault.
    // From a source that fetches, the chunk's blocks are fetched first, in
    // one request.
    Result<void> verify_chunk(std::size_t chunk, std::uint64_t max_chunk_bytes) const;

    // verify_chunk of every chunk, on the file's default budget.
    Result<void> verify() const;

private:
    explicit TableReader(SarnReader reader) : reader_(std::move(reader)) {}

    SarnReader reader_;
    std::vector<std::uint8_t> has_key_;
};

struct RecordBatch {
    std::size_t chunk = 0;  // the chunk it came from
    std::size_t num_rows = 0;  // after filtering
    std::vector<DecodedColumn> columns;  // in the scan's column order
};

struct ScanStats {
    std::size_t chunks_total = 0;
    std::size_t chunks_read = 0;
    std::size_t chunks_skipped = 0;
    std::uint64_t rows_read = 0;  // rows of the chunks read, before filtering
};

// One planned read: which columns, which rows.  Immutable; thread-safe.
class Scan {
public:
    // `columns` are schema positions in output order; `filter` refers to
    // schema positions too.  With `structured_as_json`, structured columns
    // come out as JSON text (the Arrow path).  Each chunk is read on a
    // budget of `max_chunk_bytes` (0: the table's default) for the columns
    // the scan needs, JSON text included.  Fails when a column the scan
    // needs is enciphered and has no key.
    static Result<std::shared_ptr<const Scan>> plan(std::shared_ptr<const TableReader> table,
                                                    std::vector<std::size_t> columns, Filter filter,
                                                    bool structured_as_json, std::uint64_t max_chunk_bytes = 0);

    const TableReader& table() const noexcept { return *table_; }
    const std::vector<std::size_t>& columns() const noexcept { return columns_; }
    // The chunks that survive the footer, in file order.
    const std::vector<std::size_t>& chunks() const noexcept { return chunks_; }
    std::size_t chunks_skipped() const noexcept { return table_->chunk_count() - chunks_.size(); }
    bool structured_as_json() const noexcept { return structured_as_json_; }
    std::uint64_t max_chunk_bytes() const noexcept { return max_chunk_bytes_; }
    // Whether text comes out with 64-bit offsets: the same for every batch.
    bool large_offsets() const noexcept { return SarnReader::large_offsets_for(max_chunk_bytes_); }

    // The bytes the blocks of `chunk` that this scan reads take in the file
    // (the footer's lengths of its columns and of those its filter reads),
    // known before anything is read: what a distributed read sizes its
    // partitions by.  REQUIRES: chunk < table().chunk_count().
    std::uint64_t stored_bytes(std::size_t chunk) const;

    // Decodes and filters one chunk, its blocks read from `fetched` when
    // given (bytes fetched ahead), else from the table's source.
    Result<RecordBatch> read(std::size_t chunk, const ByteSource* fetched = nullptr) const;

    // Where the blocks that reading `chunk` needs are stored.
    std::vector<ByteRange> block_ranges(std::size_t chunk) const;

    // The same scan over those of its chunks that are also in `chunks` (one
    // partition of a distributed read).
    std::shared_ptr<const Scan> restricted_to(const std::vector<std::size_t>& chunks) const;

private:
    Scan() = default;
    std::shared_ptr<const TableReader> table_;
    std::vector<std::size_t> columns_;
    std::vector<std::size_t> needed_;  // columns_ plus those only the filter reads
    Filter filter_;
    bool structured_as_json_ = false;
    std::uint64_t max_chunk_bytes_ = ReaderLimits::DEFAULT_MAX_CHUNK_BYTES;
    std::vector<std::size_t> chunks_;
};

// The batches of a scan in file order, decoded `threads` at a time.
//
// Consumers are served one at a time: two threads calling next() on one
// stream get different batches, each batch once, in file order between
// them.  A worker that cannot be started (a thread limit, a memory limit)
// leaves its share to the others, or to the consumer itself.  A failed
// allocation while decoding is an error of kind Memory, never an exception
// out of a worker.
class BatchStream {
public:
    BatchStream(std::shared_ptr<const Scan> scan, unsigned threads);
    ~BatchStream();
    BatchStream(const BatchStream&) = delete;
    BatchStream& operator=(const BatchStream&) = delete;

    // The next batch, nothing at the end, or the first error (after which
    // the stream is at its end).
    Result<std::optional<RecordBatch>> next();

    // next(), waiting at most about `timeout` for a batch the workers are
    // still decoding: nothing when it is not ready yet (ask again).  With
    // no workers the consumer decodes the batch itself and always gets it.
    std::optional<Result<std::optional<RecordBatch>>> next_for(std::chrono::milliseconds timeout);

    // Stops the workers after the chunks they are decoding and waits for
    // them; the stream is then at its end.
    void cancel();

    const Scan& scan() const noexcept { return *scan_; }
    ScanStats stats() const;

private:
    void work();

    // next_for's work, with the consumer lock held; a negative timeout waits for good.
    std::optional<Result<std::optional<RecordBatch>>> take_next(std::chrono::milliseconds timeout);

    // Fetches ahead what the next chunks need (a source that fetches);
    // returns the error of a fetch that failed.  Called by the consumer.
    Result<void> fetch_ahead();
    // Reads chunk number `index` of the scan, from the bytes fetched for it
    // when the source fetches; never throws.
    Result<RecordBatch> decode(std::size_t index);

    std::shared_ptr<const Scan> scan_;
    unsigned threads_;
    std::unique_ptr<FetchAhead> fetch_;  // null unless the source fetches
    std::vector<std::thread> workers_;
    std::mutex consumer_;  // one consumer at a time
    mutable std::mutex mutex_;
    std::condition_variable work_cv_, ready_cv_;
    std::size_t next_claim_ = 0;  // index into scan_->chunks() of the next chunk to decode
    std::size_t next_deliver_ = 0;  // index of the next batch to hand out
    std::map<std::size_t, Result<RecordBatch>> done_;
    bool stop_ = false;
    bool failed_ = false;
    std::uint64_t rows_read_ = 0;
};

}  // namespace sarn::query
