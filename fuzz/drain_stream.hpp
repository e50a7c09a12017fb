// Reads an exported Arrow stream to its end, as a consumer would, and aborts
// (a finding) on what no sound stream gives: a failure without a message, or
// a batch whose shape differs from the scan's columns.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "arrow_bridge/arrow_c_abi.h"

inline void drain_stream(ArrowArrayStream& stream, std::size_t columns) {
    for (;;) {
        ArrowArray a;
        if (stream.get_next(&stream, &a) != 0) {
            const char* e = stream.get_last_error(&stream);
            if (!e || !*e) std::abort();
            break;
        }
        if (!a.release) break;
        if (a.n_children != static_cast<std::int64_t>(columns)) std::abort();
        for (std::int64_t i = 0; i < a.n_children; ++i)
            if (a.children[i]->length != a.length) std::abort();
        a.release(&a);
    }
    stream.release(&stream);
}
