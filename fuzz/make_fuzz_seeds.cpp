// Writes seeds for the container fuzz targets: small containers of every
// column type for reader_fuzzer (real CSV containers hold only text
// columns), and the column payloads inside them, in chunk_decode_fuzzer's
// input form, for that target.
//
//   make_fuzz_seeds READER_SEED_DIR CHUNK_SEED_DIR
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "container/chunk_internal.hpp"
#include "container/writer.hpp"

namespace {

// chunk_decode_fuzzer's input: type code, encoding byte, row count (u16),
// then the payload.
bool write_chunk_seed(const std::string& path, std::uint8_t type_code, const std::vector<sarn::container::Row>& rows,
                      std::size_t column) {
    std::vector<const sarn::container::Value*> refs;
    for (const auto& row : rows) refs.push_back(&row[column]);
    const auto enc = sarn::container::internal::encode_column(type_code, refs);
    std::vector<std::uint8_t> seed = {type_code, static_cast<std::uint8_t>(enc.encoding),
                                      static_cast<std::uint8_t>(rows.size()),
                                      static_cast<std::uint8_t>(rows.size() >> 8)};
    seed.insert(seed.end(), enc.payload.begin(), enc.payload.end());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(seed.data(), 1, seed.size(), f) == seed.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: make_fuzz_seeds READER_SEED_DIR CHUNK_SEED_DIR\n", stderr);
        return 1;
    }
    using sarn::container::Value;
    std::vector<sarn::container::ColumnSchema> schema;
    for (std::uint8_t t = 1; t <= 8; ++t) {
        sarn::container::ColumnSchema c;
        c.name = "c" + std::to_string(t);
        c.type_code = t;
        schema.push_back(c);
    }
    sarn::container::ColumnSchema secret;
    secret.name = "secret";
    secret.encrypted = 1;
    secret.key[0] = 1;
    schema.push_back(secret);

    for (int variant = 0; variant < 4; ++variant) {
        std::vector<sarn::container::Row> rows;
        for (int r = 0; r < 40; ++r) {
            const std::int64_t x = variant == 0   ? r
                                   : variant == 1 ? r / 10
                                   : variant == 2 ? (r * 7919) % 101
                                                  : r * 1000003LL * r;
            sarn::container::ListValue list{{Value::from_int(x), Value::from_text("t" + std::to_string(r % 3))}};
            sarn::container::ObjectValue obj;
            obj.entries.emplace_back("k", Value::from_float(x / 3.0));
            sarn::container::MapValue map;
            map.pairs.emplace_back(Value::from_bool(r % 2), Value());
            rows.push_back({Value::from_int(x), Value::from_float(x * 0.25), Value::from_bool(r % 3 == 0),
                            Value::from_text("v" + std::to_string(x % 5)), Value::from_bytes({std::uint8_t(r)}),
                            Value::from_object(obj), Value::from_list(list), Value::from_map(map),
                            Value::from_text("hidden" + std::to_string(r))});
        }
        const std::string path = std::string(argv[1]) + "/typed" + std::to_string(variant) + ".sarn";
        auto w = sarn::container::StreamingSarnWriter::create(path, schema, 16);
        if (!w) return 1;
        for (std::size_t at = 0; at < rows.size(); at += 16) {
            std::size_t n = std::min<std::size_t>(16, rows.size() - at);
            if (!w->write_chunk(std::span<const sarn::container::Row>(rows).subspan(at, n))) return 1;
        }
        if (!w->finish()) return 1;
        for (std::uint8_t t = 1; t <= 8; ++t) {
            const std::string seed = std::string(argv[2]) + "/type" + std::to_string(t) + "_" + std::to_string(variant);
            if (!write_chunk_seed(seed, t, rows, t - 1)) return 1;
        }
    }
    return 0;
}
