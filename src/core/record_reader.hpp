// One event record reader for both layouts: header, then sample block, each kept across
// the end of the file and interrupted reads, so that a record cut short completes once
// the file grows. A layout supplies the header size, decoding and block size.
#pragma once

#include <exception>
#include <optional>

#include "buf_reader.hpp"
#include "layouts.hpp"
#include "sample_storage.hpp"

namespace vorn {

// The one internal fault a decoder raises: a computed byte count that is out of range.
// It abandons the running operation; the Python boundary turns it into PanicException.
class CapacityOverflow : public std::exception {
public:
    const char* what() const noexcept override { return "capacity overflow"; }
};

// One decoded event, owned by value: the format's header and its samples.
template <class Header, class Sample>
struct EventRecord {
    Header header{};
    SampleVec<Sample> data;
};

// The outcome of one decoder `next`: a record, the end of data, or an I/O error.
template <class R>
struct NextResult {
    enum class Kind : std::uint8_t { Record, End, Error };
    Kind kind = Kind::End;
    R record;       // valid when kind == Record
    IoError error;  // valid when kind == Error
};

// Reads a record's sample block of `bytes` bytes into `vec`, resuming after the `have`
// bytes already read. Storage grows with what the file really holds, never to a claimed
// size before the bytes exist. On success `vec` holds bytes / sizeof(T) native samples.
// Returns false with `err` set when the file ends first (UnexpectedEof) or a read fails;
// the bytes read so far stay in `vec` and are counted in `have`. A block of
// BufReader::kDirectMinBytes or more is read past the buffer, together with the `ahead`
// bytes that follow it (the next record's header).
template <class T>
bool read_samples(BufReader& src, SampleVec<T>& vec, std::size_t bytes, std::size_t& have, IoError& err,
                  std::size_t ahead = 0);

// The record reader shared by both layouts. A Layout provides:
//   Header, Sample                  the header fields and the sample type
//   kMaxHeaderBytes                 the largest header it reads
//   kLatchAfterError                whether a read error ends the reader for good
//   header_bytes()                  this reader's header size
//   decode(p)                       the header from header_bytes() bytes
//   block_bytes(header)             the sample block's size; throws CapacityOverflow
//
// `next` reads a header, then its sample block. When the file ends inside a record it is
// end of data, and the record read so far stays pending, to be completed by a later call
// once the file has grown; the same after a read error, unless the layout latches. A wait
// that the interrupt hook stops is never a fault of the file: the record stays pending
// and nothing latches.
template <class Layout>
class RecordReader {
public:
    using Header = typename Layout::Header;
    using Sample = typename Layout::Sample;
    using Record = EventRecord<Header, Sample>;
    using Result = NextResult<Record>;

    RecordReader(BufReader src, Layout layout) : layout_(layout), src_(std::move(src)) {}

    // Decodes the next record. Throws CapacityOverflow for a corrupt size (the header is
    // consumed) and std::bad_alloc when sample storage cannot be had (the record stays
    // pending).
    Result next();

    // Takes back a record that the caller could not use: the next call returns it again.
    void unread(Record&& record) { returned_ = std::move(record); }

    const Layout& layout() const { return layout_; }

    // Latched by a read error, for layouts that latch; then every call is end of data.
    bool done() const { return done_; }
    const BufReader& source() const { return src_; }
    // Bytes of sample storage held for a record still in progress.
    std::size_t pending_capacity() const { return body_.capacity_bytes(); }

protected:
    Layout layout_;

private:
    Result failed(Result out);

    BufReader src_;
    bool done_ = false;

    // The record in progress, kept across the end of the file and failed reads.
    bool in_body_ = false;       // header decoded, samples pending
    std::size_t head_have_ = 0;  // header bytes read into head_
    std::uint8_t head_[Layout::kMaxHeaderBytes]{};
    Header header_{};
    std::size_t body_bytes_ = 0;  // sample block length
    std::size_t body_have_ = 0;   // sample bytes read into body_
    SampleVec<Sample> body_;

    std::optional<Record> returned_;  // given back by unread(), returned first
};

template <class Layout>
typename RecordReader<Layout>::Result RecordReader<Layout>::next() {
    Result out;
    if (returned_) {
        out.kind = Result::Kind::Record;
        out.record = std::move(*returned_);
        returned_.reset();
        return out;
    }
    if (done_) return out;  // latched: end of data, nothing read
    src_.begin_call();

    const std::size_t head_bytes = layout_.header_bytes();
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
        header_ = layout_.decode(p);
        body_bytes_ = layout_.block_bytes(header_);  // may throw, the header consumed
        body_have_ = 0;
        in_body_ = true;
    }

    if (body_bytes_ != 0 && !read_samples(src_, body_, body_bytes_, body_have_, out.error, head_bytes)) {
        return failed(std::move(out));
    }

    in_body_ = false;
    out.kind = Result::Kind::Record;
    out.record.header = header_;
    out.record.data = std::move(body_);
    return out;
}

template <class Layout>
typename RecordReader<Layout>::Result RecordReader<Layout>::failed(Result out) {
    if (out.error.kind == ErrorKind::UnexpectedEof) return out;  // end of data
    if (Layout::kLatchAfterError && out.error.kind != ErrorKind::Interrupted) done_ = true;
    out.kind = Result::Kind::Error;
    return out;
}

}  // namespace vorn
