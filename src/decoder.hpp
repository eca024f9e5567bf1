// The decoder core shared by both record formats: the buffered file source, I/O error
// values, owned sample storage and the outcome of one decoding step. No Python here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace vorn {

// ---------------------------------------------------------------------------------------
// Errors

enum class ErrorKind : std::uint8_t {
    Interrupted,    // EINTR; retried unless the source's interrupt hook stops the wait
    UnexpectedEof,  // the file ended inside an exact read; never an OS error number
    InvalidInput,   // a file name with a NUL byte
    Os,             // any other OS error number
};

inline constexpr const char kUnexpectedEofMessage[] = "failed to fill whole buffer";
inline constexpr const char kNulByteMessage[] = "file name contained an unexpected NUL byte";

// A failed open, read or seek: an OS error number, or a fixed message.
struct IoError {
    ErrorKind kind = ErrorKind::Os;
    int code = 0;                   // OS error number; 0 when `message` is set
    const char* message = nullptr;  // static text, or null for OS errors

    static IoError from_errno(int err);
    static IoError unexpected_eof() { return {ErrorKind::UnexpectedEof, 0, kUnexpectedEofMessage}; }
    static IoError nul_byte() { return {ErrorKind::InvalidInput, 0, kNulByteMessage}; }

    // "{description} (os error {n})", or the fixed message.
    std::string text() const;
};

// The one internal fault a decoder raises: a computed byte count that is out of range.
// It abandons the running operation; the Python boundary turns it into PanicException.
class CapacityOverflow : public std::exception {
public:
    const char* what() const noexcept override { return "capacity overflow"; }
};

// ---------------------------------------------------------------------------------------
// Sample storage

// The kernel copies file data into memory several times faster when the destination
// address and the file offset agree modulo 64. Buffers and large sample blocks are placed
// so that they do.
inline constexpr std::size_t kSampleAlign = 64;

// Blocks of at least this many bytes are placed for fast kernel copies (only they are
// ever read into straight from the file); smaller ones come from plain malloc.
inline constexpr std::size_t kPlacedMinBytes = 8192;

// Raw blocks for sample storage. A block of kPlacedMinBytes or more starts `shift`
// bytes (< 64) past a 64-byte boundary; big blocks are kept in a small cache when freed so
// that a stream of large records does not pay for fresh pages on every record.
// A block freed with `reuse` false (an outgrown block of a record still being read, whose
// size no later record is likely to ask for) goes straight back to the allocator.
void* sample_alloc(std::size_t bytes, std::size_t shift);  // throws std::bad_alloc
void sample_free(void* p, std::size_t bytes, bool reuse = true) noexcept;

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
    void reserve(std::size_t n, std::size_t shift = 0) { grow(n, shift, size_ * sizeof(T)); }
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

// ---------------------------------------------------------------------------------------
// The buffered source

// The outcome of one system read: a byte count (0 at the end of the file) or an error.
struct ReadResult {
    std::size_t count = 0;
    int err = 0;  // errno, or 0 on success
};

// Asked after a read was interrupted by a signal (EINTR): true stops the wait, and the
// read fails with kind Interrupted; false retries it. The Python layer runs the
// interpreter's signal handlers here, so that a handler that raises ends a blocked read.
using InterruptHook = bool (*)();

// The opened file behind an 8192-byte read buffer. Owns the descriptor and the buffer.
class BufReader {
public:
    static constexpr std::size_t kCapacity = 8192;

    // Takes ownership of `fd`, which is closed even when the buffer cannot be allocated.
    explicit BufReader(int fd);
    BufReader(BufReader&& o) noexcept;
    BufReader& operator=(BufReader&& o) noexcept;
    BufReader(const BufReader&) = delete;
    BufReader& operator=(const BufReader&) = delete;
    ~BufReader();

    int fd() const { return fd_; }

    // Without a hook (the default) every EINTR is retried.
    void set_interrupt_hook(InterruptHook hook) { hook_ = hook; }

    // What a read's outcome means to a loop that wants bytes: retry it (EINTR, unless the
    // hook stops the wait), use its bytes, or stop with `err` set (the end of the file is
    // UnexpectedEof).
    enum class Outcome : std::uint8_t { Retry, Data, Failed };
    Outcome classify(const ReadResult& r, IoError& err) const;

    // The file offset of the next unread byte.
    std::uint64_t position() const { return offset_ - buffered(); }

    // The buffered, unread bytes.
    const std::uint8_t* buffered_data() const { return buf_ + pos_; }
    std::size_t buffered() const { return filled_ - pos_; }
    void consume(std::size_t n) { pos_ += n; }

    // With an empty buffer: one read of up to n bytes straight into `dst` that also fills
    // the buffer with up to `ahead` (<= kCapacity) bytes that follow, so that a large
    // block and the next record's header cost one system call. The count is of the bytes
    // that went to `dst`.
    ReadResult read_direct(std::uint8_t* dst, std::size_t n, std::size_t ahead);

    // One buffered read of up to n bytes: reads straight into `dst` when the buffer is
    // empty and n >= 8192, else through the buffer. A count of 0 means the end of the file.
    ReadResult read(std::uint8_t* dst, std::size_t n);

    // Fills exactly n bytes of `dst`, retrying EINTR. Bytes taken before a failure stay
    // consumed. The end of the file is the UnexpectedEof error.
    bool read_exact(std::uint8_t* dst, std::size_t n, IoError& err) {
        std::size_t have = 0;
        return fill(dst, n, have, err);
    }

    // Resumable form of read_exact: fills dst[have..n) and advances `have` as bytes
    // arrive, so that a caller can keep a partial fill across the end of the file and
    // complete it once the file has grown.
    bool fill(std::uint8_t* dst, std::size_t n, std::size_t& have, IoError& err);

    // Refills an empty buffer with one read. Returns false with `err` set on failure
    // (UnexpectedEof at the end of the file); EINTR is retried.
    bool refill(IoError& err);

    // Reads and discards n bytes through the buffer, without allocating.
    bool skip(std::size_t n, IoError& err);

    // Moves the file to offset 0 and discards the buffered bytes.
    bool seek_to_start(IoError& err);

    // Bytes the file still holds past what has been consumed, when that can be known
    // (a regular file); -1 otherwise. Used to size allocations by what really exists.
    std::int64_t remaining_hint() const;

private:
    ReadResult sys_read(std::uint8_t* dst, std::size_t n);
    ReadResult fill_buffer();

    int fd_ = -1;                  // owned descriptor; -1 once moved from
    InterruptHook hook_ = nullptr;  // asked on EINTR; null: retry
    std::uint8_t* buf_ = nullptr;  // owned, kCapacity + 64 bytes, 64-aligned; null once moved from
    // A refill of kCapacity bytes lands at buf_ + (file offset mod 64), so that the
    // kernel's copy runs aligned; pos_ and filled_ count from buf_.
    std::size_t pos_ = 0;       // read position in buf_
    std::size_t filled_ = 0;    // fill level of buf_
    std::uint64_t offset_ = 0;  // file offset of the descriptor (bytes read since offset 0)
};

// ---------------------------------------------------------------------------------------
// Decoded events

// One decoded event, owned by value: the format's header and its samples.
template <class Header, class Sample>
struct EventRecord {
    Header header{};
    SampleVec<Sample> data;
};

// The outcome of one decoder `next`: a record, the end of data, or an I/O error.
template <class R>
struct NextResult {
    enum class Kind : std::uint8_t { Record, End, Error };
    Kind kind = Kind::End;
    R record;       // valid when kind == Record
    IoError error;  // valid when kind == Error
};

// Little-endian field decoding from unaligned bytes.
template <class T>
inline T load_le(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        auto* b = reinterpret_cast<std::uint8_t*>(&v);
        for (std::size_t j = 0; j < sizeof(T) / 2; ++j) std::swap(b[j], b[sizeof(T) - 1 - j]);
    }
    return v;
}

// Converts a block of little-endian samples to native order in place (a no-op on
// little-endian hosts).
template <class T>
inline void samples_from_le(T* p, std::size_t n) {
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < n; ++i) {
            auto* b = reinterpret_cast<std::uint8_t*>(p + i);
            for (std::size_t j = 0; j < sizeof(T) / 2; ++j) std::swap(b[j], b[sizeof(T) - 1 - j]);
        }
    } else {
        (void)p;
        (void)n;
    }
}

// Reads a record's sample block of `bytes` bytes into `vec`, resuming after the `have`
// bytes already read. Storage grows with what the file really holds, never to a claimed
// size before the bytes exist. On success `vec` holds bytes / sizeof(T) native samples.
// Returns false with `err` set when the file ends first (UnexpectedEof) or a read fails;
// the bytes read so far stay in `vec` and are counted in `have`. A block of 8192 bytes
// or more is read past the buffer, together with the `ahead` bytes that follow it (the
// next record's header).
template <class T>
bool read_samples(BufReader& src, SampleVec<T>& vec, std::size_t bytes, std::size_t& have, IoError& err,
                  std::size_t ahead = 0);

}  // namespace vorn
