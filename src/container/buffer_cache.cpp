#include "container/buffer_cache.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace sarn::container::buffer_cache {

namespace {

using Clock = std::chrono::steady_clock;

struct Kept {
    void* p;
    Clock::time_point since;
};

struct Cache {
    std::mutex mutex;
    std::map<std::size_t, std::vector<Kept>> by_class;  // capacity -> buffers, the latest last
    std::size_t bytes = 0;
    Clock::time_point last_sweep = Clock::now();
};

Cache& cache() {
    // Never destroyed: buffers may be released by threads that outlive the
    // static destructors.
    static Cache* c = new Cache();
    return *c;
}

std::size_t page_size() {
    static const std::size_t size = [] {
        const long n = ::sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<std::size_t>(n) : std::size_t{4096};
    }();
    return size;
}

// Lets the kernel take back the whole pages of a kept buffer when memory is
// short; the buffer stays mapped and, untouched by the kernel, is reused
// without a fault.  An older kernel without MADV_FREE keeps the pages.
void offer_pages(void* p, std::size_t capacity) {
#ifdef MADV_FREE
    const std::size_t page = page_size();
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + capacity) / page * page;
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_FREE);
#else
    (void)p;
    (void)capacity;
#endif
}

// Moves the buffers kept longer than IDLE_SECONDS to `out`, at most once a
// second.  REQUIRES: c.mutex held.
void sweep(Cache& c, Clock::time_point now, std::vector<void*>& out) {
    if (now - c.last_sweep < std::chrono::seconds(1)) return;
    c.last_sweep = now;
    const auto limit = now - std::chrono::seconds(IDLE_SECONDS);
    for (auto it = c.by_class.begin(); it != c.by_class.end();) {
        auto& kept = it->second;
        std::size_t stale = 0;  // the oldest come first
        while (stale < kept.size() && kept[stale].since < limit) ++stale;
        for (std::size_t i = 0; i < stale; ++i) out.push_back(kept[i].p);
        c.bytes -= stale * it->first;
        kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(stale));
        it = kept.empty() ? c.by_class.erase(it) : std::next(it);
    }
}

void free_all(const std::vector<void*>& buffers) {
    for (void* p : buffers) std::free(p);
}

}  // namespace

std::size_t capacity_for(std::size_t size) noexcept {
    const std::size_t aligned = (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    if (aligned < LARGE_BUFFER) return aligned;
    // 16 classes between consecutive powers of two.
    const unsigned width = static_cast<unsigned>(std::bit_width(aligned - 1));
    const std::size_t step = std::size_t{1} << (width - 5);
    return (aligned + step - 1) / step * step;
}

void* allocate(std::size_t size) noexcept {
    const std::size_t capacity = capacity_for(size);
    if (capacity >= LARGE_BUFFER) {
        Cache& c = cache();
        void* p = nullptr;
        std::vector<void*> stale;
        try {
            std::lock_guard<std::mutex> lock(c.mutex);
            auto it = c.by_class.find(capacity);
            if (it != c.by_class.end()) {
                p = it->second.back().p;
                it->second.pop_back();
                if (it->second.empty()) c.by_class.erase(it);
                c.bytes -= capacity;
            }
            sweep(c, Clock::now(), stale);
        } catch (...) {
            // No memory for the sweep's list: the stale buffers stay kept.
        }
        free_all(stale);
        if (p) return p;
    }
    return std::aligned_alloc(ALIGNMENT, capacity);
}

void release(void* p, std::size_t size) noexcept {
    if (!p) return;
    const std::size_t capacity = capacity_for(size);
    if (capacity < LARGE_BUFFER) {
        std::free(p);
        return;
    }
    // Offered before it is kept: once kept, another thread may take it and
    // write to it, and pages offered then would lose what it wrote.
    offer_pages(p, capacity);
    Cache& c = cache();
    std::vector<void*> stale;
    bool kept = false;
    try {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(c.mutex);
        sweep(c, now, stale);
        if (c.bytes + capacity <= MAX_CACHED_BYTES) {
            c.by_class[capacity].push_back({p, now});
            c.bytes += capacity;
            kept = true;
        }
    } catch (...) {
        // No memory to note the buffer down: it is freed.
    }
    free_all(stale);
    if (!kept) std::free(p);
}

void clear() noexcept {
    Cache& c = cache();
    std::vector<void*> all;
    try {
        std::lock_guard<std::mutex> lock(c.mutex);
        for (auto& [capacity, kept] : c.by_class) {
            for (const Kept& k : kept) all.push_back(k.p);
        }
        c.by_class.clear();
        c.bytes = 0;
    } catch (...) {
        return;
    }
    free_all(all);
}

std::size_t cached_bytes() noexcept {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.bytes;
}

}  // namespace sarn::container::buffer_cache
