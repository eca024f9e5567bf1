// Shared by the fuzz targets. Raw targets: the input becomes a file that a decoder reads
// twice, once whole and once in two pieces with the file growing in between; both readings
// must give the same outcomes. Record targets: the input describes records and how the
// file arrives (see Plan below); every reading, by the record reader and by the column
// reader, must give exactly the records written.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../cpp/column_feed.hpp"
#include "../cpp/support.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace fuzz {

// A memory-backed file holding `data`; more can be appended without moving the reader.
class MemFile {
public:
    MemFile(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("vorn-fuzz", 0)) {
        if (fd_ < 0) __builtin_trap();
        append(data, size);
    }
    ~MemFile() { close(fd_); }
    void append(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            ssize_t w = pwrite(fd_, data, size, size_);
            if (w <= 0) __builtin_trap();
            data += w;
            size -= std::size_t(w);
            size_ += std::size_t(w);
        }
    }
    // The one reader of this file (a dup shares the offset, which appends leave alone).
    vorn::BufReader reader() const {
        int fd = dup(fd_);
        if (fd < 0) __builtin_trap();
        return vorn::BufReader(fd);
    }

private:
    int fd_;
    off_t size_ = 0;
};

// Header fields as text (from the layout's field table), for comparing outcomes.
template <class Layout>
std::string describe_fields(const typename Layout::Header& h) {
    std::string out;
    vorn::for_each_field<Layout::kFields>(Layout::members(h), [&](const vorn::Field& f, auto value) {
        out += f.name;
        out += '=' + std::to_string(value) + ' ';
    });
    return out;
}
inline std::string describe(const vorn::WD1Header& h) {
    return describe_fields<vorn::WD1Layout>(h);
}
inline std::string describe(const vorn::WD2Header& h) {
    return describe_fields<vorn::WD2Layout>(h);
}

// Drives a decoder until it reports the end of data, collecting every outcome; faults
// are outcomes too. `limit` bounds the number of calls (each consumes input or ends).
template <class Reader>
void drain(Reader& r, std::vector<std::string>& out, std::size_t limit = 1u << 20) {
    for (std::size_t i = 0; i < limit; ++i) {
        try {
            auto res = r.next();
            using Kind = typename decltype(res)::Kind;
            if (res.kind == Kind::End) return;
            if (res.kind == Kind::Error) {
                out.push_back("error " + res.error.text());
                return;
            }
            const auto& data = res.record.data;
            std::string text = "record " + describe(res.record.header) + " | ";
            text.append(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(*data.data()));
            out.push_back(std::move(text));
        } catch (const vorn::CapacityOverflow&) {
            out.push_back("capacity overflow");
        }
    }
}

// ---- Record targets ------------------------------------------------------------------
//
// Input format (little-endian; bytes past the end of the input read as 0):
//   flags u8      bit 0: arrival through a pipe in chunks, else a file cut and grown;
//                 bits 1-2: WD2 channels - 1 (1 means no channel words); bit 3: the file
//                 ends inside its last record (WD2: unless that is one of the first two)
//   count u8      records, 1 + count % kMaxRecords (WD2: at least 2)
//   trim u16      how far the last record falls short (with flag bit 3)
//   per record, 8 bytes:
//     size u8, delta i16   sample block bytes: kBlockSizes[size % n] + delta, rounded
//                          down to whole samples (whole rows of channels for WD2)
//     kind u8              WD1: 0 even size, 1 odd size, 2 size 23, 3 corrupt size;
//                          WD2: 0-1 channel word as settled, 2 another word, 3 corrupt
//     seed u32             the header fields and the samples
//   then the arrival, to the end of the input:
//     cuts, 4 bytes each (at most kMaxCuts): record u8, place u8, delta i16; the file is
//       first written up to the first cut and grows to each next one, the decoder drained
//       at each (a cut is the record's start + an awkward place in it + delta)
//     or chunks, 3 bytes each (at most kMaxChunks): scale u8, size u16, giving
//       (size + 1) << 2 * (scale % 4) bytes; each is written to the pipe once the reader
//       has taken the one before, the rest of the file last
//
// Records stop where their sample blocks would pass kMaxFileBytes.

inline constexpr std::size_t kMaxFileBytes = 24u << 20;
inline constexpr std::size_t kMaxRecords = 16;
inline constexpr std::size_t kMaxCuts = 8;
inline constexpr std::size_t kMaxChunks = 64;

// Block sizes at the decoder's thresholds: the block cache's smallest block, the placed
// size and the first read (8192), the direct-read size (65536), the read-ahead buffer
// (256 KiB), the cache's largest block (4 MiB), and others between and beyond.
inline constexpr std::size_t kBlockSizes[] = {0,      1024,   8192,     65536,    131072,   200000,
                                              262144, 524288, 1u << 20, 2u << 20, 4u << 20, 9u << 20};

// The bytes of the input, read from the front.
class Cursor {
public:
    Cursor(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    bool empty() const { return n_ == 0; }
    std::uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t u16() {
        const std::uint16_t low = u8();
        return std::uint16_t(low | u8() << 8);
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | std::uint32_t(u16()) << 16;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

using test::mix;
using test::put_samples;

// One record the readers must give: a header and the file bytes of its samples, or the
// capacity overflow that a corrupt size raises.
template <class Header>
struct Expected {
    bool overflow = false;
    Header header{};
    std::size_t offset = 0;  // of the sample block in the file
    std::size_t bytes = 0;
};

// A file described by the input, the records in it, and how it arrives.
template <class Header>
struct Plan {
    std::vector<std::uint8_t> image;        // the whole file
    std::vector<Expected<Header>> records;  // what reading all of it gives
    std::vector<std::size_t> starts;        // where each record begins
    std::int32_t channels = 1;              // WD2
    std::size_t header_bytes = 24;          // of each record
    std::size_t first_piece = 0;            // bytes present when the reader is made
    bool pipe = false;
    std::vector<std::size_t> cuts;    // file sizes it grows through, ascending, ending whole
    std::vector<std::size_t> chunks;  // pipe writes, summing to the whole file
};

// The block size a descriptor asks for, rounded down to whole units of `unit` bytes.
inline std::size_t block_size(std::uint8_t size, std::uint16_t delta, std::size_t unit) {
    constexpr std::size_t n = sizeof kBlockSizes / sizeof kBlockSizes[0];
    const std::int64_t b = std::int64_t(kBlockSizes[size % n]) + std::int16_t(delta);
    return b < 0 ? 0 : std::size_t(b) / unit * unit;
}

inline void add_wd1_record(Plan<vorn::WD1Header>& plan, std::uint8_t size, std::uint16_t delta,
                           std::uint8_t kind, std::uint32_t seed) {
    Expected<vorn::WD1Header> e;
    std::size_t bytes = block_size(size, delta, 2);
    switch (kind % 4) {
        case 0: e.header.event_size = std::int32_t(24 + bytes); break;
        case 1: e.header.event_size = std::int32_t(25 + bytes); break;  // the odd byte is not read
        case 2: e.header.event_size = 23, bytes = 0; break;
        default:
            e.overflow = true;
            e.header.event_size = std::int32_t(22 - std::int64_t(seed & 0x7fffffffu));
            bytes = 0;
    }
    e.header.board_id = std::int32_t(mix(seed));
    e.header.pattern = std::int32_t(mix(seed + 1));
    e.header.board_channel = std::int32_t(seed % 64);
    e.header.event_counter = std::int32_t(seed);
    e.header.timestamp = std::int32_t(mix(seed + 2));
    test::append(plan.image, test::record<vorn::WD1Layout>(e.header));
    e.offset = plan.image.size();
    e.bytes = bytes;
    put_samples(plan.image, bytes, seed);
    plan.records.push_back(e);
}

// WD2: the first two records agree (counter + 1, samples, period, channel word), so that
// the probe settles the planned channel count; a single-channel file's first sample is
// negative as an integer, so that it cannot pass for a channel word.
inline void add_wd2_record(Plan<vorn::WD2Header>& plan, std::uint8_t size, std::uint16_t delta,
                           std::uint8_t kind, std::uint32_t seed) {
    const std::int32_t c = plan.channels;
    plan.header_bytes = c >= 2 ? 28 : 24;
    const std::size_t index = plan.records.size();
    Expected<vorn::WD2Header> e;
    vorn::WD2Header& h = e.header;
    h.samples = std::uint32_t(block_size(size, delta, 4 * std::size_t(c)) / (4 * std::size_t(c)));
    h.event_counter = seed;
    h.sampling_period = std::uint64_t(mix(seed + 3)) << 20 | (seed & 0xfffff);
    h.channels = c;
    if (index == 0 && c == 1 && h.samples == 0) h.samples = 1;
    if (index == 1) {
        const vorn::WD2Header& first = plan.records[0].header;
        h.event_counter = first.event_counter + 1;
        h.samples = first.samples;
        h.sampling_period = first.sampling_period;
    } else if (index >= 2 && kind % 4 == 2 && c >= 2) {
        h.channels = std::int32_t(mix(seed + 4));
    } else if (index >= 2 && kind % 4 == 3) {
        e.overflow = true;  // c x samples x 4 bytes beyond 2^31 - 1
        h.samples = std::uint32_t(0x7fffffffu / (4u * std::uint32_t(c)) + 1 + (seed & 0xffff));
    }
    h.timestamp = std::uint64_t(mix(seed + 5)) << 32 | mix(seed + 6);
    test::append(plan.image, test::record<vorn::WD2Layout>(h, {}, c >= 2));
    e.offset = plan.image.size();
    e.bytes = e.overflow ? 0 : std::size_t(h.samples) * 4 * std::size_t(c);
    put_samples(plan.image, e.bytes, seed);
    if (index == 0 && c == 1) plan.image[e.offset + 3] |= 0x80;
    plan.records.push_back(e);
}

// Decodes the input into a plan; `add` appends one record of the format.
// `min_records` leading records are always written, and never cut short by the trim.
template <class Header, class Add>
Plan<Header> make_plan(Cursor& in, std::size_t min_records, Add add) {
    Plan<Header> plan;
    const std::uint8_t flags = in.u8();
    plan.pipe = flags & 1;
    plan.channels = 1 + ((flags >> 1) & 3);
    const bool trimmed = flags & 8;
    const std::size_t count = std::max(min_records, 1 + in.u8() % kMaxRecords);
    const std::uint16_t trim = in.u16();
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t size = in.u8();
        const std::uint16_t delta = in.u16();
        const std::uint8_t kind = in.u8();
        const std::uint32_t seed = in.u32();
        const std::size_t bytes = block_size(size, delta, 4);
        if (i >= min_records && total + bytes > kMaxFileBytes) continue;  // the input's record still consumed
        total += bytes;
        plan.starts.push_back(plan.image.size());
        add(plan, size, delta, kind, seed);
    }
    // The file ends inside its last record: that record is not read.
    if (trimmed && plan.records.size() > min_records) {
        const std::size_t last = plan.starts.back();
        const std::size_t shortfall = 1 + trim % (plan.image.size() - last);
        plan.image.resize(plan.image.size() - shortfall);
        plan.records.pop_back();
        plan.starts.pop_back();
    }
    const std::size_t end = plan.image.size();
    plan.starts.push_back(end);

    if (plan.pipe) {
        std::size_t sent = 0;
        for (std::size_t i = 0; i < kMaxChunks && !in.empty() && sent < end; ++i) {
            const std::uint8_t scale = in.u8();
            const std::size_t n =
                std::min<std::size_t>(end - sent, (std::size_t(in.u16()) + 1) << (scale % 4 * 2));
            plan.chunks.push_back(n);
            sent += n;
        }
        if (sent < end) plan.chunks.push_back(end - sent);
        return plan;
    }
    for (std::size_t i = 0; i < kMaxCuts && !in.empty(); ++i) {
        const std::size_t rec = in.u8() % plan.starts.size();
        const std::uint8_t place = in.u8();
        const std::int16_t delta = std::int16_t(in.u16());
        const std::size_t at = plan.starts[rec];
        const std::size_t len = plan.starts[std::min(rec + 1, plan.starts.size() - 1)] - at;
        const std::size_t h = plan.header_bytes;
        const std::size_t places[] = {0,        1,         h - 1,     h,       h + 1,  h + 4095,
                                      h + 8192, h + 65535, h + 65537, len / 2, len - 1};
        const std::int64_t cut =
            std::int64_t(at + places[place % (sizeof places / sizeof places[0])]) + delta;
        plan.cuts.push_back(std::size_t(std::clamp<std::int64_t>(cut, 0, std::int64_t(end))));
    }
    plan.cuts.push_back(end);
    std::sort(plan.cuts.begin(), plan.cuts.end());
    return plan;
}

// Checks each outcome of a reader against the plan, from record `next` on, until the
// reader reports the end of data. Any mismatch, any I/O error, traps.
template <class Reader, class Header>
void expect_records(Reader& r, const Plan<Header>& plan, std::size_t& next) {
    for (std::size_t calls = 0; calls <= kMaxRecords; ++calls) {
        bool overflow = false;
        try {
            auto res = r.next();
            using Kind = typename decltype(res)::Kind;
            if (res.kind == Kind::End) return;
            if (res.kind == Kind::Error || next >= plan.records.size()) __builtin_trap();
            const Expected<Header>& e = plan.records[next++];
            const auto& data = res.record.data;
            if (e.overflow || describe(res.record.header) != describe(e.header) ||
                data.size() * sizeof(*data.data()) != e.bytes ||
                (e.bytes != 0 && std::memcmp(data.data(), plan.image.data() + e.offset, e.bytes) != 0)) {
                __builtin_trap();
            }
        } catch (const vorn::CapacityOverflow&) {
            overflow = true;
        }
        if (overflow && (next >= plan.records.size() || !plan.records[next++].overflow)) __builtin_trap();
    }
    __builtin_trap();  // more outcomes than records
}

// Reads the plan's file whole, then as it arrives; `make` builds a reader on a file source
// (returning it by value), `make_stream` one on a pipe. Returns the records read by each
// end of data, in turn.
template <class Header, class Make, class MakeStream>
std::vector<std::size_t> read_plan(const Plan<Header>& plan, Make make, MakeStream make_stream) {
    std::vector<std::size_t> ends;
    {
        MemFile whole(plan.image.data(), plan.image.size());
        auto r = make(whole);
        std::size_t next = 0;
        expect_records(r, plan, next);
        if (next != plan.records.size()) __builtin_trap();
    }
    std::size_t next = 0;
    if (!plan.pipe) {
        const std::size_t first = std::max(plan.cuts.front(), plan.first_piece);
        MemFile growing(plan.image.data(), first);
        auto r = make(growing);
        std::size_t size = first;
        expect_records(r, plan, next);
        ends.push_back(next);
        for (std::size_t cut : plan.cuts) {
            if (cut <= size) continue;
            growing.append(plan.image.data() + size, cut - size);
            size = cut;
            expect_records(r, plan, next);
            ends.push_back(next);
            expect_records(r, plan, next);  // again at the same size: nothing more, nothing lost
            ends.push_back(next);
        }
    } else {
        static const bool ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
        (void)ignored;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) __builtin_trap();
        fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);  // best effort
        std::atomic<bool> stop{false};
        // Each chunk goes in once the pipe is empty, so that reads see the chunks' sizes.
        std::thread writer([&plan, &stop, wfd = fds[1]] {
            std::size_t at = 0;
            for (std::size_t n : plan.chunks) {
                for (int spins = 0;; ++spins) {
                    int queued = 0;
                    if (stop || ioctl(wfd, FIONREAD, &queued) != 0 || queued == 0) break;
                    if (spins < 64) {
                        sched_yield();
                    } else {
                        usleep(20);
                    }
                }
                for (std::size_t end = at + n; at < end && !stop;) {
                    const ssize_t w = write(wfd, plan.image.data() + at, end - at);
                    if (w < 0) {
                        at = end;  // the reader has gone
                        continue;
                    }
                    at += std::size_t(w);
                }
            }
            close(wfd);
        });
        {
            auto r = make_stream(vorn::BufReader(fds[0]));
            expect_records(r, plan, next);
            stop = true;
        }  // closes the read end: a writer still blocked fails with EPIPE
        writer.join();
    }
    if (next != plan.records.size()) __builtin_trap();
    return ends;
}

// Reads the plan with the record reader, then with the column reader behind the same
// checks, which must reach each end of data at the same record, then header-only.
template <class Header, class Make, class MakeStream>
void run_plan(const Plan<Header>& plan, Make make, MakeStream make_stream) {
    const std::vector<std::size_t> ends = read_plan(plan, make, make_stream);
    const std::vector<std::size_t> column_ends = read_plan(
        plan, [&](const MemFile& f) { return test::column_feed(make(f)); },
        [&](vorn::BufReader src) { return test::column_feed(make_stream(std::move(src))); });
    if (column_ends != ends) __builtin_trap();
    MemFile whole(plan.image.data(), plan.image.size());
    auto r = test::column_feed(make(whole), false);
    std::size_t next = 0;
    expect_records(r, plan, next);
    if (next != plan.records.size()) __builtin_trap();
}

}  // namespace fuzz
