// WD2 layout: records with 64-bit timestamp and period fields, an optional channel word
// and float32 samples, and the probe that settles how many channels a file has.
#pragma once

#include <optional>

#include "record_reader.hpp"

namespace vorn {

// The fields of kWD2Fields, in its order.
struct WD2Header {
    std::uint32_t event_counter = 0;
    std::uint64_t timestamp = 0;
    std::uint32_t samples = 0;  // per channel
    std::uint64_t sampling_period = 0;
    std::int32_t channels = 0;  // the record's channel word, or the reader's channel count
};

struct WD2Layout {
    using Header = WD2Header;
    using Sample = float;
    static constexpr std::size_t kBaseHeaderBytes = 24;
    static constexpr std::size_t kMaxHeaderBytes = 28;  // with the channel word
    // Records are read on after a read error: the failed one stays pending.
    static constexpr bool kLatchAfterError = false;

    std::int32_t channel_count = 1;  // settled by the probe, >= 1, fixed for life

    static constexpr const auto& kFields = kWD2Fields;
    static std::size_t row_bytes(const WD2Layout& l) {
        return 4 * std::size_t(l.channel_count);
    }                                                // a sample of each channel
    static constexpr std::size_t kCounterField = 0;  // event_counter in kFields
    static auto members(const Header& h) {
        return std::tie(h.event_counter, h.timestamp, h.samples, h.sampling_period, h.channels);
    }
    static auto members(Header& h) {
        return std::tie(h.event_counter, h.timestamp, h.samples, h.sampling_period, h.channels);
    }

    bool has_word() const { return channel_count >= 2; }
    std::size_t header_bytes() const { return has_word() ? kMaxHeaderBytes : kBaseHeaderBytes; }
    Header decode(const std::uint8_t* p) const {
        Header h;
        decode_fields<kFields>(p, members(h));
        h.channels = has_word() ? load_le<std::int32_t>(p + kBaseHeaderBytes) : channel_count;
        return h;
    }
    // The block size of the record whose header starts at p, from its samples field alone.
    std::optional<std::size_t> block_at(const std::uint8_t* p) const {
        return block_for(channel_count, load_le<std::uint32_t>(p + kFields[2].offset));
    }
    // channel_count x samples floats; nothing beyond 2147483647 bytes.
    std::optional<std::size_t> try_block_bytes(const Header& h) const {
        return block_for(channel_count, h.samples);
    }
    // The sample block of `channels` x `samples` floats in bytes, or nothing when the true
    // product is negative or over 2147483647 bytes.
    static std::optional<std::size_t> block_for(std::int32_t channels, std::uint32_t samples) {
        if (channels < 0) return std::nullopt;
        const std::uint64_t values = std::uint64_t(std::uint32_t(channels)) * samples;  // < 2^63
        if (values > 0x7fffffffu / 4) return std::nullopt;
        return static_cast<std::size_t>(values * 4);
    }
};

using WD2Record = EventRecord<WD2Header, float>;

// The channel-count probe's view of the first two headers, read as if they had channel
// words, with pread (the descriptor's offset stays). `second` is empty when the file is too
// short for it or the first word cannot be a channel count. False with `err` when the file
// is too short for the first header (UnexpectedEof) or a read fails.
struct ProbeView {
    WD2Header first;  // channels: the word after the base header
    std::optional<WD2Header> second;
};
bool probe_view(int fd, ProbeView& out, IoError& err);

class WD2Reader : public RecordReader<WD2Layout> {
public:
    static constexpr std::size_t kWordHeaderBytes = WD2Layout::kMaxHeaderBytes;

    // Runs the channel-count probe over the first two record headers, then rewinds.
    // On failure returns nothing with `err` set; the source is closed by then.
    static std::optional<WD2Reader> create(BufReader src, IoError& err);

    std::int32_t channel_count() const { return layout_.channel_count; }

private:
    WD2Reader(BufReader src, std::int32_t channel_count)
        : RecordReader(std::move(src), WD2Layout{channel_count}) {}
};

}  // namespace vorn
