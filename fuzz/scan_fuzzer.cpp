// Whole files through a scan: open, plan a filtered read of every column,
// stream the batches through the Arrow export.  Each input is written to a
// scratch file; the reader must answer with batches or an error text, never
// crash, and what it exports must agree with the scan's shape.
//
// A mutated column block almost always fails its CRC-32 before it reaches
// the codec and the decoders, so every block's CRC-32 is first recomputed to
// match its bytes wherever the footer puts it (the input is then read again).
//
// The filter comes from the input's last byte: a column and an operator,
// compared with a fixed operand of each kind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "arrow_bridge/arrow_export.hpp"
#include "drain_stream.hpp"
#include "query/scan.hpp"

using namespace sarn::container;
using namespace sarn::query;

namespace {

const std::string& scratch_path() {
    static const std::string path = "/tmp/sarn_scan_fuzz_" + std::to_string(::getpid()) + ".sarn";
    return path;
}

void write_scratch(const std::vector<std::uint8_t>& data) {
    std::FILE* f = std::fopen(scratch_path().c_str(), "wb");
    if (!f) std::abort();
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::abort();
    std::fclose(f);
}

// Reads everything through a scan; returns where the blocks are, when the
// file opened.
std::vector<std::pair<std::uint64_t, std::uint64_t>> scan_all(std::uint8_t selector) {
    ReaderLimits limits;
    limits.max_chunk_bytes = 1 << 22;  // keep hostile expansions cheap
    limits.max_chunk_rows = 1 << 16;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
    auto table = TableReader::open(scratch_path(), limits);
    if (!table) {
        if (table.error().message.empty()) std::abort();
        return blocks;
    }
    const auto& schema = (*table)->schema();
    AesKey key{};
    key[0] = 1;
    for (std::size_t c = 0; c < schema.size(); ++c) {
        if (schema[c].encrypted) (*table)->set_key(c, key);
    }
    for (std::size_t k = 0; k < (*table)->chunk_count(); ++k)
        for (std::size_t c = 0; c < schema.size(); ++c)
            blocks.emplace_back((*table)->reader().block_offset(k, c), (*table)->reader().block_length(k, c));

    std::vector<std::size_t> columns;
    for (std::size_t c = 0; c < schema.size(); ++c) columns.push_back(c);
    Filter filter;
    if (!schema.empty() && (selector & 0x80)) {
        Predicate p;
        p.column = selector % schema.size();
        p.op = static_cast<CompareOp>((selector >> 4) & 7);
        FilterOperand o;
        o.i = 1;
        o.f = 0.5;
        o.s = "a";
        p.operands = {o};
        const std::uint8_t type = schema[p.column].type_code;
        if (type >= TYPE_OBJECT) p.column = 0;  // structured columns do not compare
        if (schema[p.column].type_code < TYPE_OBJECT) filter.any_of = {{p}};
    }
    auto scan = Scan::plan(*table, columns, filter, true);
    if (!scan) return blocks;
    ArrowArrayStream stream;
    sarn::arrow_bridge::export_stream(std::make_unique<BatchStream>(*scan, 1), &stream);
    ArrowSchema s;
    if (stream.get_schema(&stream, &s) != 0) std::abort();
    if (s.n_children != static_cast<std::int64_t>(columns.size())) std::abort();
    s.release(&s);
    drain_stream(stream, columns.size());
    return blocks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t selector = data[size - 1];
    std::vector<std::uint8_t> bytes(data, data + size - 1);
    write_scratch(bytes);
    const auto blocks = scan_all(selector);
    if (blocks.empty()) return 0;
    // Make every block's CRC-32 match its (mutated) bytes and read again.
    bool changed = false;
    for (const auto& [offset, len] : blocks) {
        if (offset + 12 + len > bytes.size()) continue;
        const std::uint32_t crc = crc32(sarn::common::ByteView(bytes.data() + offset + 12, len));
        for (int i = 0; i < 4; ++i) {
            const auto b = static_cast<std::uint8_t>(crc >> (8 * i));
            changed |= bytes[offset + i] != b;
            bytes[offset + i] = b;
        }
    }
    if (changed) {
        write_scratch(bytes);
        scan_all(selector);
    }
    return 0;
}
