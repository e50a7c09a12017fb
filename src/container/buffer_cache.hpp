// Recycled column buffers.
//
// Decoded columns are a few hundred kilobytes each, allocated by the
// decoding threads and freed wherever their consumer lets go of them (an
// Arrow table dropped on the interpreter's thread).  The C library keeps
// one heap per thread and hands a heap back to the system as soon as it is
// empty, so every read on several threads met its buffers as fresh pages:
// one page fault per 4 KiB, about a quarter of the CPU time of reading a
// 200 MB CSV file's container into Arrow, paid by every read while a
// single-threaded read recycled its memory through the main heap.
//
// This cache keeps large freed buffers (LARGE_BUFFER bytes and up) by size
// class, for any thread to take again:
//   - sizes round up to one of 16 classes per power of two (at most 1/16
//     more than asked for), so that a buffer fits the next request of about
//     its size;
//   - at most MAX_CACHED_BYTES are kept; beyond that a freed buffer goes
//     back to the C library;
//   - a kept buffer's whole pages are given to the kernel to reclaim under
//     memory pressure (MADV_FREE): until it does, the buffer is taken again
//     without a fault; once it did, the pages come back zeroed on first use,
//     which is all a reused buffer promises;
//   - buffers kept longer than IDLE_SECONDS are freed at the next call, so
//     memory that no read asks for again drains away.
// Thread-safe.
#pragma once

#include <cstddef>

namespace sarn::container::buffer_cache {

// Buffers smaller than this are the C library's alone.
inline constexpr std::size_t LARGE_BUFFER = std::size_t{64} << 10;
inline constexpr std::size_t MAX_CACHED_BYTES = std::size_t{512} << 20;
inline constexpr int IDLE_SECONDS = 10;
inline constexpr std::size_t ALIGNMENT = 64;

// The capacity a request of `size` bytes gets: `size` rounded up to the
// alignment, and for large buffers to their size class.
std::size_t capacity_for(std::size_t size) noexcept;

// A buffer of capacity_for(size) bytes, 64-byte aligned, content undefined;
// nullptr when memory runs out.
void* allocate(std::size_t size) noexcept;

// Gives back a buffer from allocate(size): kept or freed.
void release(void* p, std::size_t size) noexcept;

// Frees every kept buffer (tests, and whoever wants the memory back now).
void clear() noexcept;

// The bytes kept now.
std::size_t cached_bytes() noexcept;

}  // namespace sarn::container::buffer_cache
