// The buffered file source and the text of I/O errors.
#include "buf_reader.hpp"

#include "sample_storage.hpp"  // kSampleAlign

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace vorn {

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

BufReader::Outcome BufReader::classify(const ReadResult& r, IoError& err) const {
    if (r.err == EINTR && !r.stopped && (hook_ == nullptr || !hook_(hook_context_, true)))
        return Outcome::Retry;
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

BufReader::BufReader(BufReader&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      hook_(o.hook_),
      hook_context_(o.hook_context_),
      buf_(std::exchange(o.buf_, nullptr)),
      capacity_(std::exchange(o.capacity_, 0)),
      pos_(std::exchange(o.pos_, 0)),
      filled_(std::exchange(o.filled_, 0)),
      read_size_(std::exchange(o.read_size_, kFirstRead)),
      offset_(std::exchange(o.offset_, 0)),
      reads_in_call_(std::exchange(o.reads_in_call_, kNoCall)),
      narrow_(std::exchange(o.narrow_, false)) {}

BufReader& BufReader::operator=(BufReader&& o) noexcept {
    if (this != &o) {
        this->~BufReader();
        new (this) BufReader(std::move(o));
    }
    return *this;
}

BufReader::~BufReader() {
    free_buffer();
    if (fd_ >= 0) ::close(fd_);  // a failed close has nothing left to report to
}

void BufReader::free_buffer() noexcept {
    if (buf_ != nullptr) ::operator delete (buf_, std::align_val_t{kSampleAlign});
    buf_ = nullptr;
    capacity_ = 0;
}

void BufReader::reserve(std::size_t n) {
    if (n <= capacity_) return;
    free_buffer();  // empty: nothing to keep, and the old block need not outlive the new one
    buf_ = static_cast<std::uint8_t*>(::operator new (n + kSampleAlign, std::align_val_t{kSampleAlign}));
    capacity_ = n;
}

ReadResult BufReader::sys_read(std::uint8_t* dst, std::size_t n) {
    if (stop_due()) return {0, EINTR, true};
    ssize_t r = ::read(fd_, dst, n);
    if (r < 0) return {0, errno};
    offset_ += static_cast<std::uint64_t>(r);
    return {static_cast<std::size_t>(r), 0};
}

ReadResult BufReader::narrow_read(std::uint8_t* dst, std::size_t n) {
    ReadResult r = sys_read(dst, n);
    narrow_ = r.err == EINTR;
    return r;
}

ReadResult BufReader::fill_buffer(std::size_t need) {
    const std::size_t lead = static_cast<std::size_t>(offset_ % kSampleAlign);
    // A read that fails as a whole may have failed for bytes past the ones needed now
    // (a network file system fails the whole request): retry with just the bytes the
    // caller needs, so that the error comes at the record holding the bad bytes.
    const std::size_t small = std::min(need, kCapacity);
    ReadResult r;
    if (!narrow_) {
        reserve(read_size_);
        r = sys_read(buf_ + lead, read_size_);
        if (r.err != 0 && r.err != EINTR && read_size_ > small) {
            read_size_ = kFirstRead;
            narrow_ = true;
        }
    }
    if (narrow_) {
        reserve(small);
        r = narrow_read(buf_ + lead, small);
    }
    if (r.err == 0) {
        pos_ = lead;
        filled_ = lead + r.count;
        if (r.count == read_size_ && read_size_ < kCapacity) read_size_ *= 2;
    }
    return r;
}

ReadResult BufReader::read_direct(std::uint8_t* dst, std::size_t n, std::size_t ahead) {
    pos_ = filled_ = 0;
    if (narrow_) return narrow_read(dst, n);
    if (ahead == 0) return sys_read(dst, n);
    const std::size_t lead = static_cast<std::size_t>((offset_ + n) % kSampleAlign);
    ahead = std::min(ahead, kCapacity);
    reserve(ahead);
    iovec iov[2] = {{dst, n}, {buf_ + lead, ahead}};
    if (stop_due()) return {0, EINTR, true};
    ssize_t r = ::readv(fd_, iov, 2);
    if (r < 0 && errno != EINTR) return narrow_read(dst, n);  // the failure may lie only ahead
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
        ReadResult r = fill_buffer(n);
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

bool BufReader::refill(IoError& err, std::size_t need) {
    for (;;) {
        Outcome o = classify(fill_buffer(need), err);
        if (o != Outcome::Retry) return o == Outcome::Data;
    }
}

bool BufReader::skip(std::size_t n, IoError& err) {
    while (n > 0) {
        if (pos_ == filled_ && !refill(err, n)) return false;
        std::size_t take = std::min(n, filled_ - pos_);
        pos_ += take;
        n -= take;
    }
    return true;
}

bool BufReader::pass(std::size_t n, std::size_t& have, IoError& err) {
    std::size_t take = std::min(n - have, buffered());
    pos_ += take;
    have += take;
    if (have < n && n - have >= kDirectMinBytes) {
        const std::int64_t size = regular_size();
        if (size >= 0) {
            const std::uint64_t held = static_cast<std::uint64_t>(size) > offset_ ? size - offset_ : 0;
            const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n - have, held));
            if (step != 0 && ::lseek64(fd_, static_cast<off64_t>(step), SEEK_CUR) < 0) {
                err = IoError::from_errno(errno);
                return false;
            }
            offset_ += step;
            have += step;
            if (step != 0) read_size_ = kFirstRead;  // what follows a seek starts a new read-ahead
        }
    }
    while (have < n) {
        if (!refill(err, n - have)) return false;
        take = std::min(n - have, buffered());
        pos_ += take;
        have += take;
    }
    return true;
}

bool BufReader::seek_to_start(IoError& err) {
    return seek_to(0, err);
}

bool BufReader::seek_to(std::uint64_t offset, IoError& err) {
    if (::lseek64(fd_, static_cast<off64_t>(offset), SEEK_SET) < 0) {
        err = IoError::from_errno(errno);
        return false;
    }
    pos_ = filled_ = 0;
    offset_ = offset;
    read_size_ = kFirstRead;
    narrow_ = false;
    return true;
}

ReadResult BufReader::read_vector(const iovec* iov, int count) {
    if (stop_due()) return {0, EINTR, true};
    ssize_t r = ::readv(fd_, iov, count);
    if (r < 0) return {0, errno};
    offset_ += static_cast<std::uint64_t>(r);
    return {static_cast<std::size_t>(r), 0};
}

std::int64_t BufReader::regular_size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

std::int64_t BufReader::remaining_hint() const {
    const std::int64_t size = regular_size();
    if (size < 0) return -1;
    auto rest = size - static_cast<std::int64_t>(offset_);
    return std::max<std::int64_t>(rest, 0) + static_cast<std::int64_t>(filled_ - pos_);
}

}  // namespace vorn
