// Every sample-storage path against every way bytes arrive: blocks just below, at and above
// each size the reader treats differently, read whole, cut and grown, and through a pipe,
// for WD1, WD2 with one channel and WD2 with channel words; read by the record reader and
// by the column reader.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <bit>
#include <optional>
#include <thread>

#include "column_feed.hpp"
#include "support.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

using namespace test;
using vorn::BufReader;

namespace {

// A layout as the matrix sees it: writes a record, opens a reader, checks a header.
struct WD1Traits {
    using Layout = vorn::WD1Layout;
    using Sample = std::uint16_t;
    static constexpr std::size_t kHeader = 24;
    static constexpr std::size_t kUnit = 2;  // block sizes step by this

    static Sample value(std::uint32_t x) { return Sample(x % 65535 + 1); }
    // Every field differs between records and cases, so that mixed-up header bytes show.
    static Bytes header(std::uint32_t seed, std::uint32_t counter, std::size_t block) {
        return test::record<Layout>({std::int32_t(kHeader + block), std::int32_t(seed),
                                     std::int32_t(~counter), std::int32_t(counter * 7 + 1),
                                     std::int32_t(counter), std::int32_t(seed ^ 0x80000000u)});
    }
    static bool header_ok(const Layout::Header& h, std::uint32_t seed, std::uint32_t counter,
                          std::size_t block) {
        return h.event_size == std::int32_t(kHeader + block) && h.board_id == std::int32_t(seed) &&
               h.pattern == std::int32_t(~counter) && h.board_channel == std::int32_t(counter * 7 + 1) &&
               h.event_counter == std::int32_t(counter) && h.timestamp == std::int32_t(seed ^ 0x80000000u);
    }
    static std::optional<vorn::RecordReader<Layout>> open(BufReader src, bool) {
        return vorn::RecordReader<Layout>(std::move(src), Layout{});
    }
};

template <int Channels>  // 1: no channel words
struct WD2Traits {
    using Layout = vorn::WD2Layout;
    using Sample = float;
    static constexpr std::size_t kHeader = Channels >= 2 ? 28 : 24;
    static constexpr std::size_t kUnit = 4 * Channels;

    // In [2, 8): never NaN; as a channel word far too large, so one-channel files probe as such.
    static Sample value(std::uint32_t x) { return std::bit_cast<float>(0x40000000u | (x & 0x00FFFFFFu)); }
    static Bytes header(std::uint32_t seed, std::uint32_t counter, std::size_t block) {
        return wd2_record(counter, std::uint64_t(seed) << 32 | counter, std::uint32_t(block / kUnit), 8,
                          Channels >= 2 ? Channels : -1, {});
    }
    static bool header_ok(const Layout::Header& h, std::uint32_t seed, std::uint32_t counter,
                          std::size_t block) {
        return h.event_counter == counter && h.timestamp == (std::uint64_t(seed) << 32 | counter) &&
               h.samples == block / kUnit && h.sampling_period == 8 && h.channels == Channels;
    }
    // A file is probed for its channel count as the module does; a pipe cannot be, so its
    // reader is given the count.
    static std::optional<vorn::RecordReader<Layout>> open(BufReader src, bool seekable) {
        if (!seekable) return vorn::RecordReader<Layout>(std::move(src), Layout{Channels});
        vorn::IoError err;
        std::optional<vorn::WD2Reader> r = vorn::WD2Reader::create(std::move(src), err);
        if (!r || r->channel_count() != Channels) return std::nullopt;
        return std::move(*r);  // the reader without its probe's name for the count
    }
};

// SizeUnknown: a whole file whose fstat size is 0, as under /proc.
enum class Arrival : std::uint8_t { Whole, SizeUnknown, Cut, CutsInARow, SmallChunks, LargeChunks };
constexpr const char* kArrivalNames[] = {"whole", "size0", "cut", "cuts", "pipe_small", "pipe_large"};
constexpr const char* kLayoutNames[] = {"WD1", "WD2_1ch", "WD2_words"};

struct Case {
    int layout;         // index into kLayoutNames
    std::size_t block;  // the big records' sample block in bytes
    Arrival arrival;
    std::size_t cut;     // Cut: bytes of the second big record present at first
    std::uint32_t seed;  // unique per case
};

// Each file: two small records (the WD2 probe reads them), two big ones back to back (the
// second gets the storage the first gave back to the block cache), a small one. Cuts
// are counted from the start of the second big record.
constexpr std::size_t kSmallBlock = 40;
constexpr std::uint32_t kRecords = 5;
constexpr std::uint32_t kCutRecord = 3;
bool is_big(std::uint32_t counter) {
    return counter == 2 || counter == 3;
}

// Inside the header, at its end, just past it, around the read sizes, half way, one short,
// at the record's end, one byte into the next header (read ahead with the samples).
std::vector<std::size_t> cut_offsets(std::size_t header, std::size_t block) {
    std::vector<std::size_t> out;
    for (std::size_t c :
         {std::size_t{1}, header - 1, header, header + 1, header + 4095, header + 8192, header + 65535,
          header + 65537, header + block / 2, header + block - 1, header + block, header + block + 1}) {
        if (c <= header + block + 1 && (out.empty() || c > out.back())) out.push_back(c);
    }
    return out;
}

std::vector<Case> all_cases() {
    constexpr std::size_t kUnits[] = {WD1Traits::kUnit, WD2Traits<1>::kUnit, WD2Traits<2>::kUnit};
    constexpr std::size_t kHeaders[] = {WD1Traits::kHeader, WD2Traits<1>::kHeader, WD2Traits<2>::kHeader};
    // (size, step): the first read and placed blocks at 8192, direct reads and whole
    // allocation at 65536, the read-ahead buffer at 256 KiB; beyond the block cache at 9 MiB.
    const std::pair<std::size_t, int> sizes[] = {
        {0, 1},      {8192, -1},   {8192, 0},   {8192, 1},   {65536, -1},  {65536, 0},  {65536, 1},
        {200000, 0}, {262144, -1}, {262144, 0}, {262144, 1}, {2 << 20, 0}, {9 << 20, 0}};
    std::vector<Case> out;
    std::uint32_t seed = 1;
    for (int layout = 0; layout < 3; ++layout) {
        for (auto [size, step] : sizes) {
            const std::size_t block =
                std::size_t(std::ptrdiff_t(size) + step * std::ptrdiff_t(kUnits[layout]));
            const bool huge = block > (4 << 20);  // a few patterns suffice
            for (Arrival a : {Arrival::Whole, Arrival::SizeUnknown, Arrival::CutsInARow, Arrival::SmallChunks,
                              Arrival::LargeChunks}) {
                if (!(huge && a == Arrival::SmallChunks)) out.push_back({layout, block, a, 0, seed++});
            }
            for (std::size_t cut : cut_offsets(kHeaders[layout], block)) {
                if (!huge || cut == kHeaders[layout] + block / 2)
                    out.push_back({layout, block, Arrival::Cut, cut, seed++});
            }
        }
    }
    return out;
}

// Sample i of record `counter` in case `seed`: its own bits, made a valid value of the layout.
template <class L>
typename L::Sample sample(std::uint32_t seed, std::uint32_t counter, std::size_t i) {
    return L::value(sample_bits(seed * kRecords + counter, i));
}

template <class L>
Bytes matrix_record(std::uint32_t seed, std::uint32_t counter, std::size_t block) {
    Bytes b = L::header(seed, counter, block);
    const std::size_t at = b.size();
    b.resize(at + block);
    for (std::size_t i = 0; i < block / sizeof(typename L::Sample); ++i) {
        const auto v = sample<L>(seed, counter, i);
        std::memcpy(b.data() + at + i * sizeof v, &v, sizeof v);
    }
    return b;
}

template <class L>
::testing::AssertionResult is_record(const typename vorn::RecordReader<typename L::Layout>::Result& res,
                                     std::uint32_t seed, std::uint32_t counter, std::size_t block) {
    using Kind = typename vorn::RecordReader<typename L::Layout>::Result::Kind;
    if (res.kind != Kind::Record) {
        return ::testing::AssertionFailure()
               << "record " << counter
               << " missing: " << (res.kind == Kind::End ? "end of data" : res.error.text());
    }
    if (!L::header_ok(res.record.header, seed, counter, block)) {
        return ::testing::AssertionFailure() << "record " << counter << ": wrong header";
    }
    const std::size_t n = block / sizeof(typename L::Sample);
    if (res.record.data.size() != n) {
        return ::testing::AssertionFailure()
               << "record " << counter << ": " << res.record.data.size() << " samples, written " << n;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto want = sample<L>(seed, counter, i);
        if (res.record.data.data()[i] != want) {
            return ::testing::AssertionFailure()
                   << "record " << counter << ": sample " << i << " of " << n << " is "
                   << +res.record.data.data()[i] << ", written " << +want;
        }
    }
    return ::testing::AssertionSuccess();
}

// Writes `data` into a pipe in chunks whose sizes cycle through `sizes`; stops early when
// the reader has gone.
void feed(int fd, const Bytes& data, const std::vector<std::size_t>& sizes, std::size_t first) {
    for (std::size_t off = 0, k = first; off < data.size(); ++k) {
        const std::size_t n = std::min(sizes[k % sizes.size()], data.size() - off);
        if (write(fd, data.data() + off, n) != ssize_t(n)) break;
        off += n;
    }
    close(fd);
}

class Matrix : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }  // a failed reader closes its pipe early
    void TearDown() override { read_hook = ReadHook{}; }

    // Columns: the column reader behind the same checks, and a header-only read of the whole file.
    template <class L, bool Columns>
    void run() {
        const Case c = GetParam();
        auto block = [&](std::uint32_t k) { return is_big(k) ? c.block : kSmallBlock; };
        Bytes file;
        std::vector<std::size_t> ends;  // where each record ends
        for (std::uint32_t k = 0; k < kRecords; ++k) {
            append(file, matrix_record<L>(c.seed, k, block(k)));
            ends.push_back(file.size());
        }
        const std::size_t cut_start = ends[kCutRecord - 1];
        auto complete = [&](std::size_t bytes) {  // records within the first `bytes`
            return std::uint32_t(std::upper_bound(ends.begin(), ends.end(), bytes) - ends.begin());
        };
        using Result = typename vorn::RecordReader<typename L::Layout>::Result;
        auto open = [](BufReader src, bool seekable, bool data = true) {
            auto r = L::open(std::move(src), seekable);
            if constexpr (Columns)
                return r ? std::optional(column_feed(std::move(*r), data)) : std::nullopt;
            else
                return r;
        };
        // Records from..to-1 come back, then the end of data.
        auto expect_records = [&](auto& r, std::uint32_t from, std::uint32_t to) {
            for (std::uint32_t k = from; k < to; ++k)
                ASSERT_TRUE(is_record<L>(r.next(), c.seed, k, block(k)));
            ASSERT_EQ(r.next().kind, Result::Kind::End);
        };

        if (c.arrival == Arrival::SmallChunks || c.arrival == Arrival::LargeChunks) {
            const std::vector<std::size_t> small = {1, 4093, 23, 8191, 3, 1025, 65, 7777, 25, 2047};
            const std::vector<std::size_t> large = {65537,  299999, 1,      131071, 8193,
                                                    262147, 27,     300007, 65535};
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            std::jthread writer(feed, p[1], std::cref(file),
                                c.arrival == Arrival::SmallChunks ? small : large, std::size_t(c.seed));
            auto r = open(BufReader(p[0]), false);  // destroyed first: a blocked writer sees EPIPE
            ASSERT_NO_FATAL_FAILURE(expect_records(*r, 0, kRecords));
            return;
        }
        // A file cut at each of `cuts` in turn (Whole: none), with a read in between, then whole.
        std::vector<std::size_t> cuts;
        if (c.arrival == Arrival::Cut) cuts = {cut_start + c.cut};
        if (c.arrival == Arrival::CutsInARow) {
            for (std::size_t cut : cut_offsets(L::kHeader, c.block)) cuts.push_back(cut_start + cut);
        }
        cuts.push_back(file.size());
        TempFile f(Bytes(file.begin(), file.begin() + std::ptrdiff_t(cuts[0])));
        auto r = open(f.reader(), true);
        ASSERT_TRUE(r.has_value());
        read_hook.fd = r->source().fd();
        read_hook.size_unknown = c.arrival == Arrival::SizeUnknown;
        ASSERT_NO_FATAL_FAILURE(expect_records(*r, 0, complete(cuts[0])));
        for (std::size_t i = 1; i < cuts.size(); ++i) {
            f.append(
                Bytes(file.begin() + std::ptrdiff_t(cuts[i - 1]), file.begin() + std::ptrdiff_t(cuts[i])));
            ASSERT_NO_FATAL_FAILURE(expect_records(*r, complete(cuts[i - 1]), complete(cuts[i])))
                << "grown to " << cuts[i];
        }
        if constexpr (Columns) {
            auto h = open(f.reader(), true, false);
            ASSERT_TRUE(h.has_value());
            read_hook.fd = h->source().fd();
            ASSERT_NO_FATAL_FAILURE(expect_records(*h, 0, kRecords)) << "header only";
        }
    }
};

TEST_P(Matrix, RecordsComeBackExactly) {
    switch (GetParam().layout) {
        case 0: run<WD1Traits, false>(); break;
        case 1: run<WD2Traits<1>, false>(); break;
        default: run<WD2Traits<2>, false>(); break;
    }
}

TEST_P(Matrix, ColumnsComeBackExactly) {
    switch (GetParam().layout) {
        case 0: run<WD1Traits, true>(); break;
        case 1: run<WD2Traits<1>, true>(); break;
        default: run<WD2Traits<2>, true>(); break;
    }
}

INSTANTIATE_TEST_SUITE_P(All, Matrix, ::testing::ValuesIn(all_cases()), [](const auto& info) {
    const Case& c = info.param;
    std::string name = std::string(kLayoutNames[c.layout]) + "_" + std::to_string(c.block) + "_" +
                       kArrivalNames[int(c.arrival)];
    return c.arrival == Arrival::Cut ? name + std::to_string(c.cut) : name;
});

}  // namespace

// A same-size run of 2072-byte WD1 records goes in readv batches, straight into place;
// where the run breaks (another size, a corrupt header, the end of the file) the record
// reader takes over. The column reader must give what the record reader gives.
class ColumnBatches : public ::testing::Test {
protected:
    void TearDown() override { read_hook = ReadHook{}; }

    static constexpr std::size_t kRecord = 2072, kBreak = 20 * kRecord;
    // 300 records, the one at kBreak of `size` bytes, or left out.
    static Bytes file(std::int32_t size = kRecord, bool drop = false) {
        Bytes out;
        for (int i = 0; i < 300; ++i) {
            if (!(drop && i == 20))
                append(out, wd1_counted(i == 20 ? size : kRecord, i, std::uint16_t(i * 1000)));
        }
        return out;
    }
    ColumnFeed<vorn::WD1Layout> feed(const TempFile& f, bool recover) {
        auto feed = column_feed(vorn::WD1Reader(f.reader()), true, recover);
        read_hook.fd = feed.source().fd();
        return feed;
    }
    // The feed gives what `rec` gives, up to the end of data.
    static void expect_same(ColumnFeed<vorn::WD1Layout>& feed, vorn::WD1Reader& rec) {
        for (int i = 0;; ++i) {
            auto want = rec.next(), got = feed.next();
            ASSERT_EQ(got.kind, want.kind) << "outcome " << i << ": " << got.error.text();
            if (want.kind != vorn::WD1Reader::Result::Kind::Record) return;
            ASSERT_EQ(std::memcmp(&got.record.header, &want.record.header, sizeof want.record.header), 0)
                << i;
            ASSERT_EQ(got.record.data.size(), want.record.data.size()) << i;
            ASSERT_EQ(
                std::memcmp(got.record.data.data(), want.record.data.data(), 2 * want.record.data.size()), 0)
                << i;
        }
    }
};

TEST_F(ColumnBatches, AnotherSizeBreaksARun) {
    TempFile f(file(4120));
    for (bool recover : {false, true}) {  // recovering, it is taken too: the next header chains
        auto columns = feed(f, recover);
        vorn::WD1Reader rec(f.reader());
        ASSERT_NO_FATAL_FAILURE(expect_same(columns, rec));
        EXPECT_TRUE(columns.reader().skipped().empty());
        EXPECT_GT(read_hook.vector_reads, 0);
        read_hook = ReadHook{};
    }
}

TEST_F(ColumnBatches, CorruptHeaderInARun) {
    Bytes damaged = file();
    damaged[kBreak] = 5, damaged[kBreak + 1] = 0;  // event_size 5
    TempFile f(damaged);
    auto plain = feed(f, false);
    vorn::Columns<vorn::WD1Layout> cols;
    EXPECT_EQ(plain.reader().read(cols, UINT64_MAX, UINT64_MAX), vorn::ReadStop::Corrupt);
    EXPECT_EQ(cols.events, 20u);
    EXPECT_EQ(plain.reader().offset(), kBreak);
    EXPECT_EQ(plain.reader().event(), 20u);
    EXPECT_GT(read_hook.vector_reads, 0);

    auto recovering = feed(f, true);  // passes over the damaged record, as if it were not there
    TempFile without(file(kRecord, true));
    vorn::WD1Reader rec(without.reader());
    ASSERT_NO_FATAL_FAILURE(expect_same(recovering, rec));
    ASSERT_EQ(recovering.reader().skipped().size(), 1u);
    const vorn::Skip& skip = recovering.reader().skipped()[0];
    EXPECT_EQ(skip.event, 20u);
    EXPECT_EQ(skip.offset, kBreak);
    EXPECT_EQ(skip.bytes, kRecord);
}

TEST_F(ColumnBatches, FileEndsInsideARun) {
    const Bytes whole = file();
    const auto cut = std::ptrdiff_t(60 * kRecord + 1000);
    const Bytes first(whole.begin(), whole.begin() + cut), rest(whole.begin() + cut, whole.end());
    TempFile f(first), g(first);
    auto columns = feed(f, false);
    vorn::WD1Reader rec(g.reader());
    read_hook.max_chunk = 5000;  // every read and readv comes back short
    ASSERT_NO_FATAL_FAILURE(expect_same(columns, rec));
    EXPECT_EQ(columns.reader().offset(), 60 * kRecord);
    EXPECT_EQ(columns.reader().pending(), 1000u);
    EXPECT_GT(read_hook.vector_reads, 0);
    f.append(rest);
    g.append(rest);
    ASSERT_NO_FATAL_FAILURE(expect_same(columns, rec));
    EXPECT_EQ(columns.reader().offset(), whole.size());
}
