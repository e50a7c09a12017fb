// Decoding arbitrary payloads straight into column buffers, then using what
// came out: the statistics check, JSON text of structured values, row
// selection, filter evaluation and the Arrow export.  Each must return an
// error or a well-formed column (offsets rising within the bytes, text valid
// UTF-8, every buffer as long as its length says), and never read or write
// out of bounds (the sanitizers check that).
//
// Input: type code, encoding, null count (u16), rows (u16), flags, then the
// payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "arrow_bridge/arrow_export.hpp"
#include "common/utf8.hpp"
#include "container/chunk_decode.hpp"
#include "query/scan.hpp"

using namespace sarn::container;
using namespace sarn::query;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

void check_column(const DecodedColumn& c, std::size_t rows) {
    require(c.length == rows);
    require(c.null_count <= rows);
    if (c.null_count > 0) require(c.validity.size() >= (rows + 7) / 8);
    if (c.has_offsets()) {
        require(c.values.size() >= (rows + 1) * (c.large_offsets ? 8 : 4));
        require(c.offset(0) == 0);
        for (std::size_t i = 0; i < rows; ++i) require(c.offset(i) <= c.offset(i + 1));
        require(c.offset(rows) == c.data.size());
        if (c.layout == ColumnLayout::Utf8) {
            for (std::size_t i = 0; i < rows; ++i) require(sarn::common::is_valid_utf8(c.cell(i)));
        }
    } else if (c.layout == ColumnLayout::Bool) {
        require(c.values.size() >= (rows + 7) / 8);
    } else {
        require(c.values.size() >= rows * 8);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    const std::uint8_t type_code = static_cast<std::uint8_t>(1 + data[0] % 8);
    ColumnChunkMeta meta;
    meta.encoding = static_cast<ColumnEncoding>(data[1] % 8);
    meta.null_count = static_cast<std::uint32_t>(data[2] | (data[3] << 8));
    const std::size_t rows = static_cast<std::size_t>(data[4] | (data[5] << 8)) % 4097;
    const bool large = (data[6] & 1) != 0;
    const sarn::common::ByteView payload(data + 7, size - 7);

    auto decoded = decode_column_block(type_code, meta, payload, rows, large);
    if (!decoded) {
        require(!decoded.error().message.empty());
        return 0;
    }
    DecodedColumn& c = *decoded;
    check_column(c, rows);
    (void)check_block_statistics(meta, c);

    // Every other row, then a predicate over what is left.
    std::vector<std::uint8_t> keep(rows);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows; ++i) kept += keep[i] = static_cast<std::uint8_t>((i + data[6]) % 2);
    DecodedColumn half = take_rows(c, keep, kept);
    check_column(half, kept);
    Predicate p;
    p.op = static_cast<CompareOp>(data[6] >> 5);
    FilterOperand o;
    o.i = data[1];
    o.f = data[1] / 4.0;
    o.s.assign(reinterpret_cast<const char*>(payload.data()), std::min<std::size_t>(payload.size(), 3));
    p.operands = {o, o};
    std::vector<std::uint8_t> all(kept, 1);
    apply_predicate(half, p, all);

    if (c.layout == ColumnLayout::Structured) {
        auto json = to_json_column(c);
        if (json) {
            check_column(*json, rows);
            c = std::move(*json);
        } else {
            return 0;
        }
    }
    RecordBatch batch;
    batch.num_rows = rows;
    batch.columns.push_back(std::move(c));
    ArrowArray array;
    require(sarn::arrow_bridge::export_batch(std::move(batch), &array) == 0);
    require(array.n_children == 1 && array.children[0]->length == static_cast<std::int64_t>(rows));
    array.release(&array);
    require(array.release == nullptr);
    return 0;
}
