// Tests of the buffered source: exact reads, injected EINTR, seeking, errors.
#include <gtest/gtest.h>

#include "support.hpp"

using namespace test;
using vorn::BufReader;
using vorn::ErrorKind;
using vorn::IoError;

namespace {

void hook(int fd, int eintr = 0) {
    read_hook = ReadHook{};
    read_hook.fd = fd;
    read_hook.eintr_before_each = read_hook.pending_eintr = eintr;
}

struct HookReset : ::testing::Test {
    void TearDown() override { read_hook = ReadHook{}; }
};
using BufReaderTest = HookReset;

}  // namespace

TEST_F(BufReaderTest, ShortFileFailsWithUnexpectedEofAndConsumesWhatWasThere) {
    TempFile f({1, 2});
    BufReader r = f.reader();
    std::uint8_t dst[4];
    IoError err;
    ASSERT_FALSE(r.read_exact(dst, 4, err));
    EXPECT_EQ(err.kind, ErrorKind::UnexpectedEof);
    EXPECT_EQ(err.text(), "failed to fill whole buffer");
    EXPECT_EQ(dst[0], 1);
    EXPECT_EQ(dst[1], 2);
    hook(r.fd());
    ASSERT_FALSE(r.read_exact(dst, 4, err));
    EXPECT_EQ(err.kind, ErrorKind::UnexpectedEof);
    EXPECT_EQ(read_hook.calls.size(), 1u);  // one read that found the end, nothing re-read
}

TEST_F(BufReaderTest, ZeroBytesAtEndOfFileSucceedWithoutReading) {
    TempFile f;
    BufReader r = f.reader();
    hook(r.fd());
    IoError err;
    EXPECT_TRUE(r.read_exact(nullptr, 0, err));
    EXPECT_TRUE(read_hook.calls.empty());
}

// Also a read larger than the buffer.
TEST_F(BufReaderTest, InjectedEintrIsRetriedAndShortReadsAreCompleted) {
    Bytes data(BufReader::kCapacity + 30000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i ^ (i >> 8));
    TempFile f(data);
    BufReader r = f.reader();
    hook(r.fd(), 3);
    read_hook.max_chunk = 1000;
    Bytes dst(data.size());
    IoError err;
    ASSERT_TRUE(r.read_exact(dst.data(), dst.size(), err));
    EXPECT_EQ(dst, data);
}

TEST_F(BufReaderTest, SeekToStartDiscardsBufferedBytes) {
    TempFile f({10, 11, 12, 13, 14, 15});
    BufReader r = f.reader();
    std::uint8_t dst[4];
    IoError err;
    ASSERT_TRUE(r.read_exact(dst, 2, err));
    EXPECT_EQ(r.buffered(), 4u);
    ASSERT_TRUE(r.seek_to_start(err));
    EXPECT_EQ(r.buffered(), 0u);
    ASSERT_TRUE(r.read_exact(dst, 4, err));
    EXPECT_EQ(dst[0], 10);
    EXPECT_EQ(dst[3], 13);
}

TEST_F(BufReaderTest, ReadErrorIsReturnedWithItsNumber) {
    TempFile f(Bytes(100));
    BufReader r = f.reader();
    hook(r.fd());
    read_hook.fail_after_bytes = 0;
    read_hook.fail_times = 2;  // the read ahead, then the read of the 8 bytes alone
    std::uint8_t dst[8];
    IoError err;
    ASSERT_FALSE(r.read_exact(dst, 8, err));
    EXPECT_EQ(err.kind, ErrorKind::Os);
    EXPECT_EQ(err.code, EIO);
    EXPECT_EQ(err.text(), "Input/output error (os error 5)");
}

TEST(IoErrorText, DescribesTheNumberOrGivesTheFixedMessage) {
    EXPECT_EQ(IoError::from_errno(ENOENT).text(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::from_errno(ESPIPE).text(), "Illegal seek (os error 29)");
    EXPECT_EQ(IoError::from_errno(EINTR).kind, ErrorKind::Interrupted);
    EXPECT_EQ(IoError::nul_byte().text(), "file name contained an unexpected NUL byte");
}

TEST(BufReaderOwnership, DestroyingTheReaderClosesTheDescriptor) {
    TempFile f;
    int fd = f.open_fd();
    { BufReader r(fd); }
    EXPECT_FALSE(fd_is_open(fd));
}

// A big record's storage starts where its samples start in the file, modulo 64.
TEST(SampleStorage, DirectReadsLandAtTheFileOffsetModulo64) {
    Bytes b = test::wd1_counted(24 + 2 * 9, 0);
    b.resize(b.size() + 6);  // shift the next record's samples to file offset 72 mod 64 = 8
    test::append(b, test::wd1_counted(24 + 2 * 50000, 1));
    test::TempFile f(b);
    vorn::BufReader r = f.reader();
    IoError err;
    std::uint8_t head[48 + 24];
    ASSERT_TRUE(r.read_exact(head, sizeof head, err));
    vorn::SampleVec<std::uint16_t> v;
    std::size_t have = 0;
    ASSERT_TRUE(vorn::read_samples(r, v, 0, 100000, have, err));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % vorn::kSampleAlign, 8u);
    EXPECT_EQ(v.data()[49999], 49999);
}
