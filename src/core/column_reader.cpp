// Records straight into columns: the buffer loop, readv batches, and recovery after damage.
#include "column_reader.hpp"

#include <errno.h>
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

// After damage, a record boundary is where kChainLinks headers chain: each record's size
// leads to the next header, which belongs to the same run, with a counter at most
// kCounterStep on (the first one on from the last good record, by less than half the
// range, unless no boundary is found so: that record may itself be damaged).
constexpr int kChainLinks = 3;
constexpr std::uint32_t kCounterStep = 1u << 16;
constexpr std::size_t kSearchWindow = 1 << 20;

// What a run keeps from record to record: the WD1 board (records of its channels may
// interleave, with equal counters), the WD2 sampling period. The block size may change:
// a new size is taken when the header it leads to chains with it.
bool same_run(const WD1Header& a, const WD1Header& b) {
    return a.board_id == b.board_id;
}
bool same_run(const WD2Header& a, const WD2Header& b) {
    return a.sampling_period == b.sampling_period;
}
bool same_size(const WD1Header& a, const WD1Header& b) {
    return a.event_size == b.event_size;
}
bool same_size(const WD2Header& a, const WD2Header& b) {
    return a.samples == b.samples;
}
std::uint32_t counter(const WD1Header& h) {
    return static_cast<std::uint32_t>(h.event_counter);
}
std::uint32_t counter(const WD2Header& h) {
    return h.event_counter;
}
// Record boundaries fall on multiples of this from the start of the file: WD1 records are
// 24 + 2n bytes, WD2 records 24 or 28 + 4n.
constexpr std::uint64_t boundary_step(const WD1Layout&) {
    return 2;
}
constexpr std::uint64_t boundary_step(const WD2Layout&) {
    return 4;
}

bool chains(const auto& prev, const auto& next) {
    return same_run(prev, next) && counter(next) - counter(prev) < kCounterStep;
}
bool goes_on(const auto& last, const auto& next) {
    return counter(next) - counter(last) < 0x80000000u;
}

// pread of up to n bytes, retrying EINTR; the count read (short at the end of the file) or -1.
ssize_t pread_all(int fd, std::uint8_t* dst, std::size_t n, std::uint64_t at) {
    std::size_t have = 0;
    while (have < n) {
        ssize_t r = ::pread64(fd, dst + have, n - have, static_cast<off64_t>(at + have));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        have += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(have);
}

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
    : rec_(std::move(rec)), opt_(opt), offset_(offset), event_(event) {
    regular_ = rec_.source().regular_size() >= 0;
}

template <class Layout>
std::uint64_t ColumnReader<Layout>::pending() const {
    if (searching_) return size_ > 0 ? static_cast<std::uint64_t>(size_) - damaged_ : 0;
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
    offset_ += record;
    ++event_;
    if (last_ && !same_size(*last_, h)) same_size_run_ = 0;
    ++same_size_run_;
    last_ = h;
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
    if (opt_.recover || call.max_bytes != UINT64_MAX || !last_ || same_size_run_ < 2 || !call.more()) return;
    BufReader& src = rec_.source();
    const Layout& layout = rec_.layout();
    const std::size_t head = layout.header_bytes();
    const std::size_t block = *layout.try_block_bytes(*last_);
    const std::size_t record = head + block;
    const std::uint8_t* const p = src.buffered_data();
    const std::size_t most = static_cast<std::size_t>(
        std::min<std::uint64_t>(call.max_events - call.events, src.buffered() / record));
    std::size_t n = 0;
    while (n < most && layout.block_at(p + n * record) == block) ++n;
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
    last_ = layout.decode(p + (n - 1) * record);
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
    reserve_rows(out, call, head, rows);
    std::uint8_t* const at_to = opt_.offsets ? out.offset.end() : nullptr;
    starts_.resize(static_cast<std::size_t>(rows));
    std::size_t taken = 0;
    std::uint64_t bytes = 0;
    std::uint64_t run = same_size_run_;
    std::size_t prev_block = last_ ? *layout.try_block_bytes(*last_) : SIZE_MAX;
    // Recovering: the run each record must keep (`have_last` false: none yet).
    const bool have_last = opt_.recover && last_.has_value();
    Header last = have_last ? *last_ : Header{};
    const bool limited = call.max_bytes != UINT64_MAX;
    while (taken < rows && static_cast<std::size_t>(end - p) >= head) {
        const std::optional<std::size_t> block = layout.block_at(p);
        if (!block || head + *block > static_cast<std::size_t>(end - p)) break;
        if (limited && !call.fits(taken, bytes + head + *block)) {
            call.full = true;
            break;
        }
        // A recovering read leaves a record that starts or leaves a run to the checks of
        // one_record; within a run, `last` stands for every record before.
        if (opt_.recover) {
            const Header h = layout.decode(p);
            if (!(have_last && same_run(last, h) && same_size(last, h))) break;
            last = h;
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
    if (taken != 0) last_ = layout.decode(starts_[taken - 1]);
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
        if (!b || *b != block || (opt_.recover && !(same_run(*last_, h)))) break;
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

// Reads the header at `at` with pread and its record's size.
template <class Layout>
typename ColumnReader<Layout>::At ColumnReader<Layout>::header_at(std::uint64_t at, Header& h,
                                                                  std::size_t& record) {
    std::uint8_t b[Layout::kMaxHeaderBytes];
    const std::size_t head = rec_.layout().header_bytes();
    const ssize_t got = pread_all(rec_.source().fd(), b, head, at);
    if (got < static_cast<ssize_t>(head)) return At::Missing;
    h = rec_.layout().decode(b);
    const std::optional<std::size_t> block = rec_.layout().try_block_bytes(h);
    if (!block) return At::Invalid;
    record = head + *block;
    return At::Valid;
}

// Whether the record at offset_ belongs to the file's records, checked before it is read
// by a recovering reader when it starts a run or changes its block size: its header must
// keep the run's fields and lead to a header that chains with it. A record that runs past
// the end of the file is taken (it may be being written) unless three chained headers
// follow within it: then its size is false.
template <class Layout>
bool ColumnReader<Layout>::belongs(const Header& h, std::size_t record) {
    if (last_ && same_run(*last_, h) && same_size(*last_, h)) return true;
    if (last_ && !same_run(*last_, h)) return false;
    Header next;
    std::size_t next_record;
    switch (header_at(offset_ + record, next, next_record)) {
        case At::Valid: return chains(h, next);
        case At::Invalid: return false;
        case At::Missing: break;
    }
    std::uint64_t found = 0;
    return offset_ + record <= static_cast<std::uint64_t>(size_) || !find_boundary(offset_ + 1, found, true);
}

// Looks for the first boundary at or after `from` where kChainLinks headers chain (fewer
// when the chain ends exactly at the end of the file).
template <class Layout>
bool ColumnReader<Layout>::find_boundary(std::uint64_t from, std::uint64_t& found, bool going_on) {
    const std::uint64_t step = boundary_step(rec_.layout());
    const std::size_t head = rec_.layout().header_bytes();
    const auto size = static_cast<std::uint64_t>(size_);
    std::vector<std::uint8_t> window(kSearchWindow + head);
    for (std::uint64_t start = (from + step - 1) / step * step; start + head <= size;
         start += kSearchWindow) {
        const ssize_t got = pread_all(rec_.source().fd(), window.data(), window.size(), start);
        if (got < 0) return false;
        for (std::size_t i = 0; i < kSearchWindow && i + head <= static_cast<std::size_t>(got); i += step) {
            const Header h = rec_.layout().decode(window.data() + i);
            const std::optional<std::size_t> block = rec_.layout().try_block_bytes(h);
            if (!block) continue;
            if (last_ && !(same_run(*last_, h) && (!going_on || goes_on(*last_, h)))) continue;
            // Follow the chain from this candidate.
            Header prev = h;
            std::uint64_t at = start + i + head + *block;
            int links = 1;
            bool ok = true;
            // The chain may end at the end of the file: exactly, or, after two links,
            // in a record still being written.
            bool ends = false;
            while (links < kChainLinks && !ends) {
                Header next;
                std::size_t record;
                if (at >= size) {
                    ends = true;
                    ok = at == size || links >= 2;
                    break;
                }
                const At found_at = header_at(at, next, record);
                if (found_at == At::Missing) {
                    ends = true;
                    ok = links >= 2;
                } else if (found_at == At::Invalid || !chains(prev, next)) {
                    ok = false;
                    break;
                } else {
                    prev = next;
                    at += record;
                    ++links;
                }
            }
            if (ok) {
                found = start + i;
                return true;
            }
        }
    }
    return false;
}

// Damage at `damaged`: goes on at the next boundary, or waits for more of the file.
template <class Layout>
ReadStop ColumnReader<Layout>::recover_from(std::uint64_t damaged) {
    BufReader& src = rec_.source();
    std::uint64_t found = 0;
    if (!find_boundary(damaged + 1, found, true) && !find_boundary(damaged + 1, found, false)) {
        searching_ = true;
        damaged_ = offset_ = damaged;
        return ReadStop::End;
    }
    searching_ = false;
    if (!src.seek_to(found, error_)) return ReadStop::Error;
    skipped_.push_back({event_, damaged, found - damaged});
    offset_ = found;
    return ReadStop::Limit;  // go on
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
    if (opt_.recover && regular_ && rec_.idle()) {
        Header h;
        std::size_t record = 0;
        if (header_at(offset_, h, record) == At::Valid && !belongs(h, record)) return recover_from(offset_);
    }
    const std::size_t base = opt_.data ? out.data.size() * sizeof(Sample) : 0;
    typename RecordReader<Layout>::Result r;
    try {
        r = rec_.next_into(opt_.data ? &out.data : nullptr, base);
    } catch (const CapacityOverflow&) {
        if (!opt_.recover || !regular_) {
            corrupt_ = true;  // offset_ names the header; the record reader stands after it
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
    accept(out, call, h, *rec_.layout().try_block_bytes(h));
    return ReadStop::Limit;
}

template <class Layout>
ReadStop ColumnReader<Layout>::read(Columns<Layout>& out, std::uint64_t max_events, std::uint64_t max_bytes) {
    Call call{max_events, max_bytes};
    BufReader& src = rec_.source();
    src.begin_call();
    if (corrupt_) {  // the last call stopped at a corrupt header; this one goes on after it
        corrupt_ = false;
        offset_ += rec_.layout().header_bytes();
    }
    size_ = regular_ ? src.regular_size() : -1;
    if (searching_) {
        ReadStop s = recover_from(damaged_);
        if (s != ReadStop::Limit) return s;
    }
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
        ReadStop s = one_record(out, call);
        if (s != ReadStop::Limit) return s;
    }
    return ReadStop::Limit;
}

template class ColumnReader<WD1Layout>;
template class ColumnReader<WD2Layout>;

}  // namespace vorn
