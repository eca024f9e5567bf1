// Records straight into columns: each header field into its own array, every sample into
// one array, each record's byte offset. Same records, faults and partial-record rule as
// the record reader, which it drives; a run of same-size records is read with one readv
// per batch, each sample moved once from the kernel into its place. Optionally finds the
// next record boundary after a corrupt or out-of-step header. No Python here.
#pragma once

#include <cstdlib>
#include <new>
#include <vector>

#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vorn {

// A growable, owning array of trivially copyable values from malloc, handed over whole to
// its final owner (who frees it with free()).
template <class T>
class Column {
public:
    Column() = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    Column(Column&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    ~Column() { std::free(data_); }

    T* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Room for `more` values past size(): grows by half again at least (realloc).
    void reserve_more(std::size_t more) {
        if (size_ + more <= capacity_) return;
        std::size_t want = std::max(size_ + more, capacity_ + capacity_ / 2 + 16);
        void* p = std::realloc(data_, want * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        capacity_ = want;
    }
    void push(T v) {
        reserve_more(1);
        data_[size_++] = v;
    }
    // Hands the values to a new owner (free() them); leaves this column empty.
    T* release() {
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;         // owned, from malloc; null while empty
    std::size_t size_ = 0;      // values in use
    std::size_t capacity_ = 0;  // values allocated
};

// What a read collects. Which header fields and whether samples are wanted is chosen
// when the reader is made; unwanted columns stay empty.
template <class Layout>
struct Columns {
    static constexpr std::size_t kFieldCount = std::size(Layout::kFields);
    using Sample = typename Layout::Sample;

    std::size_t events = 0;
    // Field i of every record, as the table's type (4 or 8 bytes); raw bytes here.
    std::array<Column<std::uint64_t>, kFieldCount> wide;  // U64 fields
    std::array<Column<std::uint32_t>, kFieldCount> narrow;  // I32 and U32 fields
    Column<std::int64_t> offset;                         // each record's byte offset
    Column<std::int64_t> n_samples;                      // each record's sample count
    SampleVec<Sample> data;                              // every record's samples, end to end
};

// A span of damaged bytes skipped by a recovering read: the index the next good event
// gets, where the damage starts and how many bytes were passed over.
struct Skip {
    std::uint64_t event;
    std::uint64_t offset;
    std::uint64_t bytes;
};

enum class ReadStop : std::uint8_t {
    Limit,        // the asked number of events or bytes was reached
    End,          // end of data (a partial record stays pending at offset())
    Corrupt,      // stopped at a corrupt header (offset(), event() name it); not recovered
    Error,        // a read failed: error() says how; the records before it were returned
    Interrupted,  // the interrupt hook stopped a wait: nothing was lost, the call may be repeated
};

struct ColumnOptions {
    std::array<bool, 8> fields{};  // which header fields to keep, in table order
    bool data = true;              // keep the samples (else skip them, with a seek where possible)
    bool recover = false;          // find the next record boundary after damage
};

template <class Layout>
class ColumnReader {
public:
    using Header = typename Layout::Header;
    using Sample = typename Layout::Sample;

    // `src` stands at `offset`, the start of the record numbered `event`.
    ColumnReader(BufReader src, Layout layout, ColumnOptions opt, std::uint64_t offset, std::uint64_t event);

    // Appends up to `max_events` records and about `max_bytes` of record bytes to `out`
    // (a record is never split: the limit in bytes stops before a record that would
    // pass it, unless it is the first). Throws std::bad_alloc (the reader stays usable).
    ReadStop read(Columns<Layout>& out, std::uint64_t max_events, std::uint64_t max_bytes);

    // Byte offset of the next record (of the one in progress, when one is pending) and its index.
    std::uint64_t offset() const { return offset_; }
    std::uint64_t event() const { return event_; }
    // Bytes of the pending partial record read so far.
    std::uint64_t pending() const;
    const IoError& error() const { return error_; }
    const std::vector<Skip>& skipped() const { return skipped_; }
    const Layout& layout() const { return rec_.layout(); }
    BufReader& source() { return rec_.source(); }

private:
    // ... implementation state in column_reader.cpp's terms
    RecordReader<Layout> rec_;
    ColumnOptions opt_;
    std::uint64_t offset_;
    std::uint64_t event_;
    IoError error_;
    std::vector<Skip> skipped_;
};

// What the WD2 channel-count probe sees in the first two headers, read as if they had
// channel words; `complete` false when the file is too short for the second.
struct ProbeView {
    bool complete = false;
    WD2Header first, second;  // channels: the word after each header
};
bool probe_view(int fd, ProbeView& out, IoError& err);  // pread: leaves the descriptor's offset alone

}  // namespace vorn
