// Helpers for the decoder core's tests: record writers, temporary files, pipes, and a
// hook on read(), fstat() and posix_memalign() to inject faults and observe system calls.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "record_reader.hpp"

namespace test {

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}
inline void put64(Bytes& b, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}
inline void append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// A WD1 record: header words then `samples` (little-endian uint16).
Bytes wd1_record(std::int32_t event_size, std::vector<std::uint16_t> samples, std::int32_t board_id = 1,
                 std::int32_t event_counter = 0);
// A WD1 record with (event_size - 24) / 2 samples counting up from `first`.
Bytes wd1_counted(std::int32_t event_size, std::int32_t event_counter = 0, std::uint16_t first = 0);

// A WD2 record; `channel_word` < 0 means the record has no channel word.
Bytes wd2_record(std::uint32_t counter, std::uint64_t timestamp, std::uint32_t samples, std::uint64_t period,
                 std::int64_t channel_word, const std::vector<float>& data);

// A temporary file removed on destruction.
class TempFile {
public:
    explicit TempFile(const Bytes& contents = {});
    ~TempFile();
    void append(const Bytes& more) const;
    int open_fd() const;  // a fresh read-only descriptor
    vorn::BufReader reader() const { return vorn::BufReader(open_fd()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool fd_is_open(int fd);

// Fault injection on one descriptor, through the test binary's own read().
struct ReadHook {
    int fd = -1;                 // the descriptor watched; -1: none
    int eintr_before_each = 0;   // EINTR results before every real read
    std::size_t max_chunk = 0;   // short reads: at most this many bytes (0: no cap)
    long fail_after_bytes = -1;  // fail with fail_errno once this many bytes were read
    int fail_errno = EIO;
    int fail_times = 1;              // how many reads fail after the threshold
    bool fail_whole = false;         // a read reaching past the threshold fails without data
    bool size_unknown = false;       // fstat reports size 0, as for files under /proc
    long signal_after_bytes = -1;    // raise SIGUSR1 in the read that brings `bytes` to this, after it
    std::vector<std::size_t> calls;  // requested sizes of the real reads
    int vector_reads = 0;            // readv calls among them
    long bytes = 0;                  // bytes delivered so far
    int pending_eintr = 0;
};
extern ReadHook read_hook;

// The largest block asked of posix_memalign since the last reset.
extern std::size_t largest_aligned_alloc;

}  // namespace test
