// WD1 decoder.
#include "wd1_reader.hpp"

namespace vorn {

namespace {
WD1Header decode_header(const std::uint8_t* p) {
    return {load_le<std::int32_t>(p),      load_le<std::int32_t>(p + 4),  load_le<std::int32_t>(p + 8),
            load_le<std::int32_t>(p + 12), load_le<std::int32_t>(p + 16), load_le<std::int32_t>(p + 20)};
}
}  // namespace

NextResult<WD1Record> WD1Reader::next() {
    NextResult<WD1Record> out;
    if (returned_) {
        out.kind = NextResult<WD1Record>::Kind::Record;
        out.record = std::move(*returned_);
        returned_.reset();
        return out;
    }
    if (done_) return out;  // latched: end of data, nothing read

    if (!in_body_) {
        if (head_have_ == 0 && src_.buffered() >= kHeaderBytes) {
            header_ = decode_header(src_.buffered_data());
            src_.consume(kHeaderBytes);
        } else {
            if (!src_.fill(head_, kHeaderBytes, head_have_, out.error)) return failed(std::move(out));
            header_ = decode_header(head_);
            head_have_ = 0;
        }
        // (event_size - 24) / 2 truncates toward zero: 23 and 25 give no samples, odd
        // sizes from 27 leave their last counted byte to the next record. Below 23 the
        // count is negative, a corrupt header.
        if (header_.event_size < 23) throw CapacityOverflow();
        body_bytes_ = 2 * static_cast<std::size_t>((std::int64_t{header_.event_size} - 24) / 2);
        body_have_ = 0;
        in_body_ = true;
    }

    if (body_bytes_ != 0 && !read_samples(src_, body_, body_bytes_, body_have_, out.error, kHeaderBytes)) {
        return failed(std::move(out));
    }

    in_body_ = false;
    out.kind = NextResult<WD1Record>::Kind::Record;
    out.record.header = header_;
    out.record.data = std::move(body_);
    return out;
}

NextResult<WD1Record> WD1Reader::failed(NextResult<WD1Record> out) {
    if (out.error.kind == ErrorKind::UnexpectedEof) return out;  // end of data; partial kept
    // A wait stopped by a signal is not a fault of the file: the record stays pending.
    if (out.error.kind != ErrorKind::Interrupted) done_ = true;
    out.kind = NextResult<WD1Record>::Kind::Error;
    return out;
}

}  // namespace vorn
