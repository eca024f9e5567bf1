// WD1 decoder: records of a 24-byte header of six signed 32-bit words and uint16 samples.
#pragma once

#include <optional>

#include "decoder.hpp"

namespace vorn {

struct WD1Header {
    std::int32_t event_size = 0;  // whole record length in bytes, header included
    std::int32_t board_id = 0;
    std::int32_t pattern = 0;
    std::int32_t board_channel = 0;
    std::int32_t event_counter = 0;
    std::int32_t timestamp = 0;
};

using WD1Record = EventRecord<WD1Header, std::uint16_t>;

class WD1Reader {
public:
    static constexpr std::size_t kHeaderBytes = 24;

    // Takes the source, positioned at offset 0. Reads nothing.
    explicit WD1Reader(BufReader src) : src_(std::move(src)) {}

    // Decodes the next record. End of data when the file ends, also inside a record:
    // the bytes of a record cut short are kept and the record is returned whole once the
    // file has grown. After any other read error the reader is done for good. Throws
    // CapacityOverflow for an event_size below 23 (the header is consumed) and
    // std::bad_alloc when sample storage cannot be had (the record stays pending).
    NextResult<WD1Record> next();

    // Takes back a record that the caller could not use: the next call returns it again.
    void unread(WD1Record&& record) { returned_ = std::move(record); }

    bool done() const { return done_; }
    const BufReader& source() const { return src_; }
    // Bytes of sample storage held for a record still in progress.
    std::size_t pending_capacity() const { return body_.capacity_bytes(); }

private:
    NextResult<WD1Record> failed(NextResult<WD1Record> out);

    BufReader src_;
    bool done_ = false;  // latched by a read error other than the end of the file

    // The record in progress, kept across the end of the file.
    bool in_body_ = false;       // header decoded, samples pending
    std::size_t head_have_ = 0;  // header bytes read into head_
    std::uint8_t head_[kHeaderBytes]{};
    WD1Header header_;
    std::size_t body_bytes_ = 0;  // sample block length
    std::size_t body_have_ = 0;   // sample bytes read into body_
    SampleVec<std::uint16_t> body_;

    std::optional<WD1Record> returned_;  // given back by unread(), returned first
};

}  // namespace vorn
