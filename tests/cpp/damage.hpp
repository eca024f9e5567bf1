// Damaged runs with ground truth, shared by the damage fuzz target and the C++ tests: runs
// of unique records (both layouts, 1-8 WD2 channels, one size, runs of sizes or a size per
// record, interleaved boards, counter resets and jumps, period changes), damaged as
// acquisitions and transfers damage them (bytes overwritten, spans deleted, inserted and
// duplicated, zeroed pages, size words rewritten, tails cut, a run restarted after a
// partial record), with the origin of every byte tracked. `check` reads the damaged file
// with the column reader and holds every answer against that truth.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "column_reader.hpp"
#include "support.hpp"

namespace damage {

using test::Bytes;

// The description's bytes, read from the front; past the end they read as 0.
class Input {
public:
    Input(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    std::uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t u16() { return std::uint16_t(u8() | u8() << 8); }
    std::uint32_t u32() { return std::uint32_t(u16()) | std::uint32_t(u16()) << 16; }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

struct Original {
    std::uint64_t start;  // in the clean file
    std::uint64_t length;
};

struct Case {
    bool wd2 = false;
    int channels = 1;
    std::size_t head = 24;
    Bytes clean;
    std::vector<Original> records;
    Bytes file;                        // the damaged file
    std::vector<std::int64_t> origin;  // per byte of `file`: its offset in `clean`, or -1
    int mutations = 0;
};

inline constexpr std::size_t kMaxFile = 4u << 20;

// Fills `c.clean` and `c.records` with a run described by the input.
inline void make_run(Case& c, Input& in) {
    const std::uint8_t flags = in.u8();
    c.wd2 = flags & 1;
    c.channels = c.wd2 ? 1 + ((flags >> 1) & 7) : 1;
    c.head = c.wd2 && c.channels >= 2 ? 28 : 24;
    const int size_mode = (flags >> 4) & 3;  // 0, 3: one size; 1: runs of sizes; 2: a size per record
    const bool interleave = flags & 0x40;
    const bool jumps = flags & 0x80;
    const std::size_t count = 3 + in.u8() % 48;
    const std::uint16_t size_word = in.u16();
    std::size_t per = 1 + size_word % 300;  // samples per channel
    if (size_word & 0x8000) per *= 40;      // large records: direct reads, batches
    const std::uint32_t seed = in.u32();
    const std::uint8_t change_at = in.u8();
    std::uint32_t counter = jumps ? test::mix(seed) : 0;
    std::uint64_t period = 200 + seed % 7;
    std::uint32_t run_seed = seed;
    for (std::size_t i = 0; i < count; ++i) {
        if (size_mode == 2 || (size_mode == 1 && i % 5 == 0)) per = 1 + test::mix(run_seed + i) % 300;
        if (jumps && i == 1 + change_at % count) {  // a new run: counter reset or jump, new period
            counter = (change_at & 1) ? 0 : counter + 65536 + test::mix(seed ^ i) % 1000000;
            period += 1 + change_at % 3;
        }
        const std::uint32_t id = run_seed + std::uint32_t(i) * 7919u;
        Bytes samples;
        const std::size_t n = per * std::size_t(c.channels);
        for (std::size_t k = 0; k < n; ++k) {
            // A baseline with noise and a negative pulse, unique to the record.
            const std::uint32_t h = test::mix(id + std::uint32_t(k) * 2654435761u);
            const double pulse = (k % per > per / 4 && k % per < per / 2) ? 1.0 : 0.0;
            if (c.wd2) {
                const float v = float(0.01 * double(h % 64) / 64.0 - 0.5 * pulse + 1e-6 * double(i));
                test::put_le(samples, std::bit_cast<std::uint32_t>(v), 4);
            } else {
                const auto v =
                    std::uint16_t(std::clamp(8000.0 + double(h % 9) - 3000.0 * pulse, 0.0, 16383.0));
                test::put_le(samples, v, 2);
            }
        }
        Bytes rec;
        const std::uint32_t shown = interleave ? counter / 2 : counter;  // boards share a counter
        if (c.wd2) {
            test::put_le(rec, shown, 4);
            test::put_le(rec, 1000ull * i + (id & 0xff), 8);
            test::put_le(rec, per, 4);
            test::put_le(rec, period, 8);
            if (c.channels >= 2) test::put_le(rec, std::uint32_t(c.channels), 4);
        } else {
            test::put_le(rec, std::uint32_t(24 + 2 * n), 4);
            test::put_le(rec, interleave ? 1 + (counter & 1) : 1, 4);  // board
            test::put_le(rec, 0, 4);
            test::put_le(rec, interleave ? (counter & 1) : 0, 4);  // channel
            test::put_le(rec, shown, 4);
            test::put_le(rec, std::uint32_t(1000u * i), 4);
        }
        test::append(rec, samples);
        if (c.clean.size() + rec.size() > kMaxFile && i >= 2) break;
        c.records.push_back({c.clean.size(), rec.size()});
        test::append(c.clean, rec);
        ++counter;
    }
}

// The offset in `file` where byte `clean_at` of the clean file now lies, first copy, or -1.
inline std::int64_t where(const Case& c, std::uint64_t clean_at) {
    for (std::size_t d = 0; d < c.origin.size(); ++d)
        if (c.origin[d] == std::int64_t(clean_at)) return std::int64_t(d);
    return -1;
}

// Applies one mutation described by the input.
inline void mutate(Case& c, Input& in) {
    const std::uint8_t type = in.u8() % 9;
    const std::uint32_t a = in.u32(), b = in.u32();
    std::uint16_t n = in.u16();
    if (c.file.empty()) return;
    const std::size_t size = c.file.size();
    std::size_t at = a % size;
    static constexpr std::uint16_t kLengths[] = {1, 2, 3, 17, 24, 28, 100, 511};
    std::size_t len = (n & 0x100) ? kLengths[n % 8] : 1 + n % 600;
    auto erase = [&](std::size_t from, std::size_t count) {
        count = std::min(count, c.file.size() - from);
        c.file.erase(c.file.begin() + std::ptrdiff_t(from), c.file.begin() + std::ptrdiff_t(from + count));
        c.origin.erase(c.origin.begin() + std::ptrdiff_t(from),
                       c.origin.begin() + std::ptrdiff_t(from + count));
    };
    auto insert = [&](std::size_t to, const Bytes& bytes, const std::vector<std::int64_t>& from) {
        c.file.insert(c.file.begin() + std::ptrdiff_t(to), bytes.begin(), bytes.end());
        c.origin.insert(c.origin.begin() + std::ptrdiff_t(to), from.begin(), from.end());
    };
    // A byte that changes is no longer the clean file's.
    auto overwrite = [&](std::size_t i, std::uint8_t v) {
        if (c.file[i] != v) c.origin[i] = -1;
        c.file[i] = v;
    };
    auto noise = [&](std::size_t count) {
        Bytes r(count);
        for (std::size_t i = 0; i < count; ++i) r[i] = std::uint8_t(test::mix(b + std::uint32_t(i)));
        return r;
    };
    // The damaged-file offset of a record's header, for the mutations that aim at one.
    const Original& target = c.records[b % c.records.size()];
    const std::int64_t header_at = where(c, target.start);
    switch (type) {
        case 0:  // bytes overwritten
            len = std::min(len, size - at);
            for (std::size_t i = 0; i < len; ++i)
                overwrite(at + i, std::uint8_t(test::mix(b + std::uint32_t(i))));
            break;
        case 1: erase(at, len); break;  // bytes lost
        case 2: insert(at, noise(len), std::vector<std::int64_t>(len, -1)); break;
        case 3: {  // a span written twice
            len = std::min<std::size_t>(size - at, 1 + n % 8192);
            Bytes copy(c.file.begin() + std::ptrdiff_t(at), c.file.begin() + std::ptrdiff_t(at + len));
            std::vector<std::int64_t> from(c.origin.begin() + std::ptrdiff_t(at),
                                           c.origin.begin() + std::ptrdiff_t(at + len));
            insert(b % (size + 1), copy, from);
            break;
        }
        case 4: {  // a page of zeros, page-aligned or not
            const std::size_t from = (n & 1) ? at & ~std::size_t(4095) : at;
            const std::size_t count = std::min<std::size_t>(4096, size - from);
            for (std::size_t i = 0; i < count; ++i) overwrite(from + i, 0);
            break;
        }
        case 5:
        case 6: {  // a record's size word rewritten or a bit of it flipped
            if (header_at < 0) break;
            const std::size_t field = c.wd2 ? 12 : 0;
            const std::size_t p = std::size_t(header_at) + field;
            if (p + 4 > c.file.size()) break;
            std::uint32_t word;
            std::memcpy(&word, c.file.data() + p, 4);
            const std::size_t unit = c.wd2 ? 4 * std::size_t(c.channels) : 2;
            const std::size_t i = b % c.records.size();
            const std::uint64_t next = i + 1 < c.records.size() ? c.records[i + 1].length : target.length;
            switch (n % 6) {
                case 0: word = a; break;
                case 1: word ^= 1u << (a % 32); break;
                case 2: word += 1 + a % 3; break;
                case 3: word -= 1 + a % 3; break;
                default:  // the size of this record and the next together: swallows it exactly
                    word = c.wd2 ? std::uint32_t((target.length + next - c.head) / unit)
                                 : std::uint32_t(target.length + next);
            }
            if (type == 6) word ^= 1u << (a % 32);
            for (std::size_t i = 0; i < 4; ++i) overwrite(p + i, std::uint8_t(word >> (8 * i)));
            break;
        }
        case 7: c.file.resize(at), c.origin.resize(at); break;  // the tail cut
        case 8: {  // a crash: a partial record, then the next records
            if (header_at < 0) break;
            // The record stops part-way; writing goes on at the header of one of the next three
            // (or the file ends there).
            const std::size_t from =
                std::size_t(header_at) + 1 + a % std::max<std::uint64_t>(1, target.length - 1);
            const std::size_t next = b % c.records.size() + 1 + n % 3;
            const std::int64_t resume = next < c.records.size() ? where(c, c.records[next].start) : -1;
            const std::size_t to = resume >= 0 ? std::size_t(resume) : c.file.size();
            if (from < to) erase(from, to - from);
            break;
        }
    }
}

// A case from a description: the run, then up to three mutations.
inline Case make_case(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Case c;
    make_run(c, in);
    c.file = c.clean;
    c.origin.resize(c.clean.size());
    for (std::size_t i = 0; i < c.origin.size(); ++i) c.origin[i] = std::int64_t(i);
    c.mutations = in.u8() % 4;
    for (int m = 0; m < c.mutations; ++m) mutate(c, in);
    return c;
}

// A memory file holding the damaged bytes, read by pread and read (a regular file).
class Memory {
public:
    explicit Memory(const Bytes& bytes) : fd_(memfd_create("vorn-damage", 0)) {
        if (fd_ < 0 ||
            (!bytes.empty() && pwrite(fd_, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())))
            __builtin_trap();
    }
    ~Memory() { close(fd_); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    vorn::BufReader source() const {
        int fd = dup(fd_);
        if (fd < 0) __builtin_trap();
        vorn::BufReader src(fd);
        vorn::IoError err;
        if (!src.seek_to(0, err)) __builtin_trap();  // a dup shares the offset
        return src;
    }

private:
    int fd_;
};

// What a read gave: each record's offset and length, the skips, how it stopped.
struct Reading {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> records;
    std::vector<vorn::Skip> skipped;
    vorn::ReadStop stop = vorn::ReadStop::Limit;
};

template <class Layout>
Layout layout_of(const Case& c) {
    if constexpr (std::is_same_v<Layout, vorn::WD2Layout>) {
        return vorn::WD2Layout{c.channels};
    } else {
        return vorn::WD1Layout{};
    }
}

// Reads the file from `offset` (record `event`, after the record at `after` when >= 0) in
// calls of `step` events, until it ends or stops at damage.
template <class Layout>
Reading read(const Case& c, const Memory& m, bool recover, bool data, std::uint64_t step,
             std::uint64_t offset = 0, std::uint64_t event = 0, std::int64_t after = -1) {
    vorn::ColumnOptions opt;
    opt.check = true;
    opt.recover = recover;
    opt.data = data;
    opt.offsets = true;
    vorn::BufReader src = m.source();
    vorn::IoError err;
    if (offset != 0 && !src.seek_to(offset, err)) __builtin_trap();
    vorn::ColumnReader<Layout> reader(vorn::RecordReader<Layout>(std::move(src), layout_of<Layout>(c)), opt,
                                      offset, event);
    if (after >= 0) reader.continue_after(std::uint64_t(after));
    Reading out;
    for (int calls = 0; calls < 100000; ++calls) {
        vorn::Columns<Layout> cols;
        out.stop = reader.read(cols, step, UINT64_MAX);
        for (std::size_t i = 0; i < cols.events; ++i) {
            std::int64_t at, n;
            std::memcpy(&at, cols.offset.data() + 8 * i, 8);
            n = cols.samples_vary ? [&] {
                std::int64_t v;
                std::memcpy(&v, cols.n_samples.data() + 8 * i, 8);
                return v;
            }()
                                  : cols.same_samples;
            out.records.emplace_back(std::uint64_t(at),
                                     c.head + std::uint64_t(n) * sizeof(typename Layout::Sample));
        }
        if (out.stop != vorn::ReadStop::Limit) break;
    }
    out.skipped = reader.skipped();
    return out;
}

// The bytes of a header up to the end of its counter.
inline std::uint64_t counter_end(const Case& c) {
    return c.wd2 ? 4 : 20;
}

// The original offset of the record whose header lies at `at` in the damaged file, found by
// the first of its header's bytes in place (byte i of the header, byte i of the record), or
// -1. Bytes before it in the header may be damaged in place, as a counter byte may.
inline std::int64_t header_of(const Case& c, std::uint64_t at) {
    for (std::size_t i = 0; at + i < c.file.size() && i < c.head; ++i) {
        if (c.origin[at + i] < std::int64_t(i)) continue;
        const auto start = std::uint64_t(c.origin[at + i]) - i;
        auto it = std::lower_bound(c.records.begin(), c.records.end(), start,
                                   [](const Original& r, std::uint64_t s) { return r.start < s; });
        if (it != c.records.end() && it->start == start) return std::int64_t(start);
    }
    return -1;
}

// Whether a record's header lies at `at` with its counter's bytes in place.
inline bool counter_in_place(const Case& c, std::uint64_t at) {
    const std::uint64_t from = counter_end(c) - 4;
    if (at + counter_end(c) > c.file.size() || c.origin[at + from] < std::int64_t(from)) return false;
    const auto start = std::uint64_t(c.origin[at + from]) - from;
    for (std::uint64_t j = 1; j < 4; ++j)
        if (c.origin[at + from + j] != std::int64_t(start + from + j)) return false;
    auto it = std::lower_bound(c.records.begin(), c.records.end(), start,
                               [](const Original& r, std::uint64_t s) { return r.start < s; });
    return it != c.records.end() && it->start == start;
}

struct Tally {
    std::uint64_t cases = 0, returned = 0, wrong = 0, intact = 0, lost = 0;
};

// Checks every answer of the readers on one case; "" when all hold, else what failed.
template <class Layout>
std::string check(const Case& c, Tally& tally) {
    Memory m(c.file);
    const Reading whole = read<Layout>(c, m, true, true, UINT64_MAX);
    ++tally.cases;
    // Every record returned has its original header in place and its original length.
    std::uint64_t prev_end = 0;
    bool first = true;
    for (auto [at, length] : whole.records) {
        ++tally.returned;
        // The original record is found by the first of its header's bytes still in place; it
        // must start there and span its bytes and no other record's: every byte in place in
        // the span is its, and its bytes do not go on in place after the span. A WD2 record
        // keeps its run's period and channel word. Damage inside one record's span (a sample
        // or counter byte overwritten, bytes lost or inserted with its size word rewritten to
        // match) leaves a record that no reader can tell from its original, so it counts as
        // that record.
        const std::int64_t found = at + c.head <= c.file.size() ? header_of(c, at) : -1;
        bool right = found >= 0;
        const auto start = std::uint64_t(found);
        if (right) {
            auto it = std::lower_bound(c.records.begin(), c.records.end(), start,
                                       [](const Original& r, std::uint64_t s) { return r.start < s; });
            right = at + length <= c.file.size();
            const auto lo = found, hi = std::int64_t(start + it->length);
            std::int64_t reached = lo;  // the furthest of its bytes in the span
            for (std::uint64_t d = at; right && d < at + length; ++d) {
                right = c.origin[d] < 0 || (c.origin[d] >= lo && c.origin[d] < hi);
                reached = std::max(reached, c.origin[d]);
            }
            // (Fewer bytes after the span than reach a header's counter are too few to judge: a
            // file cut inside the next header, or still being written, looks the same.)
            const std::uint64_t end = at + length;
            if (right && end + counter_end(c) <= c.file.size() && c.origin[end] > reached &&
                c.origin[end] < hi)
                right = false;
            // Or the damage lies wholly between two boundaries that are real: the record ends at
            // the end of the file (or too near it to judge, as above) or where another one's
            // header starts, and holds none that a
            // reader could see, one with its counter in place (bytes lost from one record and the
            // next, as many as a record holds, leave a run that reads as whole).
            if (!right && at + length <= c.file.size()) {
                right = at + length + counter_end(c) > c.file.size() || header_of(c, at + length) >= 0;
                for (std::uint64_t x = at + 1; right && x < at + length; ++x) right = !counter_in_place(c, x);
            }
            for (std::size_t i = 16; right && c.wd2 && i < c.head; ++i)
                right = c.file[at + i] == c.clean[start + i];
        }
        if (!right) {
            ++tally.wrong;
            return "a record that is not in the file at offset " + std::to_string(at);
        }
        if (!first && at < prev_end) return "records out of order or overlapping at " + std::to_string(at);
        prev_end = at + length;
        first = false;
    }
    // Records wholly in untouched bytes that were not returned.
    std::vector<std::uint64_t> starts;
    for (auto [at, length] : whole.records) starts.push_back(at);
    for (std::size_t d = 0; d < c.origin.size(); ++d) {
        if (c.origin[d] < 0) continue;
        const auto start = std::uint64_t(c.origin[d]);
        auto it = std::lower_bound(c.records.begin(), c.records.end(), start,
                                   [](const Original& r, std::uint64_t s) { return r.start < s; });
        if (it == c.records.end() || it->start != start || d + it->length > c.origin.size()) continue;
        bool intact = true;
        for (std::uint64_t i = 1; intact && i < it->length; ++i)
            intact = c.origin[d + i] == std::int64_t(start + i);
        if (!intact) continue;
        ++tally.intact;
        if (!std::binary_search(starts.begin(), starts.end(), std::uint64_t(d))) ++tally.lost;
    }
    if (c.mutations == 0 && (whole.records.size() != c.records.size() || !whole.skipped.empty()))
        return "a clean file not read whole";
    // Every other way in agrees: calls of a few events, header-only, slices with their context.
    for (std::uint64_t step : {1ull, 3ull}) {
        if (read<Layout>(c, m, true, step == 3, step).records != whole.records)
            return "reads in calls differ";
    }
    const std::size_t n = whole.records.size();
    for (std::size_t k : {std::size_t(1), n / 2, n - 1}) {
        if (k == 0 || k >= n) continue;
        const std::int64_t before = std::int64_t(whole.records[k - 1].first);
        const Reading slice = read<Layout>(c, m, true, true, UINT64_MAX, whole.records[k].first, k, before);
        if (!std::equal(slice.records.begin(), slice.records.end(), whole.records.begin() + std::ptrdiff_t(k),
                        whole.records.end()) ||
            slice.records.size() != n - k)
            return "a slice from record " + std::to_string(k) + " differs from the whole read";
    }
    // Stopping at damage: the records before the first skip, then Corrupt.
    const Reading strict = read<Layout>(c, m, false, true, UINT64_MAX);
    std::size_t before_damage = n;
    if (!whole.skipped.empty()) before_damage = std::size_t(whole.skipped[0].event);
    if (strict.records.size() != before_damage ||
        !std::equal(strict.records.begin(), strict.records.end(), whole.records.begin()))
        return "the checking read does not stop at the first damage";
    if (!whole.skipped.empty() && strict.stop != vorn::ReadStop::Corrupt) return "damage not reported";
    return "";
}

inline std::string check_case(const Case& c, Tally& tally) {
    return c.wd2 ? check<vorn::WD2Layout>(c, tally) : check<vorn::WD1Layout>(c, tally);
}

}  // namespace damage
