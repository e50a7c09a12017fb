// Scanning a byte range of a CSV file on its own, so that many ranges can be
// scanned at once (by threads of one process, or by the workers of a Dask
// cluster) and still give exactly what one pass over the file gives.
//
// A range is read a line at a time: the lines that start in [begin, end),
// and on past `end` for a record that starts in the range and runs on.  At
// a line start the reader is in one of exactly two states: a record starts
// there, or the line continues a quoted field that opened earlier.  Which
// one a range starts in depends on everything before it, so the scan
// follows both at once (two trackers over the same lines) and reports what
// each found: the records that start in the range, checkpoints to find
// them again, the state at the first line start at or past `end`, the
// first fault, and which columns are not all integers.  The first range
// starts at a record; each later range's real start state is the state the
// range before ends in (combine_scans).  A range whose lines hold no quote
// never needs the second tracker: a quoted field that opened before it runs
// on to its end.  The two trackers usually meet soon (both at a record
// start on the same line), and from there one does the work of both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "pipeline/column_types.hpp"
#include "pipeline/csv_dialect.hpp"
#include "pipeline/line_source.hpp"

namespace sarn::pipeline {

// A scan keeps the place of data records 0, CHECKPOINT_RECORDS,
// 2·CHECKPOINT_RECORDS, ... of its range: a reader that must find a record
// starts at most this many records before it.
inline constexpr std::uint64_t CHECKPOINT_RECORDS = 4096;

// What a scan checks the cells of a column for.
enum class IntegerCheck : std::uint8_t {
    None,
    Infer,  // notes whether every cell is a canonical integer
    Require,  // a cell that is not one is a fault (InputFault::NotInteger)
};

struct ScanRequest {
    CsvDialect dialect = CsvDialect::module();
    std::size_t columns = 1;  // the header's width
    std::vector<IntegerCheck> checks;  // one per column, or empty: no checks
    // The range starts where a record starts (the first data range): no
    // second tracker is needed.
    bool at_record_start = false;
};

// Where a record starts.
struct Checkpoint {
    std::uint64_t offset = 0;  // its first byte, or a line start before it with only blank lines between
    std::uint64_t record = 0;  // its index among the data records of the range (from 0)
    std::uint64_t line = 0;  // the number of the line at `offset`, 1 being the range's first line
};

// What one tracker found: the range read as if it started in one state.
struct RangeTrack {
    std::uint64_t records = 0;  // data records that start in the range
    std::vector<Checkpoint> checkpoints;  // ascending, the first at record 0 when there are records
    // The state at the first line start at or past the range's end: inside
    // a quoted field that opened in the range (or before it).
    bool ends_inside = false;
    // The first fault; its line counts from 1 at the range's first line (0:
    // in a record that started before the range), offsets are the file's.
    std::optional<InputFaultPlace> fault;
    // Per column under IntegerCheck::Infer: 1 when some cell is not a
    // canonical integer.
    std::vector<std::uint8_t> not_integer;
};

struct RangeScan {
    std::uint64_t begin = 0, end = 0;
    std::uint64_t first_line = 0;  // offset of the first line starting in the range (end if none)
    std::uint64_t lines = 0;  // lines starting in the range
    RangeTrack from_record;  // the range's first line starts a record
    RangeTrack from_inside;  // it continues a quoted field (not filled when at_record_start)
};

// Scans the lines of the file at `path` that start in [begin, end) (and the
// rest of the last record).  `begin` of the first data range is the offset
// after the header.  Errors (returned, not recorded as a fault) are those of
// opening or reading the file, naming it, and a stop (ErrorKind::Cancelled).
common::Result<RangeScan> scan_range(const std::string& path, std::uint64_t begin, std::uint64_t end,
                                     const ScanRequest& request, std::stop_token stop = {});
// The same on an open file, read with positioned reads.
common::Result<RangeScan> scan_range(int fd, const std::string& path, std::uint64_t begin, std::uint64_t end,
                                     const ScanRequest& request, std::stop_token stop = {});

// The scans of consecutive ranges that cover a file's data, put together.
struct ScanPlan {
    struct Pick {
        const RangeTrack* track = nullptr;  // the track of the range's real start state
        std::uint64_t lines_before = 0;  // lines of the file before the range, the header's included
        std::uint64_t records_before = 0;  // data records of the ranges before
    };
    std::vector<Pick> picks;
    std::uint64_t records = 0;
    std::vector<std::uint8_t> not_integer;  // OR of the picked tracks'
};

// Picks each range's track (the first range starts at a record; each later
// one in the state the range before ends in) and adds them up.  The
// error, when there is one, is that of the first fault in the file,
// worded as the one-pass engines word it (input_fault_error).  `scans` must
// outlive the plan.
common::Result<ScanPlan> combine_scans(const std::vector<RangeScan>& scans, const std::string& path,
                                       const std::vector<std::string>& names, std::uint64_t header_lines);

// Where a run of whole chunks starts reading.
struct RunStart {
    std::uint64_t offset = 0;  // a record start (see Checkpoint)
    std::uint64_t lines_before = 0;  // lines of the file before `offset`
    std::uint64_t skip = 0;  // data records to pass over from there
    std::uint32_t first_chunk = 0;
    std::uint64_t rows = 0;  // data records of the run
};

// Runs of at most `chunks_per_run` (>= 1) consecutive chunks of CHUNK_SIZE
// records that together hold every record of `plan`.
std::vector<RunStart> plan_chunk_runs(const ScanPlan& plan, std::uint64_t chunks_per_run);

// The first pass of types="infer" over the data of the open regular file
// `fd` (from `data_start`, after the header, to `size`), on up to `threads`
// threads, each scanning a range of at least `min_range` bytes: the type of
// each column of `names`.  Errors: reading, a stop, and the first fault of
// the input (as the one-pass reader words it), so that a bad input fails
// before any output exists.
inline constexpr std::uint64_t MIN_INFER_RANGE = std::uint64_t{8} << 20;
common::Result<std::vector<std::uint8_t>> infer_column_types(int fd, const std::string& path, std::uint64_t data_start,
                                                             std::uint64_t size, std::uint64_t header_lines,
                                                             const std::vector<std::string>& names,
                                                             const CsvDialect& dialect, unsigned threads,
                                                             std::stop_token stop = {},
                                                             std::uint64_t min_range = MIN_INFER_RANGE);

// A scan as bytes and back, to travel between the processes of a Dask job
// (on machines of one architecture, within one job: no version).
common::Bytes scan_bytes(const RangeScan& scan);
common::Result<RangeScan> scan_from_bytes(common::ByteView bytes);

}  // namespace sarn::pipeline
