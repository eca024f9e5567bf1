// Test helpers: writers, temporary files and the read()/fstat()/posix_memalign() hooks.
#include "support.hpp"

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <stdexcept>

namespace test {

ReadHook read_hook;
std::size_t largest_aligned_alloc = 0;

Bytes wd1_record(std::int32_t event_size, const std::vector<std::uint16_t>& samples, std::int32_t board_id,
                 std::int32_t event_counter) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(samples.data());
    return record<vorn::WD1Layout>(
        {event_size, board_id, std::int32_t(0xAABBCCDDu), 3, event_counter, INT32_MIN},
        Bytes(p, p + 2 * samples.size()));
}

Bytes wd1_counted(std::int32_t event_size, std::int32_t event_counter, std::uint16_t first) {
    std::vector<std::uint16_t> s(std::size_t((std::int64_t(event_size) - 24) / 2));
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = std::uint16_t(first + i);
    return wd1_record(event_size, s, 1, event_counter);
}

Bytes wd2_record(std::uint32_t counter, std::uint64_t timestamp, std::uint32_t samples, std::uint64_t period,
                 std::int64_t channel_word, const std::vector<float>& data) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
    return record<vorn::WD2Layout>({counter, timestamp, samples, period, std::int32_t(channel_word)},
                                   Bytes(p, p + 4 * data.size()), channel_word >= 0);
}

TempFile::TempFile(const Bytes& contents) {
    char name[] = "/tmp/vorn-test-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    path_ = name;
    close(fd);
    append(contents);
}

TempFile::~TempFile() {
    unlink(path_.c_str());
}

void TempFile::append(const Bytes& more) const {
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0 || ::write(fd, more.data(), more.size()) != ssize_t(more.size()))
        throw std::runtime_error("append");
    close(fd);
}

int TempFile::open_fd() const {
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open");
    return fd;
}

bool fd_is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

}  // namespace test

// The decoder core calls read(), fstat() and posix_memalign(); these definitions in the test
// binary take their place and forward to the C library.
namespace {
// Applies the hook to a read of up to n bytes on `fd`: -1 with errno for an injected
// failure, else the number of bytes the real call may transfer.
ssize_t hooked_size(int fd, size_t n) {
    auto& h = test::read_hook;
    if (fd != h.fd || h.fd < 0) return ssize_t(n);
    if (h.pending_eintr > 0) {
        --h.pending_eintr;
        errno = EINTR;
        return -1;
    }
    h.pending_eintr = h.eintr_before_each;
    const long reach = h.fail_whole ? h.bytes + long(n) : h.bytes + 1;
    if (h.fail_after_bytes >= 0 && reach > h.fail_after_bytes && h.fail_times > 0) {
        --h.fail_times;
        errno = h.fail_errno;
        return -1;
    }
    if (h.max_chunk != 0 && n > h.max_chunk) n = h.max_chunk;
    if (h.fail_after_bytes >= 0 && h.bytes < h.fail_after_bytes && h.fail_times > 0) {
        n = std::min<size_t>(n, size_t(h.fail_after_bytes - h.bytes));
    }
    h.calls.push_back(n);
    return ssize_t(n);
}

void count(int fd, ssize_t r) {
    auto& h = test::read_hook;
    if (fd != h.fd || r <= 0) return;
    h.bytes += r;
    if (h.signal_after_bytes >= 0 && h.bytes - r < h.signal_after_bytes && h.bytes >= h.signal_after_bytes) {
        raise(SIGUSR1);
    }
}
}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t n) {
    using Fn = ssize_t (*)(int, void*, size_t);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "read"));
    ssize_t allowed = hooked_size(fd, n);
    if (allowed < 0) return -1;
    ssize_t r = real(fd, buf, size_t(allowed));
    count(fd, r);
    return r;
}

extern "C" ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
    using Fn = ssize_t (*)(int, const struct iovec*, int);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "readv"));
    size_t total = 0;
    for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
    ssize_t allowed = hooked_size(fd, total);
    if (allowed < 0) return -1;
    if (fd == test::read_hook.fd) ++test::read_hook.vector_reads;
    std::vector<struct iovec> cut(iov, iov + iovcnt);
    size_t left = size_t(allowed);
    for (auto& v : cut) {
        v.iov_len = std::min(v.iov_len, left);
        left -= v.iov_len;
    }
    ssize_t r = real(fd, cut.data(), iovcnt);
    count(fd, r);
    return r;
}

// Under 64-bit file offsets on a 32-bit target this definition is the one named fstat64.
extern "C" int fstat(int fd, struct stat* st) noexcept {
    using Fn = int (*)(int, struct stat*);
    static Fn real =
        reinterpret_cast<Fn>(dlsym(RTLD_NEXT, sizeof(off_t) > sizeof(long) ? "fstat64" : "fstat"));
    const int r = real(fd, st);
    if (r == 0 && fd == test::read_hook.fd && test::read_hook.size_unknown) st->st_size = 0;
    return r;
}

extern "C" int posix_memalign(void** p, size_t align, size_t size) {
    using Fn = int (*)(void**, size_t, size_t);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "posix_memalign"));
    if (size > test::largest_aligned_alloc) test::largest_aligned_alloc = size;
    return real(p, align, size);
}
