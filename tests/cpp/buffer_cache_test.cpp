// The cache of large column buffers: size classes, reuse across threads,
// its bound, and buffers that keep what their owner writes while others
// come and go.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "container/buffer_cache.hpp"
#include "container/column_batch.hpp"

namespace bc = sarn::container::buffer_cache;

namespace {

TEST(BufferCache, CapacityClasses) {
    // Small requests are only aligned; large ones round up by at most 1/16,
    // and a capacity is its own class, so a buffer given back under its
    // capacity lands in the class it was taken from.
    for (std::size_t size :
         {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, bc::LARGE_BUFFER - 64,
          bc::LARGE_BUFFER - 1, bc::LARGE_BUFFER, bc::LARGE_BUFFER + 1, std::size_t{100000}, std::size_t{262145},
          std::size_t{1} << 20, (std::size_t{1} << 20) + 1, std::size_t{3000000}, std::size_t{1} << 31}) {
        const std::size_t cap = bc::capacity_for(size);
        SCOPED_TRACE(size);
        EXPECT_GE(cap, size);
        EXPECT_EQ(cap % bc::ALIGNMENT, 0u);
        EXPECT_EQ(bc::capacity_for(cap), cap);
        if (size >= bc::LARGE_BUFFER) {
            EXPECT_LE(cap - size, size / 16 + bc::ALIGNMENT);
        } else {
            EXPECT_LT(cap - size, bc::ALIGNMENT);
        }
    }
    // Neighbouring sizes share a class, so a buffer fits the next request of
    // about its size.
    EXPECT_EQ(bc::capacity_for(600000), bc::capacity_for(601000));
}

TEST(BufferCache, LargeBuffersAreTakenAgainOnAnyThread) {
    bc::clear();
    const std::size_t size = 300000;
    void* p = bc::allocate(size);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % bc::ALIGNMENT, 0u);
    std::memset(p, 0x5a, size);
    bc::release(p, size);
    EXPECT_EQ(bc::cached_bytes(), bc::capacity_for(size));

    void* again = nullptr;
    std::thread([&] { again = bc::allocate(size + 100); }).join();  // same class, another thread
    EXPECT_EQ(again, p);
    EXPECT_EQ(bc::cached_bytes(), 0u);
    std::memset(again, 1, size + 100);  // the whole capacity is usable
    std::thread([&] { bc::release(again, size + 100); }).join();
    EXPECT_EQ(bc::cached_bytes(), bc::capacity_for(size));

    // Another class is not served from it.
    void* other = bc::allocate(2 * size);
    EXPECT_NE(other, p);
    bc::release(other, 2 * size);
    bc::clear();
    EXPECT_EQ(bc::cached_bytes(), 0u);
}

TEST(BufferCache, SmallBuffersAreNotKept) {
    bc::clear();
    void* p = bc::allocate(1000);
    ASSERT_NE(p, nullptr);
    bc::release(p, 1000);
    EXPECT_EQ(bc::cached_bytes(), 0u);
    bc::release(nullptr, 1 << 20);  // nothing to give back
    EXPECT_EQ(bc::cached_bytes(), 0u);
}

TEST(BufferCache, KeepsNoMoreThanItsBound) {
    bc::clear();
    // Never touched, so these cost address space only.
    const std::size_t size = std::size_t{32} << 20;
    std::vector<void*> buffers;
    for (std::size_t total = 0; total <= bc::MAX_CACHED_BYTES + 2 * size; total += size) {
        buffers.push_back(bc::allocate(size));
        ASSERT_NE(buffers.back(), nullptr);
    }
    for (void* p : buffers) bc::release(p, size);
    EXPECT_LE(bc::cached_bytes(), bc::MAX_CACHED_BYTES);
    EXPECT_GT(bc::cached_bytes(), bc::MAX_CACHED_BYTES - bc::capacity_for(size));
    bc::clear();
}

TEST(BufferCache, BuffersKeepTheirContentUnderConcurrentReuse) {
    // Each thread fills the buffers it takes with its own pattern and checks
    // them before giving them back: a buffer handed to two owners, or whose
    // pages were given up to the kernel after another thread took it, shows
    // as a foreign or zeroed byte.
    bc::clear();
    std::vector<std::thread> threads;
    std::vector<int> faults(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &faults] {
            const std::uint8_t mark = static_cast<std::uint8_t>(0x11 * (t + 1));
            for (int round = 0; round < 200; ++round) {
                const std::size_t size = bc::LARGE_BUFFER * static_cast<std::size_t>(1 + round % 5);
                auto* p = static_cast<std::uint8_t*>(bc::allocate(size));
                if (!p) continue;
                std::memset(p, mark, size);
                std::this_thread::yield();
                for (std::size_t i = 0; i < size; i += 997) faults[t] += p[i] != mark;
                faults[t] += p[size - 1] != mark;
                bc::release(p, size);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
    bc::clear();
}

TEST(BufferCache, RawBufferGrowsThroughTheCacheKeepingItsContent) {
    bc::clear();
    sarn::container::RawBuffer b;
    b.resize(100);
    std::memset(b.data(), 7, 100);
    b.resize(bc::LARGE_BUFFER * 3);  // now a cached class
    for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(b.data()[i], 7);
    b.data()[bc::LARGE_BUFFER * 3 - 1] = 9;
    b = sarn::container::RawBuffer();  // the large buffer goes to the cache
    EXPECT_EQ(bc::cached_bytes(), bc::capacity_for(bc::LARGE_BUFFER * 3));
    sarn::container::RawBuffer c(bc::LARGE_BUFFER * 3);
    EXPECT_EQ(bc::cached_bytes(), 0u);
    c.data()[0] = 1;
    bc::clear();
}

}  // namespace
