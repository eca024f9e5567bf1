// WD2 layout and channel-count probe.
#include "wd2_reader.hpp"

#include <errno.h>
#include <unistd.h>

namespace vorn {

namespace {

constexpr std::size_t kWordOffset = kWD2Fields[4].offset;
static_assert(kWordOffset == WD2Layout::kBaseHeaderBytes, "the channel word follows the base header");

WD2Header decode_base(const std::uint8_t* p) {
    WD2Header h;
    decode_fields<WD2Layout::kFields>(p, WD2Layout::members(h));
    return h;
}

}  // namespace

namespace {

// Reads a 28-byte header at `at` with pread: 1 when whole, 0 when the file ends first.
int pread_header(int fd, std::uint64_t at, WD2Header& h, IoError& err) {
    std::uint8_t b[WD2Layout::kMaxHeaderBytes];
    std::size_t have = 0;
    while (have < sizeof b) {
        ssize_t r = ::pread64(fd, b + have, sizeof b - have, static_cast<off64_t>(at + have));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            err = IoError::from_errno(errno);
            return -1;
        }
        if (r == 0) return 0;
        have += static_cast<std::size_t>(r);
    }
    h = decode_base(b);
    h.channels = load_le<std::int32_t>(b + kWordOffset);
    return 1;
}

}  // namespace

bool probe_view(int fd, ProbeView& out, IoError& err) {
    int got = pread_header(fd, 0, out.first, err);
    if (got <= 0) {
        if (got == 0) err = IoError::unexpected_eof();
        return false;
    }
    out.second.reset();
    const WD2Header& f = out.first;
    std::optional<std::size_t> skip =
        f.channels >= 1 ? WD2Layout::block_for(f.channels, f.samples) : std::nullopt;
    if (!skip) return true;
    WD2Header second;
    got = pread_header(fd, WD2Layout::kMaxHeaderBytes + *skip, second, err);
    if (got < 0) return false;
    if (got == 1) out.second = second;
    return true;
}

std::optional<WD2Reader> WD2Reader::create(BufReader source, IoError& err) {
    BufReader src(std::move(source));  // closed on every failed return
    std::uint8_t h[kWordHeaderBytes];
    if (!src.read_exact(h, sizeof h, err)) return std::nullopt;
    const WD2Header first = decode_base(h);
    const std::int32_t k1 = load_le<std::int32_t>(h + kWordOffset);

    // Only a positive word whose sample block has a real size can be a channel word. In a
    // file without channel words this is the first sample's bit pattern, which must not
    // stop the open: such a file has one channel.
    std::int32_t count = 1;
    std::optional<std::size_t> skip = k1 >= 1 ? WD2Layout::block_for(k1, first.samples) : std::nullopt;
    if (skip) {
        if (!src.skip(*skip, err)) return std::nullopt;
        if (!src.read_exact(h, sizeof h, err)) return std::nullopt;
        const WD2Header second = decode_base(h);
        const std::int32_t k2 = load_le<std::int32_t>(h + kWordOffset);
        if (second.event_counter == first.event_counter + 1u && second.samples == first.samples &&
            second.sampling_period == first.sampling_period && k2 == k1) {
            count = k1;
        }
    }
    if (!src.seek_to_start(err)) return std::nullopt;
    return WD2Reader(std::move(src), count);
}

}  // namespace vorn
