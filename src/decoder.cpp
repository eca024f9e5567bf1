// The buffered file source, I/O error text and sample storage shared by both decoders.
#include "decoder.hpp"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <new>

namespace vorn {

// ---------------------------------------------------------------------------------------
// IoError

IoError IoError::from_errno(int err) {
    return {err == EINTR ? ErrorKind::Interrupted : ErrorKind::Os, err, nullptr};
}

namespace {
// strerror_r comes in two flavours; overloads pick the one this libc declares.
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) {
    return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* r, const char*) {
    return r;
}
}  // namespace

std::string IoError::text() const {
    if (message != nullptr) return message;
    char buf[256];
    buf[0] = '\0';
    const char* desc = strerror_result(strerror_r(code, buf, sizeof buf), buf);
    std::string out = desc != nullptr ? desc : "Unknown error";
    out += " (os error ";
    out += std::to_string(code);
    out += ')';
    return out;
}

// ---------------------------------------------------------------------------------------
// Sample storage

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
    std::size_t put(void* p, std::size_t bytes, std::array<void*, kCacheSlots>& evicted) {
        Guard guard(lock_);
        std::size_t n = 0;
        while (count_ == kCacheSlots || held_ + bytes > kCacheTotalBytes) {
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

// Never destroyed: arrays may free their storage during interpreter shutdown, after
// static destructors would have run.
BlockCache& block_cache() {
    static BlockCache* cache = new BlockCache;
    return *cache;
}

}  // namespace

void* sample_alloc(std::size_t bytes, std::size_t shift) {
    const bool placed = bytes >= kPlacedMinBytes;
    void* base = cacheable(bytes) ? block_cache().take(bytes) : nullptr;
    if (base == nullptr) {
        if (!placed) {
            base = malloc(bytes == 0 ? 1 : bytes);
            if (base == nullptr) throw std::bad_alloc();
        } else if (posix_memalign(&base, kSampleAlign, bytes + kSampleAlign) != 0) {
            throw std::bad_alloc();
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
        free(base);
        return;
    }
    std::array<void*, kCacheSlots> evicted;
    const std::size_t n = block_cache().put(base, bytes, evicted);
    for (std::size_t i = 0; i < n; ++i) free(evicted[i]);
}

// ---------------------------------------------------------------------------------------
// BufReader

BufReader::Outcome BufReader::classify(const ReadResult& r, IoError& err) const {
    if (r.err == EINTR && (hook_ == nullptr || !hook_())) return Outcome::Retry;
    if (r.err != 0) {
        err = IoError::from_errno(r.err);
        return Outcome::Failed;
    }
    if (r.count == 0) {
        err = IoError::unexpected_eof();
        return Outcome::Failed;
    }
    return Outcome::Data;
}

namespace {
// Closes a descriptor on scope exit unless released: keeps the constructor's promise
// that the descriptor is closed even when the buffer cannot be allocated.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

BufReader::BufReader(int fd) {
    FdGuard guard{fd};
    buf_ =
        static_cast<std::uint8_t*>(::operator new (kCapacity + kSampleAlign, std::align_val_t{kSampleAlign}));
    fd_ = std::exchange(guard.fd, -1);
}

BufReader::BufReader(BufReader&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      hook_(o.hook_),
      buf_(std::exchange(o.buf_, nullptr)),
      pos_(std::exchange(o.pos_, 0)),
      filled_(std::exchange(o.filled_, 0)),
      offset_(std::exchange(o.offset_, 0)) {}

BufReader& BufReader::operator=(BufReader&& o) noexcept {
    if (this != &o) {
        this->~BufReader();
        new (this) BufReader(std::move(o));
    }
    return *this;
}

BufReader::~BufReader() {
    if (buf_ != nullptr) ::operator delete (buf_, std::align_val_t{kSampleAlign});
    if (fd_ >= 0) ::close(fd_);  // a failed close has nothing left to report to
}

ReadResult BufReader::sys_read(std::uint8_t* dst, std::size_t n) {
    ssize_t r = ::read(fd_, dst, n);
    if (r < 0) return {0, errno};
    offset_ += static_cast<std::uint64_t>(r);
    return {static_cast<std::size_t>(r), 0};
}

ReadResult BufReader::fill_buffer() {
    const std::size_t lead = static_cast<std::size_t>(offset_ % kSampleAlign);
    ReadResult r = sys_read(buf_ + lead, kCapacity);
    if (r.err == 0) {
        pos_ = lead;
        filled_ = lead + r.count;
    }
    return r;
}

ReadResult BufReader::read_direct(std::uint8_t* dst, std::size_t n, std::size_t ahead) {
    pos_ = filled_ = 0;
    if (ahead == 0) return sys_read(dst, n);
    const std::size_t lead = static_cast<std::size_t>((offset_ + n) % kSampleAlign);
    iovec iov[2] = {{dst, n}, {buf_ + lead, std::min(ahead, kCapacity)}};
    ssize_t r = ::readv(fd_, iov, 2);
    if (r < 0) return {0, errno};
    const auto count = static_cast<std::size_t>(r);
    offset_ += count;
    if (count <= n) return {count, 0};
    pos_ = lead;
    filled_ = lead + (count - n);
    return {n, 0};
}

ReadResult BufReader::read(std::uint8_t* dst, std::size_t n) {
    if (pos_ == filled_) {
        if (n >= kCapacity) {
            pos_ = filled_ = 0;
            return sys_read(dst, n);
        }
        ReadResult r = fill_buffer();
        if (r.err != 0) return r;
    }
    std::size_t take = std::min(n, filled_ - pos_);
    std::memcpy(dst, buf_ + pos_, take);
    pos_ += take;
    return {take, 0};
}

bool BufReader::fill(std::uint8_t* dst, std::size_t n, std::size_t& have, IoError& err) {
    if (have == n) return true;  // nothing to do, and dst may be null
    if (filled_ - pos_ >= n - have) {
        std::memcpy(dst + have, buf_ + pos_, n - have);
        pos_ += n - have;
        have = n;
        return true;
    }
    while (have < n) {
        ReadResult r = read(dst + have, n - have);
        Outcome o = classify(r, err);
        if (o == Outcome::Failed) return false;
        if (o == Outcome::Data) have += r.count;
    }
    return true;
}

bool BufReader::refill(IoError& err) {
    for (;;) {
        Outcome o = classify(fill_buffer(), err);
        if (o != Outcome::Retry) return o == Outcome::Data;
    }
}

bool BufReader::skip(std::size_t n, IoError& err) {
    while (n > 0) {
        if (pos_ == filled_ && !refill(err)) return false;
        std::size_t take = std::min(n, filled_ - pos_);
        pos_ += take;
        n -= take;
    }
    return true;
}

bool BufReader::seek_to_start(IoError& err) {
    if (::lseek64(fd_, 0, SEEK_SET) < 0) {
        err = IoError::from_errno(errno);
        return false;
    }
    pos_ = filled_ = 0;
    offset_ = 0;
    return true;
}

std::int64_t BufReader::remaining_hint() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    auto rest = static_cast<std::int64_t>(st.st_size) - static_cast<std::int64_t>(offset_);
    return std::max<std::int64_t>(rest, 0) + static_cast<std::int64_t>(filled_ - pos_);
}

// ---------------------------------------------------------------------------------------
// Sample blocks

namespace {

// Blocks up to this size are allocated whole at once: cheap, and bounded.
constexpr std::size_t kWholeAllocBytes = 64 * 1024;

// What the file is known to hold beyond what was consumed, asked only for blocks big
// enough to be grown piecewise (a system call per ask); -1 when unknown or not asked.
std::int64_t growth_hint(const BufReader& src, std::size_t total) {
    return total > kWholeAllocBytes ? src.remaining_hint() : -1;
}

// Makes room for at least `need` bytes of a `total`-byte block. Beyond small blocks the
// storage grows by what the file holds (`hint`, regular files) or geometrically (pipes,
// hint -1), never to the claimed total before the bytes exist.
template <class T>
void grow_for(SampleVec<T>& vec, std::size_t have, std::size_t need, std::size_t total, std::int64_t hint,
              std::size_t shift) {
    if (vec.capacity_bytes() >= need) return;
    std::size_t want = total;
    if (total > kWholeAllocBytes) {
        want = std::max(need, 2 * vec.capacity_bytes());
        if (hint < 0) {
            want = std::max(want, kWholeAllocBytes);
        } else {
            want = std::max(want, have + static_cast<std::size_t>(
                                             std::min<std::int64_t>(hint, static_cast<std::int64_t>(total))));
        }
        want = std::min(want, total);
    }
    vec.grow((want + sizeof(T) - 1) / sizeof(T), shift, have);
}

}  // namespace

template <class T>
bool read_samples(BufReader& src, SampleVec<T>& vec, std::size_t bytes, std::size_t& have, IoError& err,
                  std::size_t ahead) {
    vec.set_size(0);
    // Where the block starts in the file, modulo 64, kept to whole samples: storage that
    // starts there too gets the kernel's fast copy.
    const std::size_t shift =
        static_cast<std::size_t>((src.position() - have) % kSampleAlign) & ~(sizeof(T) - 1);
    while (have < bytes) {
        const std::size_t want = bytes - have;
        if (std::size_t buffered = src.buffered(); buffered != 0) {
            std::size_t take = std::min(buffered, want);
            if (vec.capacity_bytes() < have + take) {
                grow_for(vec, have, have + take, bytes, growth_hint(src, bytes), shift);
            }
            std::memcpy(vec.bytes() + have, src.buffered_data(), take);
            src.consume(take);
            have += take;
        } else if (want >= BufReader::kCapacity || bytes >= BufReader::kCapacity) {
            // A large block bypasses the buffer (its tail too, so that the next header
            // comes with it and the following block is read straight again).
            const std::size_t step = std::min(want, BufReader::kCapacity);
            if (vec.capacity_bytes() - have < step) {
                // Storage too full for a direct read. Where the file is known to hold
                // less than a buffer's worth, or may hold nothing more, learn that through
                // the buffer first rather than growing for bytes that may never come.
                std::int64_t hint = growth_hint(src, bytes);
                bool unknown_more = hint < 0 && vec.capacity_bytes() != 0 && bytes > kWholeAllocBytes;
                if ((hint >= 0 && hint < std::int64_t(step)) || unknown_more) {
                    if (!src.refill(err)) return false;
                    continue;
                }
                grow_for(vec, have, have + step, bytes, hint, shift);
            }
            std::size_t room = std::min(want, vec.capacity_bytes() - have);
            ReadResult r = src.read_direct(vec.bytes() + have, room, room == want ? ahead : 0);
            BufReader::Outcome o = src.classify(r, err);
            if (o == BufReader::Outcome::Failed) return false;
            if (o == BufReader::Outcome::Data) have += r.count;
        } else if (!src.refill(err)) {
            return false;
        }
    }
    vec.set_size(bytes / sizeof(T));
    samples_from_le(vec.data(), vec.size());
    return true;
}

template bool read_samples<std::uint16_t>(BufReader&, SampleVec<std::uint16_t>&, std::size_t, std::size_t&,
                                          IoError&, std::size_t);
template bool read_samples<float>(BufReader&, SampleVec<float>&, std::size_t, std::size_t&, IoError&,
                                  std::size_t);

}  // namespace vorn
