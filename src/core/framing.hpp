// Framing: where records start in a regular file that may be damaged. A record boundary is
// where three headers chain (each record's size leads to the next header, which continues
// its run); damage is what lies between boundaries. Searches look at every byte offset, so
// bytes lost or inserted anywhere leave every later record findable. Reads with pread only:
// the reader's own position and buffer are left alone. No Python.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vorn {

// Consecutive records of a run: the counter goes on by less than this (it may repeat, as
// interleaved boards and channels do), and a WD2 run keeps its sampling period and channel
// word. Sizes may change at any record.
inline constexpr std::uint32_t kCounterStep = 1u << 8;
// Headers that must chain from a boundary found after damage (fewer where the chain meets
// the end of the file).
inline constexpr int kChainLinks = 3;

inline std::uint32_t counter_of(const WD1Header& h) {
    return static_cast<std::uint32_t>(h.event_counter);
}
inline std::uint32_t counter_of(const WD2Header& h) {
    return h.event_counter;
}
inline bool same_size(const WD1Header& a, const WD1Header& b) {
    return a.event_size == b.event_size;
}
inline bool same_size(const WD2Header& a, const WD2Header& b) {
    return a.samples == b.samples;
}
// Whether a header can start a real record: a WD1 size the reader takes (23 and more; an
// odd size leaves its last byte to the next record, as the reader reads it), a board
// and channel number of 16 bits (two samples of a waveform, read as one, are not: their
// high half is a sample); a WD2 header that is not all zeros (counter, samples and period 0
// mean nothing) whose channel word, if it has one, is the file's channel count (the word
// that the count was taken from; another is damage). Zero-filled spans are thereby damage
// in both layouts. `plausible_but_size`: the same, the size aside (a size word damaged in
// place), zeros still no header.
inline bool plausible_but_size(const WD1Layout&, const WD1Header& h) {
    if ((h.event_size | h.board_id | h.pattern | h.board_channel | h.event_counter | h.timestamp) == 0)
        return false;
    return std::uint32_t(h.board_id) <= 0xffff && std::uint32_t(h.board_channel) <= 0xffff;
}
inline bool plausible(const WD1Layout& l, const WD1Header& h) {
    return h.event_size >= 23 && plausible_but_size(l, h);
}
inline bool plausible_but_size(const WD2Layout& l, const WD2Header& h) {
    return !(h.event_counter == 0 && h.sampling_period == 0) && h.channels == l.channel_count;
}
inline bool plausible(const WD2Layout& l, const WD2Header& h) {
    return !(h.event_counter == 0 && h.samples == 0 && h.sampling_period == 0) &&
           h.channels == l.channel_count;
}
inline bool run_fields_equal(const WD1Header&, const WD1Header&) {
    return true;  // boards and channels interleave; the counter alone links WD1 records
}
inline bool run_fields_equal(const WD2Header& a, const WD2Header& b) {
    return a.sampling_period == b.sampling_period && a.channels == b.channels;
}
// Whether `next` begins as a record of `prev`'s run and size does, whatever else was damaged
// (a WD1 size word and board, a WD2 sample count and period).
inline bool begins_like(const WD1Header& prev, const WD1Header& next) {
    return next.event_size == prev.event_size && std::uint32_t(next.board_id) <= 0xffff;
}
inline bool begins_like(const WD2Header& prev, const WD2Header& next) {
    return next.samples == prev.samples && next.sampling_period == prev.sampling_period;
}
// Whether `next` may follow `prev` in one run.
template <class Header>
bool chains(const Header& prev, const Header& next) {
    return run_fields_equal(prev, next) && counter_of(next) - counter_of(prev) < kCounterStep;
}

// Whether `next` goes on from `prev` with no counter skipped: the records a run holds without
// a look inside. Skipped counters may lie inside `prev`, swallowed by a false size.
template <class Header>
bool steady(const Header& prev, const Header& next) {
    return chains(prev, next) && counter_of(next) - counter_of(prev) <= 1;
}

// Whether `next` continues `prev`'s run so that it is taken without a look inside: a
// plausible header of the same size word, its counter steady.
template <class Layout>
bool continues(const Layout& l, const typename Layout::Header& prev, const typename Layout::Header& next) {
    return plausible(l, next) && same_size(prev, next) && steady(prev, next);
}

template <class Layout>
class Framer {
public:
    using Header = typename Layout::Header;

    // `fd` is read with pread and not owned; `size` is the file's size for this look.
    Framer(int fd, const Layout& layout) : fd_(fd), layout_(layout) {}
    void set_size(std::uint64_t size) { size_ = size; }
    std::uint64_t size() const { return size_; }

    // The header at `at` when whole in the file and plausible, with its record's length.
    bool header(std::uint64_t at, Header& h, std::uint64_t& length);
    // Whether a chain of kChainLinks headers starts at `at`: each plausible, each record's
    // end the next one's start, each chaining with the one before. The chain may end at the
    // end of the file after two links: exactly, or inside a record still being written.
    // `alone`: one record that ends exactly at the end of the file is a chain too (a run's
    // last record, after which nothing can be judged); `context`: so is one that chains
    // with it (the last good record before damage).
    bool chain_from(std::uint64_t at, bool alone = false, const Header* context = nullptr);
    // The first offset in [from, to) where a chain starts (to: the end of the file), or none;
    // `context` as for chain_from.
    std::optional<std::uint64_t> find_boundary(std::uint64_t from, std::uint64_t to = UINT64_MAX,
                                               const Header* context = nullptr);
    // Whether a successor of `h` lies inside (at, at + length): a header that chains with `h`
    // whose record ends where h's does, or inside it and followed by one that chains with it.
    // The record at `at` would swallow it, so its size is false.
    bool swallows(const Header& h, std::uint64_t at, std::uint64_t length);
    // Whether the record `h` of `length` bytes at `at` belongs to the file, with nothing
    // known of the records before it (a file's start, after damage, a new run or a new
    // size): it swallows no successor and the header after it chains with it or starts a
    // run, or it ends the file. One that runs past the end is taken (it may be being
    // written) unless a chain starts within it; one followed by less than a header, or by a
    // successor of another size still being written, is taken when those bytes can begin a
    // successor, else it waits for the file to grow (its size cannot be told from a false one).
    enum class Verdict : std::uint8_t { Take, Damage, Wait };
    Verdict vet(const Header& h, std::uint64_t at, std::uint64_t length);
    // Whether the header at `end` is the successor of `last`, with damage in it: plausible
    // and chaining with it, its size aside (a size word damaged in place leaves the record
    // before it whole), or beginning as a record of its run and size (the rest of it
    // overwritten); and no header 1-3 bytes on is a successor (then the bytes at `end` are
    // that one read early: bytes were added inside the record).
    bool succeeded(const Header& last, std::uint64_t end);
    // Whether a fill starts at `end`: a header's length of one byte value (zeros, erased
    // flash) that the byte before it is not. Damage that begins inside a record leaves other
    // bytes at its claimed end; a fill that begins exactly there leaves the record whole.
    bool fill_at(std::uint64_t end);

    // Whether the bytes from `end` to the end of the file, fewer than a header, can begin
    // one that chains with the record at `at` (the fields they hold plausible, the counter
    // chaining once they hold it; `need_counter`: they must hold it).
    bool cut_header_follows(std::uint64_t at, std::uint64_t end, bool need_counter = false);

private:
    const std::uint8_t* bytes_at(std::uint64_t at, std::size_t n);
    bool successor_at(const Header& last, std::uint64_t at);

    int fd_;
    Layout layout_;
    std::uint64_t size_ = 0;
    // A window of the file read with pread, reused by the lookups near each other.
    std::vector<std::uint8_t> window_;
    std::uint64_t window_at_ = 0;
    std::size_t window_len_ = 0;
};

}  // namespace vorn
