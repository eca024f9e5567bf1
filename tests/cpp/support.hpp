// Helpers for the decoder core's tests: the record writer and sample-bit mixer (inline,
// for the fuzz targets too), temporary files, pipes, and a hook on read(), fstat() and
// posix_memalign() to inject faults and observe system calls.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace test {

using Bytes = std::vector<std::uint8_t>;

inline void put_le(Bytes& b, std::uint64_t v, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}
inline void append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// The record writer: the header's fields as the layout's table places them (WD2's channel
// word only when `word`), then the sample bytes.
template <class Layout>
Bytes record(const typename Layout::Header& h, const Bytes& samples = {}, bool word = true) {
    Bytes b;
    vorn::for_each_field<Layout::kFields>(Layout::members(h), [&](const vorn::Field& f, auto v) {
        if (!f.channel_word || word) put_le(b, std::uint64_t(v), sizeof v);
    });
    append(b, samples);
    return b;
}

// A hash of 32 bits: sample values that differ in every record and position, so that
// storage holding fresh pages or another record's samples shows.
inline std::uint32_t mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}
// The bits of 32-bit word `i` of the samples made from `seed`.
inline std::uint32_t sample_bits(std::uint32_t seed, std::size_t i) {
    return mix(seed + std::uint32_t(i) * 0x9e3779b9u);
}
// Appends `bytes` sample bytes made from `seed`, every 16-bit half non-zero, so that
// zeroed memory never passes for a sample.
inline void put_samples(Bytes& out, std::size_t bytes, std::uint32_t seed) {
    const std::size_t at = out.size();
    out.resize(at + bytes);
    for (std::size_t i = 0; i < bytes; i += 4) {
        const std::uint32_t w = sample_bits(seed, i / 4) | 0x00010001u;
        std::memcpy(out.data() + at + i, &w, std::min<std::size_t>(4, bytes - i));
    }
}

// A WD1 record: a fixed header around the given fields, then `samples`.
Bytes wd1_record(std::int32_t event_size, const std::vector<std::uint16_t>& samples,
                 std::int32_t board_id = 1, std::int32_t event_counter = 0);
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
