// Tests of the WD2 decoder and its channel-count probe.
#include <gtest/gtest.h>

#include <cmath>

#include "support.hpp"
#include "wd2_reader.hpp"

using namespace test;
using vorn::CapacityOverflow;
using vorn::IoError;
using vorn::WD2Reader;
using Kind = vorn::NextResult<vorn::WD2Record>::Kind;

namespace {

std::vector<float> ramp(std::size_t n, float start) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = start + float(i);
    return v;
}

// `count` records of `channels` x `samples` floats; channel words only when words is true.
Bytes wd2_file(int count, std::uint32_t first_counter, std::uint32_t samples, int channels, bool words,
               std::uint32_t counter_step = 1) {
    Bytes b;
    for (int i = 0; i < count; ++i) {
        append(b, wd2_record(first_counter + std::uint32_t(i) * counter_step, 1000 + i, samples, 8,
                             words ? channels : -1, ramp(std::size_t(channels) * samples, float(i * 10))));
    }
    return b;
}

WD2Reader open_ok(const TempFile& f) {
    IoError err;
    auto r = WD2Reader::create(f.reader(), err);
    if (!r) throw std::runtime_error(err.text());
    return std::move(*r);
}

struct Hooked : ::testing::Test {
    void TearDown() override { read_hook = ReadHook{}; }
};
using WD2 = Hooked;

}  // namespace

TEST_F(WD2, TwoChannelFileIsProbedAndDecoded) {
    TempFile f(wd2_file(3, 7, 1024, 2, true));
    WD2Reader r = open_ok(f);
    EXPECT_EQ(r.channel_count(), 2);
    EXPECT_EQ(r.source().buffered(), 0u);
    for (int i = 0; i < 3; ++i) {
        auto res = r.next();
        ASSERT_EQ(res.kind, Kind::Record);
        EXPECT_EQ(res.record.header.event_counter, 7u + i);
        EXPECT_EQ(res.record.header.timestamp, 1000u + i);
        EXPECT_EQ(res.record.header.channels, 2);
        ASSERT_EQ(res.record.data.size(), 2048u);
        EXPECT_EQ(res.record.data.data()[2047], float(i * 10 + 2047));
    }
    EXPECT_EQ(r.next().kind, Kind::End);
}

TEST_F(WD2, DisagreeingCountersMeanOneChannel) {
    // A two-channel file whose first counters are 7 and 9 is read as one channel: 24-byte
    // headers, and the channel word becomes the first sample.
    Bytes b = wd2_record(7, 0, 1024, 8, 2, ramp(2048, 0));
    append(b, wd2_record(9, 0, 1024, 8, 2, ramp(2048, 1)));
    TempFile f(b);
    WD2Reader r = open_ok(f);
    EXPECT_EQ(r.channel_count(), 1);
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Record);
    EXPECT_EQ(res.record.header.event_counter, 7u);
    EXPECT_EQ(res.record.header.channels, 1);
    ASSERT_EQ(res.record.data.size(), 1024u);
    std::uint32_t bits;
    std::memcpy(&bits, res.record.data.data(), 4);
    EXPECT_EQ(bits, 2u);
    EXPECT_EQ(res.record.data.data()[1], 0.0f);
    EXPECT_EQ(res.record.data.data()[1023], 1022.0f);
}

class WD2Probe : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t, int>> {};

// (first counter, second counter, expected channel count) for a three-channel file.
TEST_P(WD2Probe, CounterRuleWrapsAt32Bits) {
    auto [c1, c2, expected] = GetParam();
    Bytes b = wd2_record(c1, 5, 4, 9, 3, ramp(12, 0));
    append(b, wd2_record(c2, 6, 4, 9, 3, ramp(12, 1)));
    TempFile f(b);
    EXPECT_EQ(open_ok(f).channel_count(), expected);
}

INSTANTIATE_TEST_SUITE_P(Counters, WD2Probe,
                         ::testing::Values(std::make_tuple(7u, 8u, 3), std::make_tuple(4294967295u, 0u, 3),
                                           std::make_tuple(7u, 7u, 1), std::make_tuple(8u, 7u, 1)));

TEST_F(WD2, ProbeComparesPeriodsOnAll64BitsAndIgnoresTimestamps) {
    Bytes same = wd2_record(1, 111, 4, 0x100000008ull, 2, ramp(8, 0));
    append(same, wd2_record(2, 999, 4, 0x100000008ull, 2, ramp(8, 0)));
    TempFile a(same);
    EXPECT_EQ(open_ok(a).channel_count(), 2);
    Bytes differ = wd2_record(1, 111, 4, 0x100000008ull, 2, ramp(8, 0));
    append(differ, wd2_record(2, 111, 4, 0x200000008ull, 2, ramp(8, 0)));
    TempFile b(differ);
    EXPECT_EQ(open_ok(b).channel_count(), 1);
}

// Files too short to probe fail with the end-of-file error, and the file is closed.
class WD2Short : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WD2Short, ProbeFailsWithUnexpectedEofAndClosesTheFile) {
    Bytes b = wd2_file(2, 1, 16, 2, true);
    b.resize(GetParam());
    TempFile f(b);
    int fd = f.open_fd();
    IoError err;
    auto r = WD2Reader::create(vorn::BufReader(fd), err);
    EXPECT_FALSE(r.has_value());
    EXPECT_EQ(err.text(), "failed to fill whole buffer");
    EXPECT_FALSE(fd_is_open(fd));
}

// empty; inside the first header; one whole record; inside the skip; inside the second header
INSTANTIATE_TEST_SUITE_P(Cuts, WD2Short, ::testing::Values(0u, 27u, 28u + 128u, 100u, 28u + 128u + 27u));

TEST_F(WD2, OneChannelFileWhoseFirstSampleIsNotAChannelWordOpens) {
    // 1.5 has the bit pattern 0x3FC00000: as a channel word its block would be negative.
    for (float first : {1.5f, 0.0f, -2.0f, 3.0e38f}) {
        Bytes b;
        for (int i = 0; i < 3; ++i) {
            std::vector<float> d = ramp(100, float(i));
            d[0] = first;
            append(b, wd2_record(10 + i, 0, 100, 4, -1, d));
        }
        TempFile f(b);
        WD2Reader r = open_ok(f);
        EXPECT_EQ(r.channel_count(), 1) << first;
        for (int i = 0; i < 3; ++i) {
            auto res = r.next();
            ASSERT_EQ(res.kind, Kind::Record);
            EXPECT_EQ(res.record.header.event_counter, 10u + i);
            EXPECT_EQ(res.record.header.channels, 1);
            ASSERT_EQ(res.record.data.size(), 100u);
            EXPECT_EQ(res.record.data.data()[0], first);
            EXPECT_EQ(res.record.data.data()[99], float(99 + i));
        }
        EXPECT_EQ(r.next().kind, Kind::End);
    }
}

TEST_F(WD2, RecordChannelWordIsReportedButTheProbedCountSizesTheBlock) {
    Bytes b = wd2_file(2, 1, 5, 2, true);
    append(b, wd2_record(3, 0, 5, 8, 3, ramp(10, 0)));
    append(b, wd2_record(4, 0, 5, 8, 2, ramp(10, 100)));
    TempFile f(b);
    WD2Reader r = open_ok(f);
    r.next();
    r.next();
    auto res = r.next();
    EXPECT_EQ(res.record.header.channels, 3);
    EXPECT_EQ(res.record.data.size(), 10u);
    res = r.next();
    ASSERT_EQ(res.kind, Kind::Record);
    EXPECT_EQ(res.record.data.data()[0], 100.0f);
}

TEST_F(WD2, FloatBitPatternsPassThroughUnchanged) {
    const std::uint32_t patterns[] = {0x3F800000u, 0x7FC00001u, 0xFFA12345u, 0x7F800000u,
                                      0xFF800000u, 0x00000001u, 0x80000000u};
    Bytes bits;
    for (std::uint32_t p : patterns) put_le(bits, p, 4);
    const Bytes rec = record<vorn::WD2Layout>({1, 0, 7, 0, 0}, bits, false);
    Bytes b = rec;
    append(b, rec);
    TempFile f(b);
    WD2Reader r = open_ok(f);
    ASSERT_EQ(r.channel_count(), 1);  // 1.0f as a word would be huge: one channel
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Record);
    for (std::size_t i = 0; i < 7; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, res.record.data.data() + i, 4);
        EXPECT_EQ(bits, patterns[i]) << i;
    }
    EXPECT_EQ(res.record.data.data()[0], 1.0f);
}

TEST_F(WD2, PipeCannotSeekBackAndTheFileIsClosed) {
    Bytes b = wd2_file(2, 1, 4, 2, true);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], b.data(), b.size()), ssize_t(b.size()));
    close(p[1]);
    IoError err;
    auto r = WD2Reader::create(vorn::BufReader(p[0]), err);
    EXPECT_FALSE(r.has_value());
    EXPECT_EQ(err.text(), "Illegal seek (os error 29)");
    EXPECT_FALSE(fd_is_open(p[0]));
}

// The true block size decides: 2 x 1073741825 x 4 wraps to 8 in 32 bits, and must not be
// read as two floats.
TEST_F(WD2, BlockOverTwoGigabytesIsAFaultWithTheHeaderConsumed) {
    Bytes b = wd2_file(2, 1, 2, 2, true);
    append(b, wd2_record(3, 0, 1073741825u, 8, 2, {}));
    append(b, wd2_record(4, 0, 2, 8, 2, ramp(4, 50)));
    TempFile f(b);
    WD2Reader r = open_ok(f);
    r.next();
    r.next();
    EXPECT_THROW(r.next(), CapacityOverflow);
    auto res = r.next();
    ASSERT_EQ(res.kind, Kind::Record);
    EXPECT_EQ(res.record.header.event_counter, 4u);
    EXPECT_EQ(res.record.data.data()[0], 50.0f);
}

TEST_F(WD2, ProbeNeverFaultsOnHugeChannelWords) {
    // A channel word whose block would exceed 2 GiB cannot be real: one channel, no skip.
    Bytes b = wd2_record(1, 0, 1u << 30, 8, 4, {});
    append(b, Bytes(64, 0));
    TempFile f(b);
    IoError err;
    auto r = WD2Reader::create(f.reader(), err);
    ASSERT_TRUE(r.has_value()) << err.text();
    EXPECT_EQ(r->channel_count(), 1);
}

// A read error surfaces at the record whose bytes cannot be read, also when reads run far
// ahead of the records returned, whether the read returns the bytes before the bad ones or
// fails as a whole, and with an EINTR before every read; that record resumes once the bytes
// can be read again.
struct ReadError {
    std::uint32_t samples;  // per channel, 2 channels
    int count;              // records in the file
    int failing;            // the record holding the first unreadable byte
    std::size_t into;       // that byte's offset in the record
};
class WD2ReadError : public WD2, public ::testing::WithParamInterface<std::tuple<ReadError, bool, bool>> {};

TEST_P(WD2ReadError, IsReturnedAtItsRecordAndReadingCarriesOn) {
    const auto [p, whole, eintr] = GetParam();
    TempFile f(wd2_file(p.count, 1, p.samples, 2, true));
    WD2Reader r = open_ok(f);
    const std::size_t rec = 28 + 2 * p.samples * 4;
    read_hook = ReadHook{};
    read_hook.fd = r.source().fd();
    read_hook.fail_after_bytes = long(rec * std::size_t(p.failing) + p.into);
    read_hook.fail_times = 1000;  // unreadable until healed below
    read_hook.fail_whole = whole;
    read_hook.eintr_before_each = read_hook.pending_eintr = eintr;
    std::vector<std::uint32_t> got;
    int errors = 0;
    for (;;) {
        auto res = r.next();
        if (res.kind == Kind::End) break;
        if (res.kind == Kind::Error) {
            EXPECT_EQ(res.error.code, EIO);
            EXPECT_EQ(got.size(), std::size_t(p.failing));
            ++errors;
            read_hook.fail_times = 0;
            continue;
        }
        const std::uint32_t i = res.record.header.event_counter - 1;
        EXPECT_EQ(res.record.data.data()[2 * p.samples - 1], float(i * 10 + 2 * p.samples - 1));
        got.push_back(i);
    }
    EXPECT_EQ(errors, 1);
    ASSERT_EQ(got.size(), std::size_t(p.count));  // nothing lost, nothing twice
    for (int i = 0; i < p.count; ++i) EXPECT_EQ(got[std::size_t(i)], std::uint32_t(i));
}

// Blocks of 2 x 3000 and 2 x 16384 floats go straight to their storage; 2 x 64 and 2 x 1024 through the
// buffer.
INSTANTIATE_TEST_SUITE_P(
    Offsets, WD2ReadError,
    ::testing::Combine(::testing::Values(ReadError{3000, 4, 1, 100}, ReadError{64, 600, 500, 0},
                                         ReadError{64, 600, 500, 10}, ReadError{64, 600, 500, 100},
                                         ReadError{1024, 100, 90, 8000}, ReadError{16384, 6, 3, 28 + 70000}),
                       ::testing::Bool(), ::testing::Bool()));

TEST_F(WD2, ProbeSkipDoesNotAllocate) {
    TempFile f(wd2_file(2, 1, 200000, 2, true));
    vorn::BufReader src = f.reader();
    largest_aligned_alloc = 0;
    IoError err;
    auto r = WD2Reader::create(std::move(src), err);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->channel_count(), 2);
    // The read-ahead buffer may grow as the skip reads on; no block for the 1.6 MB skipped.
    EXPECT_LE(largest_aligned_alloc, vorn::BufReader::kCapacity + vorn::kSampleAlign);
}
