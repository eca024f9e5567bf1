// WD2 decoder: records with 64-bit timestamp and period fields, an optional channel word
// and float32 samples, and the probe that settles how many channels a file has.
#pragma once

#include <optional>

#include "decoder.hpp"

namespace vorn {

struct WD2Header {
    std::uint32_t event_counter = 0;
    std::uint64_t timestamp = 0;
    std::uint32_t samples = 0;  // per channel
    std::uint64_t sampling_period = 0;
    std::int32_t channels = 0;  // the record's channel word, or the reader's channel count
};

using WD2Record = EventRecord<WD2Header, float>;

class WD2Reader {
public:
    static constexpr std::size_t kBaseHeaderBytes = 24;
    static constexpr std::size_t kWordHeaderBytes = 28;  // with the channel word

    // Runs the channel-count probe over the first two record headers, then rewinds.
    // On failure returns nothing with `err` set; the source is closed by then.
    static std::optional<WD2Reader> create(BufReader src, IoError& err);

    // Decodes the next record. End of data when the file ends, also inside a record (the
    // partial record is kept and completes once the file grows); any other read error is
    // returned and the reader carries on at the next call. Throws CapacityOverflow when
    // the sample block would exceed 2147483647 bytes (the header is consumed) and
    // std::bad_alloc when sample storage cannot be had (the record stays pending).
    NextResult<WD2Record> next();

    // Takes back a record that the caller could not use: the next call returns it again.
    void unread(WD2Record&& record) { returned_ = std::move(record); }

    std::int32_t channel_count() const { return channel_count_; }
    const BufReader& source() const { return src_; }
    // Bytes of sample storage held for a record still in progress.
    std::size_t pending_capacity() const { return body_.capacity_bytes(); }

private:
    WD2Reader(BufReader src, std::int32_t channel_count)
        : src_(std::move(src)), channel_count_(channel_count) {}

    NextResult<WD2Record> failed(NextResult<WD2Record> out);

    BufReader src_;
    std::int32_t channel_count_;  // settled by the probe, >= 1, fixed for life

    // The record in progress, kept across the end of the file and read errors.
    bool in_body_ = false;
    std::size_t head_have_ = 0;
    std::uint8_t head_[kWordHeaderBytes]{};
    WD2Header header_;
    std::size_t body_bytes_ = 0;
    std::size_t body_have_ = 0;
    SampleVec<float> body_;

    std::optional<WD2Record> returned_;  // given back by unread(), returned first
};

}  // namespace vorn
