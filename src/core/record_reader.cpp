// Reading a record's sample block into its storage, straight from the file where that
// saves a copy.
#include "record_reader.hpp"

#include <algorithm>

namespace vorn {

namespace {

// Blocks up to this size are allocated whole at once: cheap, and bounded.
constexpr std::size_t kWholeAllocBytes = 64 * 1024;

// What the file is known to hold beyond what was consumed, asked only for blocks big
// enough to be grown piecewise (a system call per ask); -1 when unknown or not asked.
std::int64_t growth_hint(const BufReader& src, std::size_t total) {
    return total > kWholeAllocBytes ? src.remaining_hint() : -1;
}

// Makes room for `need` bytes of a `bytes`-byte block that starts `base` bytes into `vec`,
// keeping the `base + have` bytes before. Beyond small blocks the storage grows by what
// the file holds (`hint`, regular files) or geometrically (pipes, hint -1), never to the
// claimed size before the bytes exist. Behind earlier records (base > 0, a column) it
// grows by half again at least, so that appending stays linear.
template <class T>
void grow_for(SampleVec<T>& vec, std::size_t base, std::size_t have, std::size_t need, std::size_t bytes,
              std::int64_t hint, std::size_t shift) {
    if (vec.capacity_bytes() >= base + need) return;
    std::size_t want = bytes;
    if (bytes > kWholeAllocBytes) {
        const std::size_t held = vec.capacity_bytes() > base ? vec.capacity_bytes() - base : 0;
        want = std::max(need, 2 * held);
        if (hint < 0) {
            want = std::max(want, kWholeAllocBytes);
        } else {
            want = std::max(want, have + static_cast<std::size_t>(
                                             std::min<std::int64_t>(hint, static_cast<std::int64_t>(bytes))));
        }
        want = std::min(want, bytes);
    }
    std::size_t total = base + want;
    if (base != 0) total = std::max(total, vec.capacity_bytes() + vec.capacity_bytes() / 2);
    vec.grow((total + sizeof(T) - 1) / sizeof(T), shift, base + have);
}

}  // namespace

template <class T>
bool read_samples(BufReader& src, SampleVec<T>& vec, std::size_t base, std::size_t bytes, std::size_t& have,
                  IoError& err, std::size_t ahead) {
    // Where the block starts in the file, modulo 64, kept to whole samples: storage that
    // starts there too gets the kernel's fast copy (for a block of its own).
    const std::size_t shift =
        base != 0 ? 0 : static_cast<std::size_t>((src.position() - have) % kSampleAlign) & ~(sizeof(T) - 1);
    while (have < bytes) {
        const std::size_t want = bytes - have;
        if (std::size_t buffered = src.buffered(); buffered != 0) {
            std::size_t take = std::min(buffered, want);
            grow_for(vec, base, have, have + take, bytes, growth_hint(src, bytes), shift);
            std::memcpy(vec.bytes() + base + have, src.buffered_data(), take);
            src.consume(take);
            have += take;
        } else if (want >= BufReader::kDirectMinBytes || bytes >= BufReader::kDirectMinBytes) {
            // A large block bypasses the buffer (its tail too, so that the next header
            // comes with it and the following block is read straight again).
            const std::size_t step = std::min(want, BufReader::kDirectMinBytes);
            const std::size_t room0 =
                vec.capacity_bytes() > base + have ? vec.capacity_bytes() - base - have : 0;
            if (room0 < step) {
                // Storage too full for a direct read. Where the file is known to hold
                // less than a buffer's worth, or may hold nothing more, learn that through
                // the buffer first rather than growing for bytes that may never come.
                std::int64_t hint = growth_hint(src, bytes);
                bool unknown_more = hint < 0 && vec.capacity_bytes() > base && bytes > kWholeAllocBytes;
                if ((hint >= 0 && hint < std::int64_t(step)) || unknown_more) {
                    if (!src.refill(err, want)) return false;
                    continue;
                }
                grow_for(vec, base, have, have + step, bytes, hint, shift);
            }
            std::size_t room = std::min(want, vec.capacity_bytes() - base - have);
            ReadResult r = src.read_direct(vec.bytes() + base + have, room, room == want ? ahead : 0);
            BufReader::Outcome o = src.classify(r, err);
            if (o == BufReader::Outcome::Failed) return false;
            if (o == BufReader::Outcome::Data) have += r.count;
        } else if (!src.refill(err, want)) {
            return false;
        }
    }
    vec.set_size((base + bytes) / sizeof(T));
    return true;
}

template bool read_samples<std::uint16_t>(BufReader&, SampleVec<std::uint16_t>&, std::size_t, std::size_t,
                                          std::size_t&, IoError&, std::size_t);
template bool read_samples<float>(BufReader&, SampleVec<float>&, std::size_t, std::size_t, std::size_t&,
                                  IoError&, std::size_t);

}  // namespace vorn
