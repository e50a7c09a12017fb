// Helpers shared by the container, chunk and reader tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "container/writer.hpp"
#include "container/types.hpp"

namespace sarn_test {

// A file path in a per-process scratch directory.  The directory goes with
// the last TempPath of the process: ctest runs each test in a process of its
// own, so a directory kept until exit would be left behind once per test.
class TempPath {
public:
    explicit TempPath(const std::string& name) {
        dir_ = std::filesystem::temp_directory_path() / ("sarn_container_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        ++live_;
        path_ = (dir_ / name).string();
        std::filesystem::remove(path_);
    }
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;
    ~TempPath() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
        if (--live_ == 0) std::filesystem::remove_all(dir_, ec);
    }
    const std::string& str() const { return path_; }

private:
    inline static int live_ = 0;  // TempPaths of this process
    std::filesystem::path dir_;
    std::string path_;
};

inline sarn::common::Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return sarn::common::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const sarn::common::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline sarn::container::ColumnSchema column(std::string name, std::uint8_t type_code = sarn::container::TYPE_TEXT) {
    sarn::container::ColumnSchema c;
    c.name = std::move(name);
    c.type_code = type_code;
    return c;
}

inline sarn::container::Value text(std::string s) { return sarn::container::Value::from_text(std::move(s)); }
inline sarn::container::Value integer(std::int64_t v) { return sarn::container::Value::from_int(v); }
inline sarn::container::Value real(double v) { return sarn::container::Value::from_float(v); }

inline std::uint64_t le(const sarn::common::Bytes& b, std::size_t at, int width) {
    return sarn::container::load_le(b.data() + at, width);
}

}  // namespace sarn_test
