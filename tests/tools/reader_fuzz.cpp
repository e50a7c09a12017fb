// libFuzzer target: the verifying reader on arbitrary bytes.
//
// Each input is written to a scratch file and read as a container: open, then
// every chunk read and decoded.  The reader must answer with a value or an
// error text; sanitizers catch anything else.  When it succeeds, the shape of
// what it returns must agree with the footer.
//
// Build and run: tests/tools/run_reader_fuzz.sh (see there).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "sarn_v2/reader.hpp"

namespace {

const std::string& scratch_path() {
    static const std::string path = "/tmp/sarn_reader_fuzz_" + std::to_string(::getpid()) + ".sarn";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = scratch_path();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    sarn::ReaderLimits limits;
    limits.max_block_output = 1 << 22;  // keep hostile expansions cheap
    limits.max_chunk_rows = 1 << 16;
    auto reader = sarn::SarnReader::open(path, limits);
    if (!reader) {
        if (reader.error().message.empty()) std::abort();
        return 0;
    }
    for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
        auto chunk = reader->read_chunk(k);
        if (!chunk) {
            if (chunk.error().message.empty()) std::abort();
            continue;
        }
        if (chunk->columns.size() != reader->schema().size()) std::abort();
        for (const auto& column : chunk->columns) {
            if (column.values.size() != reader->chunk_rows(k)) std::abort();
        }
    }
    return 0;
}
