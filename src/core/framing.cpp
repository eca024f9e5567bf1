// Framing: chains of headers, the boundary search at every byte offset, and the checks of
// a record that nothing before it vouches for.
#include "framing.hpp"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace vorn {

namespace {

// Bytes read at once by a scan; lookups outside it read one header.
constexpr std::size_t kWindowBytes = 1 << 20;

// pread of up to n bytes, retrying EINTR; the count read (short at the end of the file) or -1.
ssize_t pread_all(int fd, std::uint8_t* dst, std::size_t n, std::uint64_t at) {
    std::size_t have = 0;
    while (have < n) {
        ssize_t r = ::pread64(fd, dst + have, n - have, static_cast<off64_t>(at + have));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        have += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(have);
}

}  // namespace

template <class Layout>
const std::uint8_t* Framer<Layout>::bytes_at(std::uint64_t at, std::size_t n) {
    if (at >= window_at_ && at + n <= window_at_ + window_len_) return window_.data() + (at - window_at_);
    if (at + n > size_) return nullptr;
    window_.resize(kWindowBytes + Layout::kMaxHeaderBytes);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(window_.size(), size_ - at));
    const ssize_t got = pread_all(fd_, window_.data(), want, at);
    window_at_ = at;
    window_len_ = got < 0 ? 0 : static_cast<std::size_t>(got);
    return window_len_ >= n ? window_.data() : nullptr;
}

template <class Layout>
bool Framer<Layout>::header(std::uint64_t at, Header& h, std::uint64_t& length) {
    const std::size_t head = layout_.header_bytes();
    const std::uint8_t* p;
    std::uint8_t one[Layout::kMaxHeaderBytes];
    if (at >= window_at_ && at + head <= window_at_ + window_len_) {
        p = window_.data() + (at - window_at_);
    } else {
        // Away from the window: one header, so that a scan's window stays where it is.
        if (at + head > size_ || pread_all(fd_, one, head, at) != static_cast<ssize_t>(head)) return false;
        p = one;
    }
    h = layout_.decode(p);
    const std::optional<std::size_t> block = layout_.try_block_bytes(h);
    if (!block || !plausible(layout_, h)) return false;
    length = head + *block;
    return true;
}

template <class Layout>
bool Framer<Layout>::chain_from(std::uint64_t at, bool alone, const Header* context) {
    Header prev;
    std::uint64_t length;
    if (!header(at, prev, length)) return false;
    alone = alone || (context != nullptr && chains(*context, prev));
    const std::size_t head = layout_.header_bytes();
    std::uint64_t pos = at + length, before = 0;
    for (int links = 1; links < kChainLinks; ++links) {
        if (pos == size_) return links >= 2 || alone;
        // Past the end after two links: a record still being written, of its run's size (a
        // header read a few bytes off claims any size, mostly past the end of a small file).
        if (pos > size_) return links >= 2 && length == before;
        if (pos + head > size_) return links >= 2;
        Header next;
        before = length;
        if (!header(pos, next, length) || !chains(prev, next)) return false;
        prev = next;
        pos += length;
    }
    return true;
}

template <class Layout>
std::optional<std::uint64_t> Framer<Layout>::find_boundary(std::uint64_t from, std::uint64_t to,
                                                           const Header* context) {
    const std::size_t head = layout_.header_bytes();
    to = std::min(to, size_);
    for (std::uint64_t x = from; x + head <= size_ && x < to; ++x) {
        if (bytes_at(x, head) == nullptr) return std::nullopt;
        if (chain_from(x, false, context)) return x;
    }
    return std::nullopt;
}

template <class Layout>
bool Framer<Layout>::swallows(const Header& h, std::uint64_t at, std::uint64_t length) {
    const std::size_t head = layout_.header_bytes();
    const std::size_t counter_at = Layout::kFields[Layout::kCounterField].offset;
    const std::uint32_t first = counter_of(h);
    const std::uint64_t end = std::min(at + length, size_);
    const std::size_t unit = Layout::row_bytes(layout_);
    for (std::uint64_t x = at + 1; x + head <= end; ++x) {
        const std::uint8_t* p = bytes_at(x, head);
        if (p == nullptr) return false;
        Header next;
        std::uint64_t next_length;
        // Where a record of h's beginning could end (a header and whole rows of samples on), a
        // successor will do, however long, and so will the start of a run: a chain, or one
        // record with samples that ends the file (samples seldom read as a header whose counter
        // and run go on from h's, never as a chain, and a row of zeros reads as a record of none).
        if (x >= at + head && (x - at - head) % unit == 0) {
            if (successor_at(h, x) || (header(x, next, next_length) && chain_from(x, next_length > head)))
                return true;
            continue;
        }
        // Elsewhere (h itself read a few bytes off) it takes a successor heading a chain within
        // the claimed record, for the bytes of h's own header read off by a few bytes link up
        // too. Most offsets fail on one load: a successor's counter is close to h's.
        if (load_le<std::uint32_t>(p + counter_at) - first >= kCounterStep) continue;
        if (!header(x, next, next_length) || !chains(h, next)) continue;
        if (x + next_length <= at + length && chain_from(x)) return true;
    }
    return false;
}

// Whether the bytes from `end` to the end of the file, fewer than a header, can begin one
// that chains with the record at `at`: its header with those bytes laid over it, so that what
// has not arrived agrees, is plausible, and chains once they hold the counter.
template <class Layout>
bool Framer<Layout>::cut_header_follows(std::uint64_t at, std::uint64_t end, bool need_counter) {
    const std::size_t head = layout_.header_bytes();
    const std::size_t have = static_cast<std::size_t>(size_ - end);
    const bool counter = have >= Layout::kFields[Layout::kCounterField].offset + 4u;
    std::uint8_t own[Layout::kMaxHeaderBytes], next[Layout::kMaxHeaderBytes];
    if ((need_counter && !counter) || pread_all(fd_, own, head, at) != static_cast<ssize_t>(head) ||
        pread_all(fd_, next, have, end) != static_cast<ssize_t>(have))
        return false;
    std::memcpy(next + have, own + have, head - have);
    const Header h = layout_.decode(own), n = layout_.decode(next);
    if (!layout_.try_block_bytes(n).has_value() || !plausible(layout_, n)) return false;
    return !counter || chains(h, n);
}

// Whether the header at `at` is a successor of `last`, its size aside.
template <class Layout>
bool Framer<Layout>::successor_at(const Header& last, std::uint64_t at) {
    const std::uint8_t* p = bytes_at(at, layout_.header_bytes());
    if (p == nullptr) return false;
    const Header next = layout_.decode(p);
    return plausible_but_size(layout_, next) && chains(last, next);
}

template <class Layout>
bool Framer<Layout>::succeeded(const Header& last, std::uint64_t end) {
    const std::size_t head = layout_.header_bytes();
    const std::uint8_t* p = bytes_at(end, head);
    if (p == nullptr || !(successor_at(last, end) || begins_like(last, layout_.decode(p)))) return false;
    for (std::size_t k = 1; k < 4; ++k) {  // fields are words: a shift of less than one
        Header next;
        std::uint64_t length;
        if (end + k + head > size_) break;  // too little after it to judge
        if (header(end + k, next, length) && chains(last, next)) return false;
    }
    return true;
}

template <class Layout>
bool Framer<Layout>::fill_at(std::uint64_t end) {
    const std::size_t head = layout_.header_bytes();
    const std::uint8_t* p = end != 0 ? bytes_at(end - 1, head + 1) : nullptr;
    if (p == nullptr || p[0] == p[1]) return false;
    return std::all_of(p + 2, p + 1 + head, [&](std::uint8_t b) { return b == p[1]; });
}

template <class Layout>
typename Framer<Layout>::Verdict Framer<Layout>::vet(const Header& h, std::uint64_t at,
                                                     std::uint64_t length) {
    const std::uint64_t end = at + length;
    if (end > size_) return find_boundary(at + 1) ? Verdict::Damage : Verdict::Take;
    if (swallows(h, at, length)) return Verdict::Damage;
    if (end == size_) return Verdict::Take;
    if (end + layout_.header_bytes() > size_)
        return cut_header_follows(at, end, true) ? Verdict::Take : Verdict::Wait;
    Header next;
    std::uint64_t next_length;
    if (header(end, next, next_length) && chains(h, next)) {
        if (end + next_length <= size_) return Verdict::Take;
        // A successor past the end of the file, being written: of h's size it vouches for h;
        // of another, it may be bytes read a field off (their size two samples), so h waits.
        if (!find_boundary(end + 1)) return same_size(h, next) ? Verdict::Take : Verdict::Wait;
    }
    if (!chain_from(end, true)) {
        // A new run's first record still being written: nothing to judge h by yet.
        const bool written = header(end, next, next_length) && end + next_length > size_;
        return written && !find_boundary(end + 1) ? Verdict::Wait : Verdict::Damage;
    }
    // Followed by a new run: no record of it may start inside this one.
    return find_boundary(at + 1, end) ? Verdict::Damage : Verdict::Take;
}

template class Framer<WD1Layout>;
template class Framer<WD2Layout>;

}  // namespace vorn
