// Records straight into columns: each header field into its own array, every sample into
// one array, each record's byte offset. It drives the record reader, so records, faults
// and the partial-record rule are the same; runs of records are taken from the read-ahead
// buffer in a tight loop, and a run of same-size records of some size is read with one
// readv per batch, each sample moved once from the kernel into its place. On a regular file
// a checking reader takes a record only where the framing rules hold (framing.hpp), and a
// recovering one goes on at the next record boundary after damage. No Python.
#pragma once

#include <array>
#include <cassert>
#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "framing.hpp"

#include <sys/uio.h>

namespace vorn {

// A growable, owning byte array from malloc, handed over whole to its final owner, who
// frees it with free().
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

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }  // bytes
    std::size_t capacity() const { return capacity_; }
    // Takes the first `bytes` written (with room reserved) as the column's content.
    void resize(std::size_t bytes) {
        assert(bytes <= capacity_);
        size_ = bytes;
    }
    // Room for `more` bytes past size(): grows by half again at least.
    void reserve_more(std::size_t more);
    // Where the next bytes go, and their count once written (with room reserved first).
    std::uint8_t* end() const { return data_ + size_; }
    void commit(std::size_t bytes) {
        assert(size_ + bytes <= capacity_);
        size_ += bytes;
    }
    void push(const void* value, std::size_t bytes) {
        if (size_ + bytes > capacity_) reserve_more(bytes);
        put(value, bytes);
    }
    // Appends to a column with room (reserve_more first).
    void put(const void* value, std::size_t bytes) {
        assert(size_ + bytes <= capacity_);
        std::memcpy(data_ + size_, value, bytes);
        size_ += bytes;
    }
    // Gives back the room reserved past size() when it is much more than size(): a column
    // sized for what a call might collect outlives the call in its owner's hands.
    void shrink_to_fit() {
        if (data_ == nullptr || capacity_ - size_ < 4096 || capacity_ < 2 * size_) return;
        if (void* p = std::realloc(data_, size_ != 0 ? size_ : 1)) {
            data_ = static_cast<std::uint8_t*>(p);
            capacity_ = size_;
        }
    }
    // Hands the bytes to a new owner (free() them); leaves this column empty.
    std::uint8_t* release() {
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    std::uint8_t* data_ = nullptr;  // owned, from malloc; null while empty
    std::size_t size_ = 0;          // bytes in use
    std::size_t capacity_ = 0;      // bytes allocated
};

// What reads collect: the wanted header fields (native values of the table's types), each
// record's byte offset and sample count, and, when wanted, every sample end to end.
template <class Layout>
struct Columns {
    static constexpr std::size_t kFieldCount = std::size(Layout::kFields);
    std::size_t events = 0;
    std::size_t rows = 0;                    // rows the columns have room for
    std::array<Column, kFieldCount> fields;  // empty for fields not wanted
    Column offset;                           // int64 per record, when wanted
    // int64 per record, made only once the records' counts differ: while they are all
    // `same_samples`, nothing is allocated or written (a same-size run costs no column).
    Column n_samples;
    bool samples_vary = false;
    std::int64_t same_samples = 0;
    SampleVec<typename Layout::Sample> data;

    // Notes the count of record `row` (rows come in order).
    void note_samples(std::size_t row, std::int64_t samples) {
        if (!samples_vary) {
            if (row == 0 || samples == same_samples) {
                same_samples = samples;
                return;
            }
            samples_vary = true;
            n_samples.reserve_more(2 * (row + 1) * sizeof samples);
            for (std::size_t r = 0; r < row; ++r) std::memcpy(n_samples.data() + r * 8, &same_samples, 8);
            n_samples.resize(row * sizeof samples);
        }
        n_samples.push(&samples, sizeof samples);
    }
};

// A span of damaged bytes passed over by a recovering read: the index the next good
// record gets, where the damage starts, and its length.
struct Skip {
    std::uint64_t event;
    std::uint64_t offset;
    std::uint64_t bytes;
};

enum class ReadStop : std::uint8_t {
    Limit,    // the asked number of events or bytes was reached
    End,      // end of data (a partial record stays pending at offset())
    Corrupt,  // at a corrupt header, not recovered: offset() and event() name it; the next read goes on after
              // its header
    Error,    // a read failed (error()); the records before it were collected
    Interrupted,  // the interrupt hook stopped a wait; nothing lost, the call may be repeated
};

struct ColumnOptions {
    std::array<bool, 8> fields{};  // header fields to keep, in table order
    bool data = true;              // keep the samples; else pass over them (a seek where the file allows)
    bool offsets = true;           // keep each record's byte offset
    // On a regular file, take a record only where the framing rules hold: it continues the
    // run and the header after it follows on, or nothing before it vouches for it and it
    // passes Framer::vet. Damage stops the read (Corrupt) after the records before it.
    bool check = false;
    bool recover = false;  // go on at the next record boundary after damage (checks implied)
};

template <class Layout>
class ColumnReader {
public:
    using Header = typename Layout::Header;
    using Sample = typename Layout::Sample;

    // `rec` stands at `offset`, the start of record number `event`, and is idle.
    ColumnReader(RecordReader<Layout> rec, ColumnOptions opt, std::uint64_t offset, std::uint64_t event);

    // Appends up to `max_events` records to `out`, stopping after the record that brings the
    // record bytes of this call to `max_bytes` or more. Throws std::bad_alloc (what was
    // collected stays valid; the reader stays usable).
    ReadStop read(Columns<Layout>& out, std::uint64_t max_events, std::uint64_t max_bytes);

    // Reading starts after the record at `at` (it ends at the first offset read): its header
    // is the run's context, as it is for a read that came through it. Checking only.
    void continue_after(std::uint64_t at);

    // Byte offset of the next record (of the one in progress, when one is pending) and its index.
    std::uint64_t offset() const { return offset_; }
    std::uint64_t event() const { return event_; }
    // Bytes at offset() read so far and not yet a record: a partial record, or damage not
    // yet resolved by a recovering read.
    std::uint64_t pending() const;
    // Whether pending() counts damage after which no record boundary was found yet.
    bool resyncing() const { return searching_; }
    const IoError& error() const { return error_; }
    const std::vector<Skip>& skipped() const { return skipped_; }
    const Layout& layout() const { return rec_.layout(); }
    BufReader& source() { return rec_.source(); }

private:
    struct Call;  // one read's limits and progress

    void accept(Columns<Layout>& out, Call& call, const Header& h, std::size_t block);
    void reserve(Columns<Layout>& out, const Call& call, std::size_t block);
    void reserve_rows(Columns<Layout>& out, const Call& call, std::size_t record, std::uint64_t need);
    void put_row(Columns<Layout>& out, const Header& h, std::int64_t at, std::int64_t samples);
    std::uint64_t records_left(const Call& call, std::size_t record) const;
    void from_buffer_run(Columns<Layout>& out, Call& call);
    void from_buffer(Columns<Layout>& out, Call& call);
    long batch(Columns<Layout>& out, Call& call);
    ReadStop one_record(Columns<Layout>& out, Call& call);
    ReadStop recover_from(std::uint64_t damaged);
    void took(Columns<Layout>& out, const Header& last, const std::optional<Header>& before, std::uint64_t at,
              std::uint64_t length);
    void rollback(Columns<Layout>& out, Call& call);
    ReadStop settle(Columns<Layout>& out, Call& call);
    ReadStop wait_last(Columns<Layout>& out, Call& call);
    ReadStop reject_last(Columns<Layout>& out, Call& call);
    ReadStop damage(std::uint64_t at, std::optional<std::uint64_t> next);
    ReadStop check_next(Columns<Layout>& out, Call& call);
    bool links(const Header& prev, const std::uint8_t* p) const;

    RecordReader<Layout> rec_;
    ColumnOptions opt_;
    std::uint64_t offset_;  // of the next record
    std::uint64_t event_;   // its index
    IoError error_;
    std::vector<Skip> skipped_;
    bool regular_ = false;          // a regular file: its size known, seeks and pread allowed
    std::int64_t size_ = -1;        // the file's size when the call began (-1: not regular)
    Framer<Layout> framer_;         // reads the file with pread; its descriptor is rec_'s
    bool check_ = false;            // framing checks: a regular file and opt_.check or recover
    bool stream_checks_ = false;    // opt_.check on a stream: a header no record has stops it
    std::optional<Header> last_;    // the last record collected: the run it belongs to
    std::optional<Header> before_;  // the one before it, when collected in order
    std::uint64_t last_at_ = 0;     // last_'s byte offset and length
    std::uint64_t last_length_ = 0;
    // last_ is unconfirmed: collected in this call, the header after it not judged yet.
    bool provisional_ = false;
    std::size_t provisional_data_ = 0;         // bytes of the data column before last_'s samples
    std::uint64_t same_size_run_ = 0;          // records in a row of the last one's size
    std::uint64_t batch_after_ = 0;            // no batch before this record (one stopped early)
    std::vector<const std::uint8_t*> starts_;  // where records start in the read-ahead buffer
    std::vector<std::uint8_t> staging_;        // a batch's headers
    std::vector<iovec> iov_;                   // a batch's buffers
    bool corrupt_ = false;                     // stopped at a corrupt header, not recovered
    std::uint64_t corrupt_at_ = 0;             // checking: where the damage it stopped at starts
    std::uint64_t corrupt_length_ = 0;         // a stream: the bytes of it already read past
    bool searching_ = false;                   // recovering: damage at damaged_, no boundary found yet
    bool waiting_ = false;                     // the record at offset_ is judged once the file grows
    std::uint64_t damaged_ = 0;
};

}  // namespace vorn
