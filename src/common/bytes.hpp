// Byte strings: the owned and the borrowed form every layer passes around.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace sarn::common {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView as_bytes(std::string_view s) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace sarn::common
