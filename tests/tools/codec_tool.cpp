// codec_tool: runs compress_block from the command line, so that the Python
// tests can hold the native block codec against the pure Python writer.
//
//   codec_tool            compress all of stdin as one block to stdout
//   codec_tool --batch    stdin holds records (u32 little-endian length, then
//                         that many bytes); each is compressed and written to
//                         stdout as a record of the same form
//
// Exit status 1 with a message on stderr for a truncated batch or a failed
// read or write.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codec/codec.hpp"

namespace {

bool read_exact(std::uint8_t* out, std::size_t n) { return n == 0 || std::fread(out, 1, n, stdin) == n; }

bool write_all(const std::uint8_t* data, std::size_t n) { return n == 0 || std::fwrite(data, 1, n, stdout) == n; }

bool write_u32(std::uint32_t v) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    return write_all(bytes, 4);
}

int fail(const char* what) {
    std::fprintf(stderr, "codec_tool: %s\n", what);
    return 1;
}

int run_single() {
    std::vector<std::uint8_t> input;
    std::uint8_t buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) input.insert(input.end(), buffer, buffer + got);
    if (std::ferror(stdin)) return fail("cannot read stdin");
    const sarn::common::Bytes block = sarn::codec::compress_block(input);
    if (!write_all(block.data(), block.size()) || std::fflush(stdout) != 0) return fail("cannot write stdout");
    return 0;
}

int run_batch() {
    std::vector<std::uint8_t> input;
    for (;;) {
        std::uint8_t head[4];
        const std::size_t got = std::fread(head, 1, 4, stdin);
        if (got == 0 && std::feof(stdin)) break;
        if (got != 4) return fail("truncated record length");
        const std::uint32_t n = static_cast<std::uint32_t>(head[0]) | static_cast<std::uint32_t>(head[1]) << 8 |
                                static_cast<std::uint32_t>(head[2]) << 16 | static_cast<std::uint32_t>(head[3]) << 24;
        input.resize(n);
        if (!read_exact(input.data(), n)) return fail("truncated record");
        const sarn::common::Bytes block = sarn::codec::compress_block(input);
        if (!write_u32(static_cast<std::uint32_t>(block.size())) || !write_all(block.data(), block.size()))
            return fail("cannot write stdout");
    }
    if (std::fflush(stdout) != 0) return fail("cannot write stdout");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--batch") == 0) return run_batch();
    if (argc == 1) return run_single();
    std::fprintf(stderr, "usage: codec_tool [--batch] < input > output\n");
    return 2;
}
