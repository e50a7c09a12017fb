// libFuzzer target: the verifying reader on arbitrary bytes.
//
// Each input is written to a scratch file and read as a container: open, then
// every chunk read and decoded.  The reader must answer with a value or an
// error text; sanitizers catch anything else.  When it succeeds, the shape of
// what it returns must agree with the footer.
//
// A mutated column block almost always fails its CRC-32 before it reaches
// the codec and the decoders, so when the structure opens, the input is read
// a second time with every block's CRC recomputed to match its bytes.
//
// Build and run: scripts/fuzz.sh (see there).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "container/reader.hpp"

namespace {

// The scratch file's name, in a plain array so that it outlives every
// destructor: libFuzzer ends a timed run through exit(), and the file is
// removed then.
char scratch_name[64];

const char* scratch_path() {
    if (scratch_name[0] == '\0') {
        std::snprintf(scratch_name, sizeof scratch_name, "/tmp/sarn_reader_fuzz_%ld.sarn",
                      static_cast<long>(::getpid()));
        std::atexit([] { ::unlink(scratch_name); });
    }
    return scratch_name;
}

void write_scratch(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(scratch_path(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

// Reads everything; returns the reader's block locations when it opened.
std::vector<std::pair<std::uint64_t, std::uint64_t>> read_all() {
    sarn::container::ReaderLimits limits;
    limits.max_chunk_bytes = 1 << 22;  // keep hostile expansions cheap
    limits.max_chunk_rows = 1 << 16;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
    auto reader = sarn::container::SarnReader::open(scratch_path(), limits);
    if (!reader) {
        if (reader.error().message.empty()) std::abort();
        return blocks;
    }
    for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
        for (std::size_t c = 0; c < reader->schema().size(); ++c)
            blocks.emplace_back(reader->block_offset(k, c), reader->block_length(k, c));
        auto chunk = reader->read_chunk(k);
        if (!chunk) {
            if (chunk.error().message.empty()) std::abort();
            continue;
        }
        if (chunk->columns.size() != reader->schema().size()) std::abort();
        for (const auto& column : chunk->columns) {
            if (!column.column || column.column->length != reader->chunk_rows(k)) std::abort();
        }
    }
    return blocks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    write_scratch(data, size);
    auto blocks = read_all();
    if (blocks.empty()) return 0;
    // The reader checked that every block lies inside the file.
    std::vector<std::uint8_t> fixed(data, data + size);
    for (auto [offset, len] : blocks) {
        std::uint32_t crc = sarn::container::crc32(sarn::common::ByteView(fixed.data() + offset + 12, len));
        for (int i = 0; i < 4; ++i) fixed[offset + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    write_scratch(fixed.data(), fixed.size());
    read_all();
    return 0;
}
