// Compressing one CSV file in independent pieces, for a cluster of workers.
//
// The container of a CSV file is fixed by its data records alone: chunk k
// holds the data records 65,536·k to 65,536·(k + 1) − 1.  So a file can be
// compressed by many workers that share its file system, in four steps, and
// still give the bytes one process gives:
//
//   1. read_csv_header: the header record, which fixes the columns (and,
//      for types named by the caller, their types).
//   2. scan_range (range_scan.hpp): each byte range of the data is scanned
//      on its own, from both possible start states; combine_scans picks each
//      range's real one, finds the first fault, the inferred types and the
//      checkpoints from which plan_chunk_runs cuts the work.
//   3. encode_chunk_run: a run of whole chunks starting at a checkpoint is
//      parsed and encoded, and the encoded chunks are spilled to a file of
//      their own.
//   4. assemble_container: one writer appends the spilled chunks in order,
//      finishes the container and renames it over the output.
//
// Every step reads the input with positioned reads from its own handle;
// nothing is shared between the pieces but files and small numbers.
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
#include "pipeline/range_scan.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

// The header record of a CSV file as every engine reads it.
struct CsvHeader {
    std::vector<std::string> names;
    std::uint64_t data_start = 0;  // offset just past the header record
    std::uint64_t lines = 0;  // lines the header record took
};

// Reads the header of the file at `path`.  Errors: opening or reading the
// file (naming it), a fault of the header record, an empty input
// (csv_empty_error) and a header wider than a container holds.  Messages
// name the file `shown` (by default `path`).
Result<CsvHeader> read_csv_header(const std::string& path, const CsvDialect& dialect, const std::string& shown = {});

// What encode_chunk_run did.
struct ChunkRun {
    std::uint32_t chunks = 0;
    std::uint64_t rows = 0;
};

// Reads the file at `csv_path` from `run.offset` (a record start, after
// run.lines_before lines), skips `run.skip` data records, then turns the
// next `run.rows` data records into chunks `run.first_chunk`, ... of
// CHUNK_SIZE rows (the last may be shorter) of a container with the columns
// `names` of the types `types`, in the dialect of `choices`, and writes the
// encoded chunks to a new file at `spill_path` (see append_encoded_chunk),
// locked while it is written (create_job_file).
// `input_size` is the file's length when the job was planned: a read that
// ends before it or passes it means the file changed (input_changed_error).
// Errors: reading the input (naming it); a fault of the input, which the
// scan saw already, so only a file that changed since has one; writing the
// spill file, which lives beside the output and so names `output` (a full
// disk is the output's); a chunk the container cannot hold (ErrorKind::Value).
Result<ChunkRun> encode_chunk_run(const std::string& csv_path, const std::vector<std::string>& names,
                                  const std::vector<std::uint8_t>& types, const RunStart& run, std::uint64_t input_size,
                                  const std::string& spill_path, const std::string& output,
                                  const WriteChoices& choices = {});

// Writes a container with the columns `names` of the types `types` (text
// when empty) from the chunks of every spill file in order, finishes it
// (footer, trailer, header counts, flush to stable storage) and puts it in
// place of `target`: written into a temporary file beside it (see
// OutputFile) and renamed over it, the step's last act.  The new file gets
// the owner and permission bits of the file `like` (the job's marker, made
// with the output's), unless `like` is empty or missing.  Failures name
// `output`, the path the caller gave; on failure the temporary file is
// removed and `target` left as it was.
struct AssembleSummary {
    std::uint64_t rows = 0;
    std::uint32_t chunks = 0;
    std::uint64_t bytes = 0;  // length of the finished file
    std::string summary;
};
Result<AssembleSummary> assemble_container(const std::string& target, const std::string& like,
                                           const std::vector<std::string>& names,
                                           const std::vector<std::uint8_t>& types,
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
