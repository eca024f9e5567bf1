// One event record reader for both layouts: header, then sample block, each kept across
// the end of the file and interrupted reads, so that a record cut short completes once
// the file grows. A layout supplies the header size, decoding and block size.
#pragma once

#include <cassert>
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

// Reads a record's sample block of `bytes` bytes into `vec` from byte `base` on (the
// bytes before it are kept), resuming after the `have` bytes already read. Storage grows
// with what the file really holds, never to a claimed size before the bytes exist. On
// success `vec` holds (base + bytes) / sizeof(T) samples. Returns false with `err` set when
// the file ends first (UnexpectedEof) or a read fails; the bytes read so far stay in `vec`
// and are counted in `have`. A block of BufReader::kDirectMinBytes or more is read past the
// buffer, together with the `ahead` bytes that follow it (the next record's header).
template <class T>
bool read_samples(BufReader& src, SampleVec<T>& vec, std::size_t base, std::size_t bytes, std::size_t& have,
                  IoError& err, std::size_t ahead = 0);

// The record reader shared by both layouts. A Layout provides:
//   Header, Sample                  the header fields and the sample type
//   kFields, members(header)        the field table and the header's members in its order
//   kMaxHeaderBytes                 the largest header it reads
//   kLatchAfterError                whether a read error ends the reader for good
//   header_bytes()                  this reader's header size
//   decode(p)                       the header from header_bytes() bytes
//   try_block_bytes(header)         the sample block's size, or nothing for a corrupt size
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

    // The same step for a caller that collects samples elsewhere: the record's samples go
    // to `out` from byte `base` on (the bytes before are kept), or are passed over when
    // `out` is null (a seek where the file allows). A Record result carries the header
    // only. A record left pending keeps its bytes here between calls, not in `out`. The
    // caller starts the source's call (BufReader::begin_call) for a run of these.
    Result next_into(SampleVec<Sample>* out, std::size_t base);

    // Takes back a record that the caller could not use: the next call returns it again.
    void unread(Record&& record) { returned_ = std::move(record); }

    const Layout& layout() const { return layout_; }

    // Latched by a read error, for layouts that latch; then every call is end of data.
    bool done() const { return done_; }
    const BufReader& source() const { return src_; }
    BufReader& source() { return src_; }
    // Between records: nothing of a record read or given back. Only then may a caller
    // take records from the source itself or move it.
    bool idle() const { return !in_body_ && head_have_ == 0 && !returned_; }
    // Bytes of the record in progress read so far.
    std::size_t pending_bytes() const { return in_body_ ? layout_.header_bytes() + body_have_ : head_have_; }

protected:
    Layout layout_;

private:
    Result step(SampleVec<Sample>* out, std::size_t base);
    void keep(const SampleVec<Sample>& out, std::size_t base);
    Result failed(Result out);

    BufReader src_;
    bool done_ = false;

    // The record in progress, kept across the end of the file and failed reads.
    bool in_body_ = false;       // header decoded, samples pending
    std::size_t head_have_ = 0;  // header bytes read into head_
    std::uint8_t head_[Layout::kMaxHeaderBytes]{};
    Header header_{};
    std::size_t body_bytes_ = 0;  // sample block length
    std::size_t body_have_ = 0;   // sample bytes read (into body_ between calls)
    SampleVec<Sample> body_;

    std::optional<Record> returned_;  // given back by unread(), returned first
};

template <class Layout>
typename RecordReader<Layout>::Result RecordReader<Layout>::next() {
    if (returned_) {
        Result out;
        out.kind = Result::Kind::Record;
        out.record = std::move(*returned_);
        returned_.reset();
        return out;
    }
    src_.begin_call();
    Result out = step(&body_, 0);
    if (out.kind == Result::Kind::Record) out.record.data = std::move(body_);
    return out;
}

template <class Layout>
typename RecordReader<Layout>::Result RecordReader<Layout>::next_into(SampleVec<Sample>* out,
                                                                      std::size_t base) {
    assert(!returned_);
    if (out == nullptr) return step(nullptr, 0);
    if (in_body_ && body_have_ != 0) {
        // A record cut by the end of the file goes on in the reader's own storage, which
        // keeps it whatever happens, and is copied to its place once whole.
        Result r = step(&body_, 0);
        if (r.kind != Result::Kind::Record) return r;
        try {
            out->grow((base + body_bytes_ + sizeof(Sample) - 1) / sizeof(Sample), 0, base);
        } catch (const std::bad_alloc&) {
            in_body_ = true;  // whole but not delivered: the next call returns it
            body_have_ = body_bytes_;
            throw;
        }
        std::memcpy(out->bytes() + base, body_.bytes(), body_bytes_);
        out->set_size((base + body_bytes_) / sizeof(Sample));
        body_.reset();
        return r;
    }
    Result r;
    try {
        r = step(out, base);
    } catch (const std::bad_alloc&) {
        keep(*out, base);
        throw;
    }
    if (r.kind != Result::Kind::Record) keep(*out, base);
    return r;
}

// Moves the bytes of a record left pending in a caller's storage into the reader's own.
// Without memory for them, a regular file reads the record again from its start; on a
// stream they are lost, and the allocation failure says so.
template <class Layout>
void RecordReader<Layout>::keep(const SampleVec<Sample>& out, std::size_t base) {
    if (!in_body_ || body_have_ == 0) return;
    try {
        body_.grow((body_have_ + sizeof(Sample) - 1) / sizeof(Sample), 0, 0);
    } catch (const std::bad_alloc&) {
        IoError err;
        (void)src_.seek_to(src_.position() - layout_.header_bytes() - body_have_, err);
        in_body_ = false;
        body_have_ = 0;
        throw;
    }
    std::memcpy(body_.bytes(), out.bytes() + base, body_have_);
}

template <class Layout>
typename RecordReader<Layout>::Result RecordReader<Layout>::step(SampleVec<Sample>* out, std::size_t base) {
    Result res;
    if (done_) return res;  // latched: end of data, nothing read

    const std::size_t head_bytes = layout_.header_bytes();
    if (!in_body_) {
        const std::uint8_t* p;
        if (head_have_ == 0 && src_.buffered() >= head_bytes) {
            p = src_.buffered_data();
            src_.consume(head_bytes);
        } else {
            if (!src_.fill(head_, head_bytes, head_have_, res.error)) return failed(std::move(res));
            head_have_ = 0;
            p = head_;
        }
        header_ = layout_.decode(p);
        std::optional<std::size_t> block = layout_.try_block_bytes(header_);
        if (!block) throw CapacityOverflow();  // the header consumed
        body_bytes_ = *block;
        body_have_ = 0;
        in_body_ = true;
    }

    if (body_bytes_ != 0) {
        const bool ok = out != nullptr
                            ? read_samples(src_, *out, base, body_bytes_, body_have_, res.error, head_bytes)
                            : src_.pass(body_bytes_, body_have_, res.error);
        if (!ok) return failed(std::move(res));
    } else if (out != nullptr) {
        out->set_size(base / sizeof(Sample));
    }

    in_body_ = false;
    res.kind = Result::Kind::Record;
    res.record.header = header_;
    return res;
}

template <class Layout>
typename RecordReader<Layout>::Result RecordReader<Layout>::failed(Result out) {
    if (out.error.kind == ErrorKind::UnexpectedEof) return out;  // end of data
    if (Layout::kLatchAfterError && out.error.kind != ErrorKind::Interrupted) done_ = true;
    out.kind = Result::Kind::Error;
    return out;
}

}  // namespace vorn
