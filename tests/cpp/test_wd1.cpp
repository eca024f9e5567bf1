// Tests of the WD1 decoder: layout, odd sizes, faults, the latch.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "support.hpp"
#include "wd1_reader.hpp"

using namespace test;
using vorn::CapacityOverflow;
using vorn::WD1Reader;
using Kind = vorn::NextResult<vorn::WD1Record>::Kind;

namespace {

struct Hooked : ::testing::Test {
    void TearDown() override { read_hook = ReadHook{}; }
};
using WD1 = Hooked;

Bytes three_records(std::int32_t size) {
    Bytes b;
    for (int i = 0; i < 3; ++i) append(b, wd1_counted(size, 100 + i, std::uint16_t(i * 1000)));
    return b;
}

}  // namespace

TEST_F(WD1, DecodesHeaderAndSamples) {
    Bytes b = wd1_record(28, {0x1234, 0xFFFF}, -1, 7);
    TempFile f(b);
    WD1Reader r(f.reader());
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Record);
    const auto& h = res.record.header;
    EXPECT_EQ(h.event_size, 28);
    EXPECT_EQ(h.board_id, -1);
    EXPECT_EQ(h.pattern, std::int32_t(0xAABBCCDDu));
    EXPECT_EQ(h.board_channel, 3);
    EXPECT_EQ(h.event_counter, 7);
    EXPECT_EQ(h.timestamp, INT_MIN);
    ASSERT_EQ(res.record.data.size(), 2u);
    EXPECT_EQ(res.record.data.data()[0], 4660);
    EXPECT_EQ(res.record.data.data()[1], 65535);
    EXPECT_EQ(r.next().kind, Kind::End);
}

// event_size -> (samples, bytes to the next record)
class WD1Sizes : public ::testing::TestWithParam<std::tuple<std::int32_t, std::size_t, std::size_t>> {};

TEST_P(WD1Sizes, SampleCountTruncatesAndNextRecordFollows) {
    auto [size, samples, stride] = GetParam();
    Bytes b = wd1_record(size, std::vector<std::uint16_t>(samples, 0x0102), 1, 1);
    b.resize(stride);  // an odd size lends its last counted byte to the next record
    append(b, wd1_record(24, {}, 1, 2));
    TempFile f(b);
    WD1Reader r(f.reader());
    auto first = r.next();
    ASSERT_EQ(first.kind, Kind::Record);
    EXPECT_EQ(first.record.data.size(), samples);
    auto second = r.next();
    ASSERT_EQ(second.kind, Kind::Record);
    EXPECT_EQ(second.record.header.event_counter, 2);
    EXPECT_EQ(second.record.data.size(), 0u);
    EXPECT_EQ(r.next().kind, Kind::End);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WD1Sizes,
                         ::testing::Values(std::make_tuple(24, 0u, 24u), std::make_tuple(23, 0u, 24u),
                                           std::make_tuple(25, 0u, 24u), std::make_tuple(27, 1u, 26u),
                                           std::make_tuple(1048, 512u, 1048u),
                                           std::make_tuple(24 + 2 * 9000, 9000u, 24u + 18000u)));

class WD1Corrupt : public ::testing::TestWithParam<std::int32_t> {};

// Every event_size below 23 is corrupt, including the most negative ones whose
// subtraction would wrap to a huge positive block.
TEST_P(WD1Corrupt, SizeBelow23IsAFaultAndTheHeaderStaysConsumed) {
    Bytes b = wd1_record(GetParam(), {});
    append(b, wd1_counted(30, 42));
    TempFile f(b);
    WD1Reader r(f.reader());
    EXPECT_THROW(r.next(), CapacityOverflow);
    EXPECT_FALSE(r.done());
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Record);
    EXPECT_EQ(res.record.header.event_counter, 42);
    EXPECT_EQ(res.record.data.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WD1Corrupt,
                         ::testing::Values(22, 0, -1, INT_MIN, INT_MIN + 1, -2147483625, -2147483624));

TEST_F(WD1, EmptyAndTinyFilesAreEndOfData) {
    TempFile empty;
    WD1Reader a(empty.reader());
    EXPECT_EQ(a.next().kind, Kind::End);
    EXPECT_EQ(a.next().kind, Kind::End);
    TempFile tiny(Bytes(10, 0x30));
    WD1Reader b(tiny.reader());
    EXPECT_EQ(b.next().kind, Kind::End);
    EXPECT_EQ(b.next().kind, Kind::End);
}

TEST_F(WD1, AfterAReadErrorTheReaderIsDoneForGood) {
    TempFile f(three_records(40));
    WD1Reader r(f.reader());
    read_hook = ReadHook{};
    read_hook.fd = r.source().fd();
    read_hook.fail_after_bytes = 0;
    read_hook.fail_times = 2;  // the read ahead, then the read of the header alone
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Error);
    EXPECT_EQ(res.error.code, EIO);
    EXPECT_TRUE(r.done());
    const std::size_t reads = read_hook.calls.size();
    EXPECT_EQ(r.next().kind, Kind::End);  // the file is readable now, but nothing is read
    EXPECT_EQ(read_hook.calls.size(), reads);
}

TEST_F(WD1, DirectoryGivesIsADirectoryError) {
    WD1Reader r(vorn::BufReader(::open("/", O_RDONLY | O_CLOEXEC)));
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Error);
    EXPECT_EQ(res.error.text(), "Is a directory (os error 21)");
    EXPECT_EQ(r.next().kind, Kind::End);
}

// A corrupt header claiming ~2 GiB in a 100 kB file costs what the file holds.
TEST_F(WD1, HugeClaimInSmallFileAllocatesOnlyWhatExists) {
    for (std::int32_t size : {INT_MAX, INT_MAX - 1, 2000000000}) {
        Bytes b = wd1_record(size, std::vector<std::uint16_t>(50000, 7));
        TempFile f(b);
        WD1Reader r(f.reader());
        largest_aligned_alloc = 0;
        EXPECT_EQ(r.next().kind, Kind::End);
        EXPECT_LE(largest_aligned_alloc, 100000 + vorn::kSampleAlign) << size;
    }
}

// The same claim on a pipe grows with what arrives, not with the claim.
TEST_F(WD1, HugeClaimOnAPipeGrowsWithTheData) {
    Bytes b = wd1_record(INT_MAX, std::vector<std::uint16_t>(100000, 7));
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::thread writer([&] {
        ASSERT_EQ(write(p[1], b.data(), b.size()), ssize_t(b.size()));
        close(p[1]);
    });
    WD1Reader r{vorn::BufReader(p[0])};
    largest_aligned_alloc = 0;
    EXPECT_EQ(r.next().kind, Kind::End);
    writer.join();
    EXPECT_LE(largest_aligned_alloc, 2 * b.size() + 65536);
}

TEST_F(WD1, BigRecordIsReadStraightIntoItsStorage) {
    const std::int32_t size = 24 + 2 * 100000;
    TempFile f(wd1_counted(size, 1));
    WD1Reader r(f.reader());
    read_hook = ReadHook{};
    read_hook.fd = r.source().fd();
    largest_aligned_alloc = 0;
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Record);
    // One 8192-byte buffer fill (header and the first samples), then one read of the rest
    // that also asks for the next header.
    EXPECT_EQ(read_hook.calls, (std::vector<std::size_t>{8192, std::size_t(size) - 8192 + 24}));
    EXPECT_EQ(largest_aligned_alloc, std::size_t(size - 24) + vorn::kSampleAlign);  // one block, placed
}
