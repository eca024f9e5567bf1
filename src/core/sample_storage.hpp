// Owned sample storage: raw blocks placed for fast kernel copies, a small cache of freed
// blocks, and the growable vector that a record's samples live in. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vorn {

// The kernel copies file data into memory several times faster when the destination
// address and the file offset agree modulo 64. Buffers and large sample blocks are placed
// so that they do.
inline constexpr std::size_t kSampleAlign = 64;

// Blocks of at least this many bytes are placed: for the kernel's copy when read straight
// from the file, and so that a copy out of the read buffer (placed the same way) runs with
// source and destination equally aligned. Smaller ones come from plain malloc.
inline constexpr std::size_t kPlacedMinBytes = 8192;

// Raw blocks for sample storage. A block of kPlacedMinBytes or more starts `shift`
// bytes (< 64) past a 64-byte boundary; big blocks are kept in a small cache when freed so
// that a stream of large records does not pay for fresh pages on every record.
// A block freed with `reuse` false (an outgrown block of a record still being read, whose
// size no later record is likely to ask for) goes straight back to the allocator.
void* sample_alloc(std::size_t bytes, std::size_t shift);  // throws std::bad_alloc
void sample_free(void* p, std::size_t bytes, bool reuse = true) noexcept;

// Asks for huge pages under a large block (as NumPy does for its arrays): a first touch of
// fresh memory then faults once per 2 MiB, not per 4 KiB, which is most of what filling a
// large new block costs.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// A growable, owning, 64-byte-aligned array of samples (trivially copyable T). Unlike
// std::vector it never zero-fills, and its storage can be released to a new owner.
template <class T>
class SampleVec {
public:
    SampleVec() = default;
    SampleVec(const SampleVec&) = delete;
    SampleVec& operator=(const SampleVec&) = delete;
    SampleVec(SampleVec&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    SampleVec& operator=(SampleVec&& o) noexcept {
        if (this != &o) {
            reset();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
        }
        return *this;
    }
    ~SampleVec() { reset(); }

    T* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::uint8_t* bytes() const { return reinterpret_cast<std::uint8_t*>(data_); }
    std::size_t capacity_bytes() const { return capacity_ * sizeof(T); }

    // Grows the capacity to at least `n` elements, keeping the first `keep_bytes` bytes
    // (a block still being read may end inside a sample). A large block starts `shift`
    // bytes past a 64-byte boundary (a multiple of sizeof(T)).
    void grow(std::size_t n, std::size_t shift, std::size_t keep_bytes) {
        if (n <= capacity_) return;
        T* fresh = static_cast<T*>(sample_alloc(n * sizeof(T), shift));
        if (keep_bytes != 0) std::memcpy(fresh, data_, keep_bytes);
        if (data_ != nullptr) sample_free(data_, capacity_bytes(), false);
        data_ = fresh;
        capacity_ = n;
    }
    void set_size(std::size_t n) { size_ = n; }  // n <= capacity(); contents as written

    // Hands the storage to a new owner, who must give it back to sample_free() with
    // capacity * sizeof(T) bytes. Leaves this vector empty.
    T* release() {
        size_ = 0;
        capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

    // Takes back storage handed out by release(); this vector must be empty.
    void adopt(T* data, std::size_t size, std::size_t capacity) {
        data_ = data;
        size_ = size;
        capacity_ = capacity;
    }

    void reset() {
        if (data_ != nullptr) sample_free(data_, capacity_bytes());
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    T* data_ = nullptr;         // owned, from sample_alloc; null when capacity_ is 0
    std::size_t size_ = 0;      // elements in use
    std::size_t capacity_ = 0;  // elements allocated
};

}  // namespace vorn
