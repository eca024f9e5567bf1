// Raw sample blocks: placement for fast kernel copies and the cache of freed blocks.
#include "sample_storage.hpp"

#include <stdlib.h>
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <new>

namespace vorn {

namespace {

// Freed sample blocks are kept for the next record of the same size: a stream's records
// are usually alike, and a reused block costs neither the allocator's search nor, for
// big blocks (fresh mmaps on 32-bit glibc), page faults that cost more than filling it.
// A stream reuses one or two blocks at a time, so the cache holds a few blocks and a few
// MiB in all; the oldest make room for the newest, and bigger blocks, whose page faults
// cost little beside their fill, go back to the system at once.
constexpr std::size_t kCacheMinBytes = 1024;
constexpr std::size_t kCacheMaxBytes = 4 * 1024 * 1024;
constexpr std::size_t kCacheTotalBytes = 4 * 1024 * 1024 + 64 * 1024;
constexpr std::size_t kCacheSlots = 4;

class BlockCache {
public:
    void* take(std::size_t bytes) {
        Guard guard(lock_);
        for (std::size_t i = 0; i < count_; ++i) {
            if (size_[i] == bytes) {
                void* p = ptr_[i];
                remove(i);
                return p;
            }
        }
        return nullptr;
    }

    // Keeps the block, first letting go of the oldest ones that leave it no room; their
    // bases are given back to the caller to free, outside the lock.
    std::size_t put(void* p, std::size_t bytes, std::array<void*, kCacheSlots>& evicted,
                    std::array<std::size_t, kCacheSlots>& evicted_bytes) {
        Guard guard(lock_);
        std::size_t n = 0;
        while (count_ == kCacheSlots || held_ + bytes > kCacheTotalBytes) {
            evicted_bytes[n] = size_[0];
            evicted[n++] = ptr_[0];
            remove(0);
        }
        ptr_[count_] = p;
        size_[count_] = bytes;
        ++count_;
        held_ += bytes;
        return n;
    }

private:
    // A spin lock: held for a few loads and stores, and uncontended in practice (the
    // Python layer holds the interpreter lock), where a mutex would cost more.
    struct Guard {
        explicit Guard(std::atomic_flag& f) : flag(f) {
            while (flag.test_and_set(std::memory_order_acquire)) {
            }
        }
        ~Guard() { flag.clear(std::memory_order_release); }
        std::atomic_flag& flag;
    };

    void remove(std::size_t i) {
        held_ -= size_[i];
        for (std::size_t j = i + 1; j < count_; ++j) {
            ptr_[j - 1] = ptr_[j];
            size_[j - 1] = size_[j];
        }
        --count_;
    }

    std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
    std::array<void*, kCacheSlots> ptr_{};  // owned blocks (their bases), oldest first
    std::array<std::size_t, kCacheSlots> size_{};
    std::size_t count_ = 0;  // blocks held
    std::size_t held_ = 0;   // their bytes
};

bool cacheable(std::size_t bytes) {
    return bytes >= kCacheMinBytes && bytes <= kCacheMaxBytes;
}

// Blocks of this size or more are mapped from the system and given back to it when freed:
// from malloc they would come from its heap once its threshold has risen past them, where a
// small allocation kept after one pins the freed block's pages (a run read in chunks, small
// results of each kept, would hold every chunk's memory).
constexpr std::size_t kMapMinBytes = 1 << 20;

std::size_t mapped_bytes(std::size_t bytes) {
    return (bytes + kSampleAlign + 4095) & ~std::size_t{4095};
}

// Gives a block's base back: to the system for a mapped one, else to malloc.
void release(void* base, std::size_t bytes) noexcept {
    if (bytes >= kMapMinBytes) {
        ::munmap(base, mapped_bytes(bytes));
    } else {
        free(base);
    }
}

// Never destroyed: arrays may free their storage during interpreter shutdown, after
// static destructors would have run.
BlockCache& block_cache() {
    static BlockCache* cache = new BlockCache;
    return *cache;
}

}  // namespace

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kPage = 4096;
    constexpr std::size_t kHugeMinBytes = 2 << 20;
    if (bytes < kHugeMinBytes) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint only
}

void* sample_alloc(std::size_t bytes, std::size_t shift) {
    const bool placed = bytes >= kPlacedMinBytes;
    void* base = cacheable(bytes) ? block_cache().take(bytes) : nullptr;
    if (base == nullptr) {
        if (!placed) {
            base = malloc(bytes == 0 ? 1 : bytes);
            if (base == nullptr) throw std::bad_alloc();
        } else if (bytes >= kMapMinBytes) {
            base = ::mmap(nullptr, mapped_bytes(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
            if (base == MAP_FAILED) throw std::bad_alloc();
            advise_huge_pages(base, bytes + kSampleAlign);
        } else if (posix_memalign(&base, kSampleAlign, bytes + kSampleAlign) != 0) {
            throw std::bad_alloc();
        } else {
            advise_huge_pages(base, bytes + kSampleAlign);
        }
    }
    return placed ? static_cast<std::uint8_t*>(base) + shift % kSampleAlign : base;
}

void sample_free(void* p, std::size_t bytes, bool reuse) noexcept {
    if (p == nullptr) return;
    // A placed block starts less than 64 bytes past its 64-aligned base.
    void* base = bytes < kPlacedMinBytes ? p
                                         : reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) &
                                                                   ~std::uintptr_t{kSampleAlign - 1});
    if (!reuse || !cacheable(bytes)) {
        release(base, bytes);
        return;
    }
    std::array<void*, kCacheSlots> evicted;
    std::array<std::size_t, kCacheSlots> evicted_bytes;
    const std::size_t n = block_cache().put(base, bytes, evicted, evicted_bytes);
    for (std::size_t i = 0; i < n; ++i) release(evicted[i], evicted_bytes[i]);
}

}  // namespace vorn
