// WD2 decoder and channel-count probe.
#include "wd2_reader.hpp"

namespace vorn {

namespace {

WD2Header decode_base(const std::uint8_t* p) {
    WD2Header h;
    h.event_counter = load_le<std::uint32_t>(p);
    h.timestamp = load_le<std::uint64_t>(p + 4);
    h.samples = load_le<std::uint32_t>(p + 12);
    h.sampling_period = load_le<std::uint64_t>(p + 16);
    return h;
}

// The sample block of `channels` x `samples` floats in bytes, or nothing when the true
// product is negative or over 2147483647 bytes.
std::optional<std::size_t> block_bytes(std::int32_t channels, std::uint32_t samples) {
    if (channels < 0) return std::nullopt;
    std::uint64_t values = std::uint64_t(std::uint32_t(channels)) * samples;  // < 2^63
    if (values > 0x7fffffffu / 4) return std::nullopt;
    return static_cast<std::size_t>(values * 4);
}

}  // namespace

std::optional<WD2Reader> WD2Reader::create(BufReader source, IoError& err) {
    BufReader src(std::move(source));  // closed on every failed return
    std::uint8_t h[kWordHeaderBytes];
    if (!src.read_exact(h, sizeof h, err)) return std::nullopt;
    const WD2Header first = decode_base(h);
    const std::int32_t k1 = load_le<std::int32_t>(h + 24);

    // Only a positive word whose sample block has a real size can be a channel word. In a
    // file without channel words this is the first sample's bit pattern, which must not
    // stop the open: such a file has one channel.
    std::int32_t count = 1;
    std::optional<std::size_t> skip = k1 >= 1 ? block_bytes(k1, first.samples) : std::nullopt;
    if (skip) {
        if (!src.skip(*skip, err)) return std::nullopt;
        if (!src.read_exact(h, sizeof h, err)) return std::nullopt;
        const WD2Header second = decode_base(h);
        const std::int32_t k2 = load_le<std::int32_t>(h + 24);
        if (second.event_counter == first.event_counter + 1u && second.samples == first.samples &&
            second.sampling_period == first.sampling_period && k2 == k1) {
            count = k1;
        }
    }
    if (!src.seek_to_start(err)) return std::nullopt;
    return WD2Reader(std::move(src), count);
}

NextResult<WD2Record> WD2Reader::next() {
    NextResult<WD2Record> out;
    if (returned_) {
        out.kind = NextResult<WD2Record>::Kind::Record;
        out.record = std::move(*returned_);
        returned_.reset();
        return out;
    }
    const bool has_word = channel_count_ >= 2;
    const std::size_t head_bytes = has_word ? kWordHeaderBytes : kBaseHeaderBytes;

    if (!in_body_) {
        const std::uint8_t* p;
        if (head_have_ == 0 && src_.buffered() >= head_bytes) {
            p = src_.buffered_data();
            src_.consume(head_bytes);
        } else {
            if (!src_.fill(head_, head_bytes, head_have_, out.error)) return failed(std::move(out));
            head_have_ = 0;
            p = head_;
        }
        header_ = decode_base(p);
        header_.channels = has_word ? load_le<std::int32_t>(p + 24) : channel_count_;
        std::optional<std::size_t> bytes = block_bytes(channel_count_, header_.samples);
        if (!bytes) throw CapacityOverflow();
        body_bytes_ = *bytes;
        body_have_ = 0;
        in_body_ = true;
    }

    if (body_bytes_ != 0 && !read_samples(src_, body_, body_bytes_, body_have_, out.error, head_bytes)) {
        return failed(std::move(out));
    }

    in_body_ = false;
    out.kind = NextResult<WD2Record>::Kind::Record;
    out.record.header = header_;
    out.record.data = std::move(body_);
    return out;
}

NextResult<WD2Record> WD2Reader::failed(NextResult<WD2Record> out) {
    // The end of the file is end of data; the partial record stays pending either way.
    if (out.error.kind != ErrorKind::UnexpectedEof) out.kind = NextResult<WD2Record>::Kind::Error;
    return out;
}

}  // namespace vorn
