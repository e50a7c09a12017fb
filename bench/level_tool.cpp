// level_tool: writes a CSV file as a container at one compression level on
// one thread, and times the block decoder on a container's blocks.  The
// level benchmark (scripts/bench_levels.py) drives it.
//
//   level_tool compress LEVEL CSV SARN
//       prints: csv_bytes sarn_bytes wall_seconds cpu_seconds
//   level_tool decode SARN [ROUNDS]
//       decompresses every block of the container ROUNDS times (default 5)
//       and prints: decompressed_bytes best_round_seconds
//
// The CSV file is read the way the module reads one: the first line names
// the columns, lines end at LF (a CR before it is dropped), blank lines are
// skipped, fields are cut at every comma and trimmed of ASCII white space,
// missing fields are empty and extra ones ignored; every column is text and
// every chunk holds CHUNK_SIZE rows.  (The module also trims Unicode white
// space; the sample files have none.)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec.hpp"
#include "container/encoded_chunk.hpp"
#include "container/reader.hpp"
#include "container/text_batch.hpp"
#include "container/writer.hpp"

namespace {

using sarn::common::Bytes;
namespace sc = sarn::container;

constexpr std::uint32_t CHUNK_SIZE = 65536;

int fail(const std::string& what) {
    std::fprintf(stderr, "level_tool: %s\n", what.c_str());
    return 1;
}

double cpu_seconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Calls put(field) for the first `columns` fields of `line`, trimmed, and
// for the empty field in place of each missing one.
template <typename Put>
void split(std::string_view line, std::size_t columns, Put&& put) {
    std::size_t done = 0;
    bool more = true;
    while (done < columns && more) {
        const std::size_t comma = line.find(',');
        more = comma != std::string_view::npos;
        put(trim(line.substr(0, comma)));
        if (more) line.remove_prefix(comma + 1);
        ++done;
    }
    for (; done < columns; ++done) put(std::string_view());
}

int compress(int level, const char* csv_path, const char* sarn_path) {
    std::ifstream in(csv_path, std::ios::binary);
    if (!in) return fail(std::string("cannot open ") + csv_path);
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    std::string line;
    if (!std::getline(in, line)) return fail("empty CSV file");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<sc::ColumnSchema> schema;
    split(line, static_cast<std::size_t>(std::count(line.begin(), line.end(), ',')) + 1, [&](std::string_view name) {
        sc::ColumnSchema c;
        c.name = std::string(name);
        c.type_code = sc::TYPE_TEXT;
        schema.push_back(std::move(c));
    });
    const std::size_t columns = schema.size();
    auto writer = sc::StreamingSarnWriter::create(sarn_path, std::move(schema), CHUNK_SIZE, level);
    if (!writer) return fail(writer.error().message);
    sc::TextBatch batch(columns);
    sc::ChunkScratch scratch;
    std::uint64_t csv_bytes = line.size() + 1;
    const auto flush = [&]() -> bool {
        auto chunk = sc::encode_chunk(writer->schema(), writer->chunk_count(), batch, nullptr, &scratch, {}, level);
        if (!chunk) return fail(chunk.error().message) == 0;
        if (auto r = writer->append_chunk(std::move(*chunk)); !r) return fail(r.error().message) == 0;
        batch.clear();
        return true;
    };
    while (std::getline(in, line)) {
        csv_bytes += line.size() + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (trim(line).empty()) continue;
        split(line, columns, [&](std::string_view cell) { batch.push_cell(cell); });
        if (batch.row_count() == CHUNK_SIZE && !flush()) return 1;
    }
    if (!batch.empty() && !flush()) return 1;
    if (auto r = writer->finish(); !r) return fail(r.error().message);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ifstream out(sarn_path, std::ios::binary | std::ios::ate);
    std::printf("%llu %llu %.6f %.6f\n", static_cast<unsigned long long>(csv_bytes),
                static_cast<unsigned long long>(out.tellg()), wall, cpu_seconds() - cpu_start);
    return 0;
}

int decode(const char* sarn_path, int rounds) {
    auto reader = sc::SarnReader::open(sarn_path);
    if (!reader) return fail(reader.error().message);
    std::ifstream in(sarn_path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Each column block is a u32 CRC and a u64 length before its payload.
    std::vector<sarn::common::ByteView> blocks;
    for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
        for (std::size_t c = 0; c < reader->schema().size(); ++c)
            blocks.emplace_back(file.data() + reader->block_offset(k, c) + 12, reader->block_length(k, c));
    }
    const std::size_t limit = reader->limits().max_chunk_bytes;
    std::uint64_t bytes = 0;
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        std::uint64_t total = 0;
        const auto start = std::chrono::steady_clock::now();
        for (sarn::common::ByteView b : blocks) {
            auto r = sarn::codec::decompress_block(b, limit);
            if (!r) return fail(r.error().message);
            total += r->size();
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (round == 0 || s < best) best = s;
        bytes = total;
    }
    std::printf("%llu %.6f\n", static_cast<unsigned long long>(bytes), best);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "compress" && argc == 5) return compress(std::atoi(argv[2]), argv[3], argv[4]);
    if (mode == "decode" && (argc == 3 || argc == 4)) return decode(argv[2], argc == 4 ? std::atoi(argv[3]) : 5);
    std::fprintf(stderr, "usage: level_tool compress LEVEL CSV SARN | level_tool decode SARN [ROUNDS]\n");
    return 2;
}
