// Compressing one CSV file in independent pieces, for a cluster of workers.
//
// The container of a CSV file is fixed by its data lines alone: chunk k holds
// the non-blank data lines 65,536·k to 65,536·(k + 1) − 1.  So a file can be
// compressed by many workers that share its file system, in three steps, and
// still give the bytes one process gives:
//
//   1. scan_range: each byte range [begin, end) of the file is scanned on its
//      own.  A line belongs to the range that holds its first byte (it may
//      run past the range's end).  The scan reads the range's rows as the
//      one-pass engines do (same LineSource and RowReader: UTF-8, blank or
//      not, length) and counts the data lines.  Every CHECKPOINT_LINES-th data line's offset is kept, so that
//      the start of any chunk can later be found without reading the range
//      again from its beginning.
//   2. encode_chunk_run: once the counts of all ranges are known, a run of
//      whole chunks starting at a known offset is parsed and encoded, and the
//      encoded chunks are spilled to a file of their own.
//   3. assemble_container: one writer appends the spilled chunks in order and
//      finishes the container.
//
// Scan and encode read the input with positioned reads from their own
// handle; nothing is shared between the pieces but files and small numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "container/encoded_chunk.hpp"
#include "container/types.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/line_source.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

// A scan keeps the offset of data lines 0, CHECKPOINT_LINES, 2·CHECKPOINT_LINES,
// ... of its range: at most this many lines are skipped to reach a chunk start.
inline constexpr std::uint64_t CHECKPOINT_LINES = 4096;

struct RangeScan {
    std::uint64_t begin = 0, end = 0;
    std::uint64_t first_line = 0;  // offset of the first line starting in the range (end if none)
    std::uint64_t lines = 0;       // lines starting in the range, blank and header included
    std::uint64_t data_lines = 0;  // non-blank lines after the header
    std::vector<std::uint64_t> checkpoints;  // offset of every CHECKPOINT_LINES-th data line
    // Only for the range at offset 0 of a non-empty file: the column names.
    std::optional<std::vector<std::string>> names;
    // The first refused line, its number counted from 1 at the range's
    // first line; lines after it are not looked at.  The caller, which
    // knows how many lines the ranges before hold, words it with
    // input_fault_error.
    std::optional<InputFaultPlace> fault;
};

// Scans the lines that start in [begin, end) of the file at `path`.  Errors
// (returned, not recorded as a fault) are those of opening or reading the
// file, naming it.
Result<RangeScan> scan_range(const std::string& path, std::uint64_t begin, std::uint64_t end);

// The error of an input fault of the file `path` at the 1-based line `line`
// of the whole file (InputFaultPlace::line being relative to a range), as
// the one-pass engines word it.
Error input_fault_error(const std::string& path, InputFault fault, std::uint64_t line, std::uint64_t offset);

// What encode_chunk_run did.
struct ChunkRun {
    std::uint32_t chunks = 0;
    std::uint64_t rows = 0;
};

// Reads the file at `csv_path` from `start` (the offset of a line), skips
// `skip` data lines, then turns the next `rows` data lines into chunks
// `first_chunk`, `first_chunk` + 1, ... of CHUNK_SIZE rows (the last may be
// shorter) of a text container with the columns `names`, and writes the
// encoded chunks to a new file at `spill_path` (see append_encoded_chunk).
// Errors: reading the input (naming it); writing the spill file, which
// lives beside the output and so names `output` (a full disk is the
// output's); a chunk the container cannot hold (ErrorKind::Value).
// `choices` are those the whole job writes with.
Result<ChunkRun> encode_chunk_run(const std::string& csv_path, const std::vector<std::string>& names,
                                  std::uint64_t start, std::uint64_t skip, std::uint32_t first_chunk,
                                  std::uint64_t rows, const std::string& spill_path, const std::string& output,
                                  const WriteChoices& choices = {});

// Creates a container at `out_path` with the text columns `names`, appends
// the chunks of every spill file in order, and finishes it (footer, trailer,
// header counts, flush to stable storage).  Returns the writer's summary.
// Failures to write name `output`, the file `out_path` is to replace.
struct AssembleSummary {
    std::uint64_t rows = 0;
    std::uint32_t chunks = 0;
    std::uint64_t bytes = 0;  // length of the finished file
    std::string summary;
};
Result<AssembleSummary> assemble_container(const std::string& out_path, const std::vector<std::string>& names,
                                           const std::vector<std::string>& spill_paths, const std::string& output,
                                           const WriteChoices& choices = {});

// The spill format: encoded chunks back to back, each as
//   u32 index, u64 rows, u32 column count, then per column
//   u64 compressed_len, u8 encoding, u32 null_count, i64 min_int, i64 max_int,
//   u64 length + min_text, u64 length + max_text, 512 bloom bytes,
//   u32 crc, u64 length + block bytes.
// It lives only between the encode and assemble steps of one job, on the
// same machine architecture, so it carries no version.
void append_encoded_chunk(common::Bytes& out, const container::EncodedChunk& chunk);

}  // namespace sarn::pipeline
