// WD1 layout: records of a 24-byte header of six signed 32-bit words and uint16 samples.
#pragma once

#include <optional>

#include "record_reader.hpp"

namespace vorn {

// The fields of kWD1Fields, in its order.
struct WD1Header {
    std::int32_t event_size = 0;
    std::int32_t board_id = 0;
    std::int32_t pattern = 0;
    std::int32_t board_channel = 0;
    std::int32_t event_counter = 0;
    std::int32_t timestamp = 0;
};

struct WD1Layout {
    using Header = WD1Header;
    using Sample = std::uint16_t;
    static constexpr std::size_t kMaxHeaderBytes = 24;
    // A WD1 file cannot be resynchronised after bytes were lost: a read error ends it.
    static constexpr bool kLatchAfterError = true;

    static constexpr const auto& kFields = kWD1Fields;
    static constexpr std::size_t row_bytes(const WD1Layout&) { return 2; }  // one sample
    static constexpr std::size_t kCounterField = 4;                         // event_counter in kFields
    static auto members(const Header& h) {
        return std::tie(h.event_size, h.board_id, h.pattern, h.board_channel, h.event_counter, h.timestamp);
    }
    static auto members(Header& h) {
        return std::tie(h.event_size, h.board_id, h.pattern, h.board_channel, h.event_counter, h.timestamp);
    }

    std::size_t header_bytes() const { return kMaxHeaderBytes; }
    static Header decode(const std::uint8_t* p) {
        Header h;
        decode_fields<kFields>(p, members(h));
        return h;
    }
    // The block size of the record whose header starts at p, from its size field alone.
    static std::optional<std::size_t> block_at(const std::uint8_t* p) {
        Header h;
        h.event_size = load_le<std::int32_t>(p + kFields[0].offset);
        return try_block_bytes(h);
    }
    // (event_size - 24) / 2 samples, truncated toward zero: 23 and 25 give none, odd sizes
    // from 27 leave their last counted byte to the next record. Below 23 the count is
    // negative, a corrupt header: nothing.
    static std::optional<std::size_t> try_block_bytes(const Header& h) {
        if (h.event_size < 23) return std::nullopt;
        return 2 * static_cast<std::size_t>((std::int64_t{h.event_size} - 24) / 2);
    }
};

using WD1Record = EventRecord<WD1Header, std::uint16_t>;

// Reads a WD1 file from offset 0; reads nothing until the first `next`.
class WD1Reader : public RecordReader<WD1Layout> {
public:
    explicit WD1Reader(BufReader src) : RecordReader(std::move(src), WD1Layout{}) {}
};

}  // namespace vorn
