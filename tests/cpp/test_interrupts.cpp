// Tests of interrupted waits: a real signal on a blocked pipe read, the interrupt hook's
// two answers, and records that an interruption cuts short completing on the next call.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "support.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

using namespace test;
using vorn::BufReader;
using vorn::ErrorKind;
using vorn::IoError;

namespace {

std::atomic<int> signals_caught{0};
std::atomic<int> hook_calls{0};
std::atomic<int> signals_handled{0};

bool hook_retry(void*, bool) {
    ++hook_calls;
    return false;
}
// Stops when a signal came since it last looked, as the interpreter's handlers do.
bool hook_stop(void*, bool) {
    ++hook_calls;
    const int caught = signals_caught;
    return signals_handled.exchange(caught) != caught;
}

// Whether thread `tid` sleeps in a read of the pipe whose write end is `wfd`: the pipe is
// empty and the thread asleep (a woken reader runs until it sleeps again).
bool blocked_in_read(pid_t tid, int wfd) {
    int queued = -1;
    if (ioctl(wfd, FIONREAD, &queued) != 0 || queued != 0) return false;
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    return paren != std::string::npos && text.compare(paren + 2, 1, "S") == 0;
}

// A SIGUSR1 handler without SA_RESTART, so that a blocked read fails with EINTR; SIGPIPE
// ignored, so that a test that fails early fails its writer's writes instead of the process.
class SignalTest : public ::testing::Test {
protected:
    void SetUp() override {
        signals_caught = 0;
        signals_handled = 0;
        hook_calls = 0;
        struct sigaction sa {};
        sa.sa_handler = [](int) { ++signals_caught; };
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_), 0);
        old_pipe_ = signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(pipe(p_), 0);
    }
    void TearDown() override {
        quit_ = true;  // the reader is gone by now
        if (writer_.joinable()) writer_.join();
        read_hook = ReadHook{};
        if (p_[1] >= 0) close(p_[1]);
        signal(SIGPIPE, old_pipe_);
        sigaction(SIGUSR1, &old_, nullptr);
    }

    // Writes `first`, signals this thread once its read has drained them and blocks, and
    // writes `rest` only after the signal was taken (so the read must have been
    // interrupted), then closes the pipe.
    void feed(Bytes first, Bytes rest) {
        const pid_t tid = pid_t(syscall(SYS_gettid));
        const pthread_t self = pthread_self();
        writer_ = std::thread([this, tid, self, first = std::move(first), rest = std::move(rest)] {
            EXPECT_EQ(write(p_[1], first.data(), first.size()), ssize_t(first.size()));
            while (!quit_ && !blocked_in_read(tid, p_[1])) std::this_thread::yield();
            pthread_kill(self, SIGUSR1);
            while (!quit_ && signals_caught == 0) std::this_thread::yield();
            EXPECT_EQ(write(p_[1], rest.data(), rest.size()), ssize_t(rest.size()));
            close(std::exchange(p_[1], -1));
        });
    }

    int p_[2] = {-1, -1};
    struct sigaction old_ {};
    sighandler_t old_pipe_ = SIG_DFL;
    std::atomic<bool> quit_{false};
    std::thread writer_;
};

enum class Hook { None, Retry, Stop };

class BufReaderSignal : public SignalTest, public ::testing::WithParamInterface<Hook> {};

// Without a hook, or with one that answers false, the read is retried and completes;
// a hook that answers true ends the wait with the bytes so far kept, and the next fill
// continues the same data.
TEST_P(BufReaderSignal, BlockedReadIsRetriedOrStoppedWithItsBytesKept) {
    BufReader r(p_[0]);
    if (GetParam() != Hook::None) r.set_interrupt_hook(GetParam() == Hook::Stop ? hook_stop : hook_retry);
    feed({'a', 'b', 'c'}, {'d', 'e', 'f'});
    std::uint8_t dst[6] = {};
    std::size_t have = 0;
    IoError err;
    bool ok = r.fill(dst, 6, have, err);
    if (GetParam() == Hook::Stop) {
        ASSERT_FALSE(ok);
        EXPECT_EQ(err.kind, ErrorKind::Interrupted);
        EXPECT_EQ(have, 3u);
        ok = r.fill(dst, 6, have, err);
    }
    ASSERT_TRUE(ok) << err.text();
    EXPECT_EQ(have, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), 6), "abcdef");
    EXPECT_EQ(signals_caught, 1);
    EXPECT_EQ(hook_calls, GetParam() == Hook::None ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Hooks, BufReaderSignal, ::testing::Values(Hook::None, Hook::Retry, Hook::Stop));

using WD1Kind = vorn::NextResult<vorn::WD1Record>::Kind;

// A real signal stops a WD1 read inside an odd byte of a large block on a pipe: the
// reader reports Interrupted, stays open (no latch) and completes the record next.
TEST_F(SignalTest, WD1RecordStoppedMidSamplesOnAPipeCompletes) {
    const Bytes rec = wd1_counted(24 + 2 * 100000, 7, 1);
    const std::size_t cut = 24 + 100001;
    BufReader src(p_[0]);
    src.set_interrupt_hook(hook_stop);
    vorn::WD1Reader r(std::move(src));
    feed(Bytes(rec.begin(), rec.begin() + cut), Bytes(rec.begin() + cut, rec.end()));
    auto res = r.next();
    ASSERT_EQ(res.kind, WD1Kind::Error);
    EXPECT_EQ(res.error.kind, ErrorKind::Interrupted);
    EXPECT_FALSE(r.done());
    res = r.next();
    ASSERT_EQ(res.kind, WD1Kind::Record) << res.error.text();
    ASSERT_EQ(res.record.data.size(), 100000u);
    for (std::size_t i = 0; i < 100000; ++i) ASSERT_EQ(res.record.data.data()[i], std::uint16_t(1 + i)) << i;
    EXPECT_EQ(r.next().kind, WD1Kind::End);
}

// A signal that comes while next() is busy, here inside the read that brings the last
// bytes a stalled writer sent, stops the read after it, which would wait for ever. The
// writer sends the rest only once next() returned, or once the reader sleeps in a read
// without having returned (the signal lost).
TEST_F(SignalTest, WD1SignalWhileBusyEndsTheWaitThatFollows) {
    const Bytes rec = wd1_counted(24 + 4 * 1024 * 1024, 7, 1);
    const long cut = 24 + 1024 * 1024;
    BufReader src(p_[0]);
    src.set_interrupt_hook(hook_stop);
    vorn::WD1Reader r(std::move(src));
    read_hook.fd = p_[0];
    read_hook.signal_after_bytes = cut;
    const pid_t tid = pid_t(syscall(SYS_gettid));
    std::atomic<bool> returned{false}, lost{false};
    writer_ = std::thread([&] {
        EXPECT_EQ(write(p_[1], rec.data(), cut), cut);
        while (!returned && !blocked_in_read(tid, p_[1])) std::this_thread::yield();
        lost = !returned;
        EXPECT_EQ(write(p_[1], rec.data() + cut, rec.size() - cut), ssize_t(rec.size() - cut));
        close(std::exchange(p_[1], -1));
    });
    auto res = r.next();
    returned = true;
    EXPECT_EQ(res.kind, WD1Kind::Error);
    EXPECT_EQ(res.error.kind, ErrorKind::Interrupted);
    EXPECT_EQ(signals_caught, 1);
    if (res.kind == WD1Kind::Error) res = r.next();
    writer_.join();
    EXPECT_FALSE(lost);
    ASSERT_EQ(res.kind, WD1Kind::Record) << res.error.text();
    ASSERT_EQ(res.record.data.size(), 2u * 1024 * 1024);
    for (std::size_t i = 0; i < res.record.data.size(); ++i)
        ASSERT_EQ(res.record.data.data()[i], std::uint16_t(1 + i)) << i;
    EXPECT_EQ(r.next().kind, WD1Kind::End);
}

// Injected EINTR before every read of a regular file, reads cut to an odd size; the hook
// stops one wait once `stop_at` bytes have come. Both layouts, stopped inside a header
// and at several points inside a large block: nothing lost, nothing twice.
long stop_at = 0;
bool stop_once(void*, bool) {
    if (stop_at < 0 || read_hook.bytes < stop_at) return false;
    stop_at = -1;
    return true;
}

struct WD1Case {
    using Reader = vorn::WD1Reader;
    static Bytes record(int counter, std::size_t n) {
        return wd1_counted(std::int32_t(24 + 2 * n), counter, std::uint16_t(counter * 1000 + 1));
    }
    static Reader open(BufReader src) { return Reader(std::move(src)); }
    static void check(const vorn::WD1Record& rec, int counter, std::size_t n) {
        EXPECT_EQ(rec.header.event_counter, counter);
        ASSERT_EQ(rec.data.size(), n);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(rec.data.data()[i], std::uint16_t(counter * 1000 + 1 + i)) << i;
    }
};

struct WD2Case {
    using Reader = vorn::WD2Reader;
    static Bytes record(int counter, std::size_t n) {
        std::vector<float> data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = float(counter * 1000000 + i) + 0.5f;
        return wd2_record(std::uint32_t(counter), 5, std::uint32_t(n), 8, -1, data);
    }
    static Reader open(BufReader src) {
        IoError err;
        auto r = Reader::create(std::move(src), err);
        if (!r) throw std::runtime_error(err.text());
        return std::move(*r);
    }
    static void check(const vorn::WD2Record& rec, int counter, std::size_t n) {
        EXPECT_EQ(rec.header.event_counter, std::uint32_t(counter));
        ASSERT_EQ(rec.data.size(), n);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(rec.data.data()[i], float(counter * 1000000 + i) + 0.5f) << i;
    }
};

template <class C>
struct StoppedRecord : ::testing::Test {
    void TearDown() override { read_hook = ReadHook{}; }
};
using Layouts = ::testing::Types<WD1Case, WD2Case>;
TYPED_TEST_SUITE(StoppedRecord, Layouts);

TYPED_TEST(StoppedRecord, CompletesOnTheNextCall) {
    using C = TypeParam;
    using Kind = typename C::Reader::Result::Kind;
    // Reads come in chunks of 4099 bytes: the first ends inside the second header, and
    // later ones inside the large block's samples.
    constexpr std::size_t kChunk = 4099;
    constexpr std::size_t kSample = sizeof(typename C::Reader::Sample);
    const std::size_t sizes[3] = {(4092 - 24) / kSample, 200000 / kSample, 3};
    Bytes file;
    for (int i = 0; i < 3; ++i) append(file, C::record(i, sizes[i]));
    TempFile f(file);
    for (long at : {long(kChunk), 70000L, 140001L}) {
        SCOPED_TRACE(at);
        stop_at = -1;  // not during the WD2 probe
        BufReader src = f.reader();
        src.set_interrupt_hook(stop_once);
        auto r = C::open(std::move(src));
        read_hook = ReadHook{};
        read_hook.fd = r.source().fd();
        read_hook.max_chunk = kChunk;
        read_hook.eintr_before_each = read_hook.pending_eintr = 1;
        stop_at = at;
        int records = 0, stops = 0;
        for (;;) {
            auto res = r.next();
            if (res.kind == Kind::End) break;
            if (res.kind == Kind::Error) {
                EXPECT_EQ(res.error.kind, ErrorKind::Interrupted);
                EXPECT_FALSE(r.done());
                ++stops;
                continue;
            }
            ASSERT_LT(records, 3);
            C::check(res.record, records, sizes[records]);
            ++records;
        }
        EXPECT_EQ(records, 3);
        EXPECT_EQ(stops, 1);
    }
}

}  // namespace
