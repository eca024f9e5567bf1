// The buffered file source: an opened file behind a read buffer, exact reads that keep a
// partial fill across the end of the file, and the I/O error values. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct iovec;

namespace vorn {

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

// The outcome of one system read: a byte count (0 at the end of the file) or an error.
struct ReadResult {
    std::size_t count = 0;
    int err = 0;           // errno, or 0 on success
    bool stopped = false;  // not read: the interrupt hook stopped the call first (err EINTR)
};

// Asked after a read was interrupted by a signal (EINTR), and before each read after the
// first in a call (a signal that came while the caller was busy copying must still end
// the wait that follows): true stops the wait, and the read fails with kind Interrupted;
// false retries it. The Python layer runs the interpreter's signal handlers here, so that
// a handler that raises ends a blocked read.
// `interrupted` is true when a read returned EINTR, false when asked before a read;
// `context` is the one given with the hook.
using InterruptHook = bool (*)(void* context, bool interrupted);

// The opened file behind a read buffer. Owns the descriptor and the buffer.
//
// Reads ahead: a refill asks for kFirstRead bytes, and for twice as many after each
// refill that came back full, up to kCapacity, so that a stream of small records costs one
// system call per many records while a short or growing file, a pipe or the WD2 probe
// reads little. The buffer grows with the read-ahead, to what the next refill asks for: a
// reader that never reads holds none, and one of a small file a small one.
// Read-ahead never moves an I/O error to an earlier record: a read returns the bytes
// before any that cannot be read, and the error comes with the next read, which starts at
// them; a read that fails as a whole is retried with only the bytes the current record
// needs before the error is reported.
class BufReader {
public:
    static constexpr std::size_t kCapacity = 256 * 1024;
    static constexpr std::size_t kFirstRead = 8192;
    // Sample blocks of at least this many bytes are read straight to their storage (see
    // read_samples), and passed over with a seek where the file allows: one kernel copy,
    // where a copy out of the buffer would cost more than the system call it saves.
    static constexpr std::size_t kDirectMinBytes = 65536;

    // Takes ownership of `fd`. Allocates nothing: the buffer comes with the first refill.
    explicit BufReader(int fd) noexcept : fd_(fd) {}
    BufReader(BufReader&& o) noexcept;
    BufReader& operator=(BufReader&& o) noexcept;
    BufReader(const BufReader&) = delete;
    BufReader& operator=(const BufReader&) = delete;
    ~BufReader();

    int fd() const { return fd_; }

    // Without a hook (the default) every EINTR is retried.
    void set_interrupt_hook(InterruptHook hook, void* context = nullptr) {
        hook_ = hook;
        hook_context_ = context;
    }
    // Starts a caller's call: its first system read goes ahead unasked, every later one
    // asks the hook first. Outside a call (before the first) the hook is asked on EINTR only.
    void begin_call() { reads_in_call_ = 0; }

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

    // Refills an empty buffer with one read, for a caller that needs `need` more bytes.
    // Returns false with `err` set on failure (UnexpectedEof at the end of the file);
    // EINTR is retried. Reads that fill the buffer throw std::bad_alloc when it cannot
    // grow, before anything is read.
    bool refill(IoError& err, std::size_t need);

    // Reads and discards n bytes through the buffer, allocating nothing else.
    bool skip(std::size_t n, IoError& err);

    // Resumable pass over n bytes, advancing `have`: with a seek where the file is regular
    // and the rest is large, as far as the file holds (the end of the file is UnexpectedEof,
    // as for a read); read and dropped through the buffer otherwise.
    bool pass(std::size_t n, std::size_t& have, IoError& err);

    // Moves the file to offset 0 and discards the buffered bytes.
    bool seek_to_start(IoError& err);
    // Moves the file to `offset` and discards the buffered bytes.
    bool seek_to(std::uint64_t offset, IoError& err);

    // With an empty buffer: one readv straight into the caller's buffers (asking the
    // interrupt hook first, as every read after the first in a call does).
    ReadResult read_vector(const iovec* iov, int count);

    // The file's size when it is a regular file, else -1.
    std::int64_t regular_size() const;

    // Bytes the file still holds past what has been consumed, when that can be known
    // (a regular file); -1 otherwise. Used to size allocations by what really exists.
    std::int64_t remaining_hint() const;

private:
    // True when the hook stops this call before its next system read.
    bool stop_due() {
        if (reads_in_call_ == kNoCall) return false;
        return reads_in_call_++ != 0 && hook_ != nullptr && hook_(hook_context_, false);
    }
    // One buffered read of up to n bytes, refilling an empty buffer first. A count of 0
    // means the end of the file. Its callers read headers: large blocks go through
    // read_direct.
    ReadResult read(std::uint8_t* dst, std::size_t n);
    ReadResult sys_read(std::uint8_t* dst, std::size_t n);
    // The narrower retry of a failed read; it stays due while it is interrupted.
    ReadResult narrow_read(std::uint8_t* dst, std::size_t n);
    ReadResult fill_buffer(std::size_t need);
    // Makes room in the empty buffer for a refill of n bytes. The buffer grows only while
    // it holds nothing (refills happen only then), so nothing is copied; it never shrinks.
    void reserve(std::size_t n);
    void free_buffer() noexcept;

    int fd_ = -1;                   // owned descriptor; -1 once moved from
    InterruptHook hook_ = nullptr;  // asked on EINTR; null: retry
    void* hook_context_ = nullptr;  // not owned; passed to the hook
    std::uint8_t* buf_ = nullptr;   // owned, capacity_ + 64 bytes, 64-aligned; null until a refill
    // A refill lands at buf_ + (file offset mod 64), so that the kernel's copy runs
    // aligned; pos_ and filled_ count from buf_.
    std::size_t capacity_ = 0;            // the largest refill buf_ has room for; 0 without buf_
    std::size_t pos_ = 0;                 // read position in buf_
    std::size_t filled_ = 0;              // fill level of buf_
    std::size_t read_size_ = kFirstRead;  // the next refill's size
    std::uint64_t offset_ = 0;            // file offset of the descriptor (bytes read since offset 0)
    static constexpr unsigned kNoCall = ~0u;
    unsigned reads_in_call_ = kNoCall;  // system reads since begin_call(); kNoCall before the first
    // A read failed as a whole and its narrower retry is still due: it stays due while it
    // is interrupted, so that a stream of signals cannot repeat the failing read forever.
    bool narrow_ = false;
};

}  // namespace vorn
