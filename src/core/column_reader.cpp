// Records straight into columns: the buffer loop, readv batches, and recovery after damage.
#include "column_reader.hpp"

#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

namespace vorn {

void Column::reserve_more(std::size_t more) {
    if (size_ + more <= capacity_) return;
    const std::size_t want = std::max(size_ + more, capacity_ + capacity_ / 2);
    void* p = std::realloc(data_, want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    capacity_ = want;
    advise_huge_pages(data_, capacity_);
}

namespace {

// A same-size run of records of at least kBatchMinRecord bytes is read with one readv per
// batch of up to kBatchRecords records (two buffers each: header, samples) and about
// kBatchBytes; smaller records come from the read-ahead buffer, where a copy costs less
// than a buffer per record would.
constexpr std::size_t kBatchRecords = IOV_MAX / 2;
constexpr std::size_t kBatchMinRecord = 512;
constexpr std::size_t kBatchBytes = 8 << 20;
// Records to go through the record reader after a batch stopped early before batching again.
constexpr std::uint64_t kBatchCooldown = 64;

}  // namespace

template <class Layout>
struct ColumnReader<Layout>::Call {
    std::uint64_t max_events;
    std::uint64_t max_bytes;
    std::uint64_t events = 0;
    std::uint64_t bytes = 0;
    bool full = false;  // the next record would pass max_bytes
    bool more() const { return !full && events < max_events && (events == 0 || bytes < max_bytes); }
    // Whether a record of `record` bytes fits the byte limit; the first always does.
    bool fits(std::uint64_t taken, std::uint64_t record) const {
        return events + taken == 0 || record <= max_bytes - std::min(max_bytes, bytes);
    }
};

template <class Layout>
ColumnReader<Layout>::ColumnReader(RecordReader<Layout> rec, ColumnOptions opt, std::uint64_t offset,
                                   std::uint64_t event)
    : rec_(std::move(rec)),
      opt_(opt),
      offset_(offset),
      event_(event),
      framer_(rec_.source().fd(), rec_.layout()) {
    regular_ = rec_.source().regular_size() >= 0;
    check_ = regular_ && (opt_.check || opt_.recover);
    stream_checks_ = !regular_ && opt_.check;
    corrupt_length_ = rec_.layout().header_bytes();
}

template <class Layout>
void ColumnReader<Layout>::continue_after(std::uint64_t at) {
    if (!check_) return;
    framer_.set_size(static_cast<std::uint64_t>(std::max<std::int64_t>(rec_.source().regular_size(), 0)));
    Header h;
    std::uint64_t length;
    if (framer_.header(at, h, length) && at + length == offset_) {
        last_ = h;
        last_at_ = at;
        last_length_ = length;
    }
}

template <class Layout>
std::uint64_t ColumnReader<Layout>::pending() const {
    if (searching_ || waiting_) return size_ > 0 ? static_cast<std::uint64_t>(size_) - offset_ : 0;
    return rec_.pending_bytes();
}

// How many records of `record` bytes the call can still collect, bounded by what the file
// holds: the size of the columns to make at once.
template <class Layout>
std::uint64_t ColumnReader<Layout>::records_left(const Call& call, std::size_t record) const {
    std::uint64_t records = 64;
    if (size_ >= 0)
        records = (static_cast<std::uint64_t>(size_) - std::min<std::uint64_t>(size_, offset_)) / record + 1;
    records = std::min(records, call.max_events - call.events);
    if (call.max_bytes != UINT64_MAX) records = std::min(records, (call.max_bytes - call.bytes) / record + 1);
    return std::max<std::uint64_t>(records, 1);
}

// Room for `need` more rows in every column; when it must grow, for all the call may still
// collect, or half as many again as it holds.
template <class Layout>
void ColumnReader<Layout>::reserve_rows(Columns<Layout>& out, const Call& call, std::size_t record,
                                        std::uint64_t need) {
    if (out.events + need <= out.rows) return;
    const std::uint64_t rows = std::max<std::uint64_t>({records_left(call, record), out.events / 2, need});
    if (rows > SIZE_MAX / 16 - out.events) throw std::bad_alloc();
    for (std::size_t i = 0; i < Columns<Layout>::kFieldCount; ++i) {
        if (opt_.fields[i]) out.fields[i].reserve_more(rows * field_size(Layout::kFields[i].type));
    }
    if (opt_.offsets) out.offset.reserve_more(rows * sizeof(std::int64_t));
    if (out.samples_vary) out.n_samples.reserve_more(rows * sizeof(std::int64_t));
    out.rows = out.events + rows;
}

template <class Layout>
void ColumnReader<Layout>::put_row(Columns<Layout>& out, const Header& h, std::int64_t at,
                                   std::int64_t samples) {
    std::size_t i = 0;
    for_each_field<Layout::kFields>(Layout::members(h), [&](const Field&, const auto& value) {
        if (opt_.fields[i]) out.fields[i].put(&value, sizeof value);
        ++i;
    });
    if (opt_.offsets) out.offset.put(&at, sizeof at);
    out.note_samples(out.events, samples);
}

template <class Layout>
void ColumnReader<Layout>::accept(Columns<Layout>& out, Call& call, const Header& h, std::size_t block) {
    const std::uint64_t record = rec_.layout().header_bytes() + block;
    reserve_rows(out, call, record, 1);
    put_row(out, h, static_cast<std::int64_t>(offset_), static_cast<std::int64_t>(block / sizeof(Sample)));
    ++out.events;
    ++call.events;
    call.bytes += record;
    if (last_ && !same_size(*last_, h)) same_size_run_ = 0;
    ++same_size_run_;
    took(out, h, last_, offset_, record);
    offset_ += record;
    ++event_;
}

// Notes the last record collected, `last` at `at`, and the one before it: with checks, it
// stays unconfirmed until the header after it is judged (the records before it were
// confirmed by their successors' headers). Its samples are the data column's last.
template <class Layout>
void ColumnReader<Layout>::took(Columns<Layout>& out, const Header& last, const std::optional<Header>& before,
                                std::uint64_t at, std::uint64_t length) {
    before_ = before;
    last_ = last;
    last_at_ = at;
    last_length_ = length;
    provisional_ = check_;
    provisional_data_ = opt_.data ? out.data.size() * sizeof(Sample) -
                                        static_cast<std::size_t>(length - rec_.layout().header_bytes())
                                  : 0;
}

// Takes the unconfirmed last record out of the columns: damage, found by the header after it.
template <class Layout>
void ColumnReader<Layout>::rollback(Columns<Layout>& out, Call& call) {
    assert(provisional_ && out.events != 0);
    --out.events;
    if (call.events != 0) --call.events;
    call.bytes -= std::min(call.bytes, last_length_);
    --event_;
    offset_ = last_at_;
    for (std::size_t i = 0; i < Columns<Layout>::kFieldCount; ++i) {
        if (opt_.fields[i]) out.fields[i].resize(out.events * field_size(Layout::kFields[i].type));
    }
    if (opt_.offsets) out.offset.resize(out.events * sizeof(std::int64_t));
    if (out.samples_vary) out.n_samples.resize(out.events * sizeof(std::int64_t));
    if (opt_.data) out.data.set_size(provisional_data_ / sizeof(Sample));
    last_ = before_;
    before_.reset();
    same_size_run_ = 0;
    provisional_ = false;
}

// Room in the data column for a block of `block` bytes, sized on the first record of a
// call by what the call can still collect, bounded by what the file holds.
template <class Layout>
void ColumnReader<Layout>::reserve(Columns<Layout>& out, const Call& call, std::size_t block) {
    const std::size_t base = out.data.size() * sizeof(Sample);
    if (out.data.capacity_bytes() >= base + block) return;
    const std::uint64_t records = records_left(call, rec_.layout().header_bytes() + block);
    std::uint64_t want = std::max<std::uint64_t>(records * block, block);
    want = std::max<std::uint64_t>(want, out.data.capacity_bytes() / 2);  // grow by half again at least
    if (want > SIZE_MAX / 2 - base) throw std::bad_alloc();
    out.data.grow((base + static_cast<std::size_t>(want) + sizeof(Sample) - 1) / sizeof(Sample), 0, base);
}

// Copies field `f` of the records starting at at[0..n) into a column, in one tight loop
// per field (as one would transpose a table): a stream of small records spends its time
// here. A WD2 channel count that the records do not carry is the reader's own.
template <class Layout>
void gather_field(const Layout& layout, const Field& f, const std::uint8_t* const* at, std::size_t n,
                  std::uint8_t* to) {
    const std::size_t size = field_size(f.type);
    if constexpr (std::is_same_v<Layout, WD2Layout>) {
        if (f.channel_word && !layout.has_word()) {
            for (std::size_t k = 0; k < n; ++k) std::memcpy(to + k * size, &layout.channel_count, size);
            return;
        }
    }
    if (size == 4) {
        for (std::size_t k = 0; k < n; ++k) std::memcpy(to + k * 4, at[k] + f.offset, 4);
    } else {
        for (std::size_t k = 0; k < n; ++k) std::memcpy(to + k * 8, at[k] + f.offset, 8);
    }
}

// Records of the run's size wholly in the read-ahead buffer: once each size field is seen
// to agree, every column is filled with a fixed stride, as one would transpose a table.
template <class Layout>
void ColumnReader<Layout>::from_buffer_run(Columns<Layout>& out, Call& call) {
    if (call.max_bytes != UINT64_MAX || !last_ || same_size_run_ < 2 || !call.more()) return;
    BufReader& src = rec_.source();
    const Layout& layout = rec_.layout();
    const std::size_t head = layout.header_bytes();
    const std::size_t block = *layout.try_block_bytes(*last_);
    const std::size_t record = head + block;
    const std::uint8_t* const p = src.buffered_data();
    const std::size_t most = static_cast<std::size_t>(
        std::min<std::uint64_t>(call.max_events - call.events, src.buffered() / record));
    std::size_t n = 0;
    if (check_) {  // each record must follow on from the one before
        Header prev = *last_;
        while (n < most && layout.block_at(p + n * record) == block && links(prev, p + n * record)) {
            prev = layout.decode(p + n * record);
            ++n;
        }
    } else {
        while (n < most && layout.block_at(p + n * record) == block &&
               !(stream_checks_ && !plausible(layout, layout.decode(p + n * record))))
            ++n;
    }
    if (n == 0) return;
    reserve_rows(out, call, record, n);
    for (std::size_t i = 0; i < Columns<Layout>::kFieldCount; ++i) {
        if (!opt_.fields[i]) continue;
        const Field& f = Layout::kFields[i];
        const std::size_t size = field_size(f.type);
        std::uint8_t* to = out.fields[i].end();
        if constexpr (std::is_same_v<Layout, WD2Layout>) {
            if (f.channel_word && !layout.has_word()) {
                for (std::size_t k = 0; k < n; ++k) std::memcpy(to + k * size, &layout.channel_count, size);
                out.fields[i].commit(n * size);
                continue;
            }
        }
        if (size == 4) {
            for (std::size_t k = 0; k < n; ++k) std::memcpy(to + k * 4, p + k * record + f.offset, 4);
        } else {
            for (std::size_t k = 0; k < n; ++k) std::memcpy(to + k * 8, p + k * record + f.offset, 8);
        }
        out.fields[i].commit(n * size);
    }
    if (opt_.offsets) {
        auto* to = out.offset.end();
        for (std::size_t k = 0; k < n; ++k) {
            const auto at = static_cast<std::int64_t>(offset_ + k * record);
            std::memcpy(to + k * sizeof at, &at, sizeof at);
        }
        out.offset.commit(n * sizeof(std::int64_t));
    }
    const auto samples = static_cast<std::int64_t>(block / sizeof(Sample));
    for (std::size_t k = 0; k < n; ++k) out.note_samples(out.events + k, samples);
    if (opt_.data && block != 0) {
        reserve(out, call, n * block);
        std::uint8_t* to = out.data.bytes() + out.data.size() * sizeof(Sample);
        for (std::size_t k = 0; k < n; ++k) std::memcpy(to + k * block, p + k * record + head, block);
        out.data.set_size(out.data.size() + n * block / sizeof(Sample));
    }
    const std::optional<Header> before = n >= 2 ? std::optional(layout.decode(p + (n - 2) * record)) : last_;
    took(out, layout.decode(p + (n - 1) * record), before, offset_ + (n - 1) * record, record);
    src.consume(n * record);
    out.events += n;
    call.events += n;
    call.bytes += n * record;
    offset_ += n * record;
    event_ += n;
    same_size_run_ += n;
}

// Records wholly in the read-ahead buffer, decoded in place: a first pass finds where each
// starts and copies its samples, then each wanted field is gathered into its column.
template <class Layout>
void ColumnReader<Layout>::from_buffer(Columns<Layout>& out, Call& call) {
    BufReader& src = rec_.source();
    const Layout& layout = rec_.layout();
    const std::size_t head = layout.header_bytes();
    const std::uint8_t* p = src.buffered_data();
    const std::uint8_t* const end = p + src.buffered();
    if (!call.more() || static_cast<std::size_t>(end - p) < head) return;
    const std::uint64_t rows = std::min<std::uint64_t>(call.max_events - call.events, (end - p) / head);
    // Sized by the first record's length: a header alone would size the columns for a
    // byte limit's worth of empty records.
    const std::optional<std::size_t> first_block = layout.block_at(p);
    reserve_rows(out, call, head + (first_block ? *first_block : 0), rows);
    std::uint8_t* const at_to = opt_.offsets ? out.offset.end() : nullptr;
    starts_.resize(static_cast<std::size_t>(rows));
    std::size_t taken = 0;
    std::uint64_t bytes = 0;
    std::uint64_t run = same_size_run_;
    std::size_t prev_block = last_ ? *layout.try_block_bytes(*last_) : SIZE_MAX;
    // Recovering: the run each record must keep (`have_last` false: none yet).
    const bool have_last = check_ && last_.has_value();
    Header last = have_last ? *last_ : Header{};
    const bool limited = call.max_bytes != UINT64_MAX;
    while (taken < rows && static_cast<std::size_t>(end - p) >= head) {
        const std::optional<std::size_t> block = layout.block_at(p);
        if (!block || head + *block > static_cast<std::size_t>(end - p)) break;
        if (limited && !call.fits(taken, bytes + head + *block)) {
            call.full = true;
            break;
        }
        // A checking read leaves a record that starts or leaves a run, or changes its size,
        // to the checks of one_record; within a run, `last` stands for every record before.
        if (check_) {
            if (!(have_last && links(last, p))) break;
            last = layout.decode(p);
        } else if (stream_checks_ && !plausible(layout, layout.decode(p))) {
            break;
        }
        run = *block == prev_block ? run + 1 : 1;
        prev_block = *block;
        if (opt_.data && *block != 0) {
            reserve(out, call, *block);
            const std::size_t base = out.data.size() * sizeof(Sample);
            std::memcpy(out.data.bytes() + base, p + head, *block);
            out.data.set_size((base + *block) / sizeof(Sample));
        }
        if (at_to != nullptr) {
            const auto at = static_cast<std::int64_t>(offset_ + bytes);
            std::memcpy(at_to + taken * sizeof at, &at, sizeof at);
        }
        out.note_samples(out.events + taken, static_cast<std::int64_t>(*block / sizeof(Sample)));
        starts_[taken++] = p;
        bytes += head + *block;
        p += head + *block;
    }
    for (std::size_t i = 0; i < Columns<Layout>::kFieldCount; ++i) {
        if (!opt_.fields[i]) continue;
        gather_field(layout, Layout::kFields[i], starts_.data(), taken, out.fields[i].end());
        out.fields[i].commit(taken * field_size(Layout::kFields[i].type));
    }
    if (at_to != nullptr) out.offset.commit(taken * sizeof(std::int64_t));
    if (taken != 0) {
        const std::optional<Header> before =
            taken >= 2 ? std::optional(layout.decode(starts_[taken - 2])) : last_;
        const std::uint64_t length = head + *layout.block_at(starts_[taken - 1]);
        took(out, layout.decode(starts_[taken - 1]), before, offset_ + bytes - length, length);
    }
    src.consume(static_cast<std::size_t>(bytes));
    out.events += taken;
    call.events += taken;
    call.bytes += bytes;
    offset_ += bytes;
    event_ += taken;
    same_size_run_ = run;
}

// A batch of same-size records with one readv, each block straight into its place; the
// headers are checked after. Returns the records taken, -1 when the interrupt hook stopped
// the call, -2 when a seek failed (error_). What it does not take, the record reader reads again.
template <class Layout>
long ColumnReader<Layout>::batch(Columns<Layout>& out, Call& call) {
    if (!opt_.data || !regular_ || !last_ || same_size_run_ < 2 || event_ < batch_after_ || rec_.done())
        return 0;
    const std::size_t head = rec_.layout().header_bytes();
    const std::size_t block = *rec_.layout().try_block_bytes(*last_);
    const std::size_t record = head + block;
    if (record < kBatchMinRecord || size_ < 0) return 0;
    const std::uint64_t held = static_cast<std::uint64_t>(size_) > offset_ ? size_ - offset_ : 0;
    std::uint64_t n = std::min<std::uint64_t>({kBatchRecords, std::max<std::size_t>(kBatchBytes / record, 1),
                                               held / record, call.max_events - call.events});
    if (call.max_bytes != UINT64_MAX)
        n = std::min(n, (call.max_bytes - std::min(call.max_bytes, call.bytes)) / record);
    if (n < 2) return 0;

    BufReader& src = rec_.source();
    if (src.buffered() != 0 && !src.seek_to(offset_, error_)) return -2;  // read-ahead dropped
    reserve(out, call, static_cast<std::size_t>(n) * block);
    const std::size_t base = out.data.size() * sizeof(Sample);
    staging_.resize(static_cast<std::size_t>(n) * head);
    iov_.resize(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        iov_[2 * i] = {staging_.data() + i * head, head};
        iov_[2 * i + 1] = {out.data.bytes() + base + i * block, block};
    }
    const std::size_t want = static_cast<std::size_t>(n) * record;
    std::size_t got = 0, first = 0;
    bool interrupted = false;
    while (got < want) {
        ReadResult r = src.read_vector(iov_.data() + first, static_cast<int>(iov_.size() - first));
        IoError err;
        BufReader::Outcome o = src.classify(r, err);
        if (o == BufReader::Outcome::Retry) continue;
        if (o == BufReader::Outcome::Failed) {
            interrupted = err.kind == ErrorKind::Interrupted;
            break;  // the end of the file or a failed read: the record reader meets it again
        }
        got += r.count;
        for (std::size_t left = r.count; left != 0;) {  // move past what the read filled
            iovec& v = iov_[first];
            const std::size_t take = std::min(left, v.iov_len);
            v.iov_base = static_cast<std::uint8_t*>(v.iov_base) + take;
            v.iov_len -= take;
            left -= take;
            if (v.iov_len == 0) ++first;
        }
    }

    long taken = 0;
    for (std::size_t i = 0; i < got / record; ++i) {
        const Header h = rec_.layout().decode(staging_.data() + i * head);
        const std::optional<std::size_t> b = rec_.layout().try_block_bytes(h);
        if (!b || *b != block) break;
        if (check_ && !continues(rec_.layout(), *last_, h)) break;
        out.data.set_size((base + (i + 1) * block) / sizeof(Sample));
        accept(out, call, h, block);
        ++taken;
    }
    if (static_cast<std::uint64_t>(taken) != n || got != want) {
        batch_after_ = event_ + kBatchCooldown;
        if (!src.seek_to(offset_, error_)) return -2;  // back to the first record not taken
    }
    return interrupted ? -1 : taken;
}

// Whether the record whose header starts at `p` continues `prev`'s run unlooked.
template <class Layout>
bool ColumnReader<Layout>::links(const Header& prev, const std::uint8_t* p) const {
    return continues(rec_.layout(), prev, rec_.layout().decode(p));
}

// Damage from `at` on; `next` is the record boundary after it, if one was found. A
// recovering reader goes on there; a checking one stops (Corrupt) with offset() at `at`.
template <class Layout>
ReadStop ColumnReader<Layout>::damage(std::uint64_t at, std::optional<std::uint64_t> next) {
    if (!opt_.recover) {
        corrupt_ = true;
        corrupt_at_ = offset_ = at;
        return ReadStop::Corrupt;
    }
    if (!next) {
        searching_ = true;
        damaged_ = offset_ = at;
        return ReadStop::End;
    }
    searching_ = false;
    if (!rec_.source().seek_to(*next, error_)) return ReadStop::Error;
    skipped_.push_back({event_, at, *next - at});
    offset_ = *next;
    last_.reset();  // nothing vouches for the first record after damage
    before_.reset();
    return ReadStop::Limit;  // go on
}

// Damage at `damaged`: goes on at the next boundary, or waits for more of the file.
template <class Layout>
ReadStop ColumnReader<Layout>::recover_from(std::uint64_t damaged) {
    if (!opt_.recover) return damage(damaged, std::nullopt);  // stopping there: nothing to look for
    // The successor of the last record, its own record damaged, is a header all the same.
    const std::uint64_t from =
        damaged + (last_ && framer_.succeeded(*last_, damaged) ? rec_.layout().header_bytes() : 1);
    return damage(damaged, framer_.find_boundary(from, UINT64_MAX, last_ ? &*last_ : nullptr));
}

// The header after the unconfirmed last record neither follows on from it nor starts a run.
// The record is kept only when what lies at its end is its successor, damaged, or a fill
// that starts there: damage that begins inside a record leaves it its length and fills its
// tail with other bytes, so nothing less tells that it is whole. Else it is damage itself,
// and the search started just after its header finds what it would have swallowed.
template <class Layout>
ReadStop ColumnReader<Layout>::reject_last(Columns<Layout>& out, Call& call) {
    const std::uint64_t end = last_at_ + last_length_;
    // Stopping at the damage, only a boundary inside the record or just after it matters.
    const std::size_t head = rec_.layout().header_bytes();
    // A header its predecessor vouches for is one: no boundary starts inside it.
    const std::uint64_t from = last_at_ + (before_ && chains(*before_, *last_) ? head : 1);
    const std::optional<std::uint64_t> next =
        framer_.find_boundary(from, opt_.recover ? UINT64_MAX : end + head, before_ ? &*before_ : nullptr);
    // A boundary less than a header past its end is its successor, and the bytes at its end
    // that chain with it are that header read a few bytes early (small fields shift into
    // small fields): bytes were added inside the record.
    const bool at_end = next && *next == end;  // the successor, whose own record is damage
    if ((!next || at_end || *next >= end + head) &&
        (framer_.succeeded(*last_, end) || framer_.fill_at(end))) {
        provisional_ = false;
        return at_end ? recover_from(end) : damage(end, next);
    }
    rollback(out, call);
    return damage(last_at_, next);
}

// The unconfirmed last record cannot be judged until the file grows: it leaves the columns
// and is read again then.
template <class Layout>
ReadStop ColumnReader<Layout>::wait_last(Columns<Layout>& out, Call& call) {
    rollback(out, call);
    if (!rec_.source().seek_to(offset_, error_)) return ReadStop::Error;
    waiting_ = true;
    return ReadStop::End;
}

// Judges the header at offset_, before the record reader reads it: whether it confirms the
// last record, and whether the record it starts belongs to the file. Limit: read it.
template <class Layout>
ReadStop ColumnReader<Layout>::check_next(Columns<Layout>& out, Call& call) {
    const std::size_t head = rec_.layout().header_bytes();
    if (offset_ + head > framer_.size()) {  // the end of the file, or part of a header
        // The bytes there must be able to begin the successor; else the record's end is in
        // doubt and it waits, out of the columns, for the file to grow.
        if (provisional_ && offset_ < framer_.size() && !framer_.cut_header_follows(last_at_, offset_))
            return wait_last(out, call);
        provisional_ = false;
        return ReadStop::Limit;
    }
    Header h;
    std::uint64_t length;
    const bool whole = framer_.header(offset_, h, length);
    const bool linked = whole && last_ && chains(*last_, h);
    // Not a header, or one that neither follows on from the last record nor starts a run. (A
    // run of one record between two others is not told from a header whose run fields were
    // damaged in place: it is damage.)
    const bool starts_run = whole && framer_.chain_from(offset_, true);
    // A new run's first record still being written: the last record waits with it.
    if (whole && last_ && !linked && offset_ + length > framer_.size() &&
        !framer_.find_boundary(offset_ + 1)) {
        if (provisional_) return wait_last(out, call);
        waiting_ = true;
        return ReadStop::End;
    }
    if (!whole || (last_ && !linked && !starts_run)) {
        if (provisional_) return reject_last(out, call);
        return recover_from(offset_);
    }
    if (linked && same_size(*last_, h) && steady(*last_, h)) {  // continues the run
        provisional_ = false;
        return ReadStop::Limit;
    }
    // Counters skipped: the records that had them may lie inside the last one.
    if (linked && provisional_ && !steady(*last_, h) && framer_.swallows(*last_, last_at_, last_length_))
        return reject_last(out, call);
    // A header that is damage confirms nothing before it.
    switch (framer_.vet(h, offset_, length)) {
        case Framer<Layout>::Verdict::Take:
            // One that runs past the end of the file (being written, or bytes that look so)
            // confirms the last record only as its successor; the start of a new run leaves it
            // to wait, out of the columns, until that record is whole.
            if (provisional_ && offset_ + length > framer_.size()) {
                if (linked && !framer_.succeeded(*last_, offset_)) return reject_last(out, call);
                if (!linked) return wait_last(out, call);
            }
            provisional_ = false;
            return ReadStop::Limit;
        case Framer<Layout>::Verdict::Damage:
            if (provisional_) return reject_last(out, call);
            return recover_from(offset_);
        case Framer<Layout>::Verdict::Wait: break;
    }
    provisional_ = false;
    waiting_ = true;  // judged again once the file has grown
    return ReadStop::End;
}

// Resolves the unconfirmed last record at the end of a call: nothing leaves the reader
// before the header after it was judged, as a read that goes on past it judges it.
template <class Layout>
ReadStop ColumnReader<Layout>::settle(Columns<Layout>& out, Call& call) {
    assert(offset_ == last_at_ + last_length_);
    return check_next(out, call);
}

// One record through the record reader: boundaries of the buffer, large blocks, the end
// of the file, errors and faults.
template <class Layout>
ReadStop ColumnReader<Layout>::one_record(Columns<Layout>& out, Call& call) {
    // Under a byte limit, a record whose header is at hand and that would pass it waits
    // for the next call (a header cut by the buffer's end is read with its record).
    const std::size_t head = rec_.layout().header_bytes();
    if (call.max_bytes != UINT64_MAX && call.events != 0 && rec_.idle() && !rec_.done() &&
        rec_.source().buffered() == 0) {
        IoError err;
        if (!rec_.source().refill(err, head)) {
            if (err.kind == ErrorKind::UnexpectedEof) return ReadStop::End;
            if (err.kind == ErrorKind::Interrupted) return ReadStop::Interrupted;
            // other failures: the record reader reads again and reports them in its way
        }
    }
    if (call.max_bytes != UINT64_MAX && rec_.idle() && rec_.source().buffered() >= head) {
        const std::optional<std::size_t> block =
            rec_.layout().try_block_bytes(rec_.layout().decode(rec_.source().buffered_data()));
        if (block && !call.fits(0, head + *block)) {
            call.full = true;
            return ReadStop::Limit;
        }
    }
    // A stream cannot be searched, but a header that no record has (zeros, say) still stops it.
    if (stream_checks_ && rec_.idle() && rec_.source().buffered() >= head &&
        !plausible(rec_.layout(), rec_.layout().decode(rec_.source().buffered_data()))) {
        corrupt_ = true;
        corrupt_at_ = offset_;
        rec_.source().consume(head);  // the next read goes on after it, as after a corrupt size
        return ReadStop::Corrupt;
    }
    if (check_ && rec_.idle()) {
        // Damage passed over, or a record taken back: the header now at offset_ is judged
        // afresh (a boundary found after damage may be the header just judged).
        const std::uint64_t at = offset_, events = out.events;
        const std::size_t skips = skipped_.size();
        const ReadStop s = check_next(out, call);
        if (s != ReadStop::Limit || offset_ != at || out.events != events || skipped_.size() != skips)
            return s;
    }
    const std::size_t base = opt_.data ? out.data.size() * sizeof(Sample) : 0;
    typename RecordReader<Layout>::Result r;
    try {
        r = rec_.next_into(opt_.data ? &out.data : nullptr, base);
    } catch (const CapacityOverflow&) {
        if (!opt_.recover || !regular_) {
            corrupt_ = true;  // offset_ names the header; the record reader stands after it
            corrupt_at_ = offset_;
            return ReadStop::Corrupt;
        }
        return recover_from(offset_);
    }
    using Kind = typename RecordReader<Layout>::Result::Kind;
    if (r.kind == Kind::End) return ReadStop::End;
    if (r.kind == Kind::Error) {
        error_ = r.error;
        return r.error.kind == ErrorKind::Interrupted ? ReadStop::Interrupted : ReadStop::Error;
    }
    const Header& h = r.record.header;
    if (stream_checks_ && !plausible(rec_.layout(), h)) {  // read whole before its header could be seen
        if (opt_.data) out.data.set_size(base / sizeof(Sample));
        corrupt_ = true;
        corrupt_at_ = offset_;
        corrupt_length_ = rec_.layout().header_bytes() + *rec_.layout().try_block_bytes(h);
        return ReadStop::Corrupt;
    }
    accept(out, call, h, *rec_.layout().try_block_bytes(h));
    return ReadStop::Limit;
}

template <class Layout>
ReadStop ColumnReader<Layout>::read(Columns<Layout>& out, std::uint64_t max_events, std::uint64_t max_bytes) {
    Call call{max_events, max_bytes};
    BufReader& src = rec_.source();
    src.begin_call();
    size_ = regular_ ? src.regular_size() : -1;
    framer_.set_size(size_ > 0 ? static_cast<std::uint64_t>(size_) : 0);
    waiting_ = false;
    if (corrupt_) {  // the last call stopped at damage; this one goes on after it
        corrupt_ = false;
        if (check_) {
            const std::optional<std::uint64_t> next = framer_.find_boundary(corrupt_at_ + 1);
            if (!next) {
                searching_ = true;  // found later, or never: the damage stays pending
                damaged_ = offset_ = corrupt_at_;
                return ReadStop::End;
            }
            if (!src.seek_to(*next, error_)) return ReadStop::Error;
            offset_ = *next;
            last_.reset();
        } else {
            offset_ += corrupt_length_;
        }
        corrupt_length_ = rec_.layout().header_bytes();
    }
    if (searching_) {  // looked at again with what the file holds now, the damage's start too
        ReadStop s = damage(damaged_, framer_.find_boundary(damaged_, UINT64_MAX, last_ ? &*last_ : nullptr));
        if (s != ReadStop::Limit) return s;
    }
    for (;;) {
        ReadStop stop = ReadStop::Limit;
        while (call.more()) {
            if (rec_.idle()) {
                const long taken = batch(out, call);
                if (taken == -1) return ReadStop::Interrupted;
                if (taken == -2) return ReadStop::Error;
                if (taken > 0) continue;
                from_buffer_run(out, call);
                from_buffer(out, call);
                if (!call.more()) break;
            }
            const ReadStop s = one_record(out, call);
            if (s == ReadStop::Limit) continue;
            if (s != ReadStop::End || !provisional_ || !rec_.idle()) return s;
            stop = s;  // the last record is judged first
            break;
        }
        if (!(provisional_ && rec_.idle())) return stop;
        const std::uint64_t events = out.events, at = offset_;
        const ReadStop s = settle(out, call);
        if (s != ReadStop::Limit) return s;
        if (out.events == events && offset_ == at) return stop;  // confirmed
        // taken back, or damage passed over after it: read on
    }
}

template class ColumnReader<WD1Layout>;
template class ColumnReader<WD2Layout>;

}  // namespace vorn
