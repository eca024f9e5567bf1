// The column reader behind the record reader's next(), so that checks written for records
// check it too (the C++ matrix and the record fuzz targets). Calls to read() cycle through
// limits of 1, 3 and any number of events and a small byte count, so that their ends fall
// everywhere; each collected row comes back as a record, then how the call stopped. Each
// offset must be the sum of the sizes (and skips) before it; a row out of place comes back
// as an error.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "column_reader.hpp"

namespace test {

template <class Layout>
class ColumnFeed {
public:
    using Result = typename vorn::RecordReader<Layout>::Result;

    // data false: header-only reads; each record's samples are then taken from the file at
    // its offset, which the checks on samples thereby test.
    ColumnFeed(vorn::RecordReader<Layout> rec, bool data, bool recover)
        : reader_(std::move(rec), options(data, recover), 0, 0), data_(data) {}

    vorn::ColumnReader<Layout>& reader() { return reader_; }
    vorn::BufReader& source() { return reader_.source(); }

    // The next record, or End/Error as the record reader gives them; a corrupt header
    // throws CapacityOverflow, as there.
    Result next() {
        static constexpr std::uint64_t kEvents[] = {1, 3, UINT64_MAX, UINT64_MAX};
        static constexpr std::uint64_t kBytes[] = {UINT64_MAX, UINT64_MAX, UINT64_MAX, 1000};
        Result res;
        while (row_ == cols_.events) {
            if (stop_ == vorn::ReadStop::Limit) {
                stop_ = reader_.read(cols_, kEvents[calls_ % 4], kBytes[calls_ % 4]);
                ++calls_;
                if (stop_ == vorn::ReadStop::Limit && row_ == cols_.events) return wrong("no progress");
                std::size_t samples = samples_;  // none kept by a header-only read
                for (std::size_t i = row_; data_ && i < cols_.events; ++i)
                    samples += std::size_t(samples_of(i));
                if (cols_.data.size() != samples) return wrong("data column size differs from n_samples");
                continue;
            }
            const vorn::ReadStop stop = std::exchange(stop_, vorn::ReadStop::Limit);
            if (!pass_skips() || reader_.offset() != next_offset_) return wrong("stopped elsewhere");
            if (stop == vorn::ReadStop::End) return res;
            if (stop == vorn::ReadStop::Corrupt) {
                next_offset_ += reader_.layout().header_bytes();
                throw vorn::CapacityOverflow();
            }
            res.kind = Result::Kind::Error;
            res.error = reader_.error();
            return res;
        }
        if (!pass_skips()) return wrong("skip elsewhere");
        std::size_t f = 0;
        vorn::for_each_field<Layout::kFields>(
            Layout::members(res.record.header), [&](const vorn::Field&, auto& v) {
                std::memcpy(&v, cols_.fields[f++].data() + row_ * sizeof v, sizeof v);
            });
        const std::int64_t offset = at(cols_.offset, row_), n = samples_of(row_);
        if (std::uint64_t(offset) != next_offset_) return wrong("offset differs from the sum of sizes");
        const std::size_t bytes = std::size_t(n) * sizeof(typename Layout::Sample);
        next_offset_ += reader_.layout().header_bytes() + bytes;
        res.record.data.grow(std::size_t(n) + 1, 0, 0);
        res.record.data.set_size(std::size_t(n));
        if (data_ && bytes != 0) std::memcpy(res.record.data.data(), cols_.data.data() + samples_, bytes);
        if (!data_ && pread(source().fd(), res.record.data.data(), bytes,
                            off_t(offset) + off_t(reader_.layout().header_bytes())) != ssize_t(bytes)) {
            return wrong("samples past the end of the file");
        }
        samples_ += data_ ? std::size_t(n) : 0;
        ++row_;
        res.kind = Result::Kind::Record;
        return res;
    }

private:
    // Moves past the damage skipped before the next row; false when it is not there.
    bool pass_skips() {
        for (; skips_ < reader_.skipped().size() && reader_.skipped()[skips_].event == row_; ++skips_) {
            if (reader_.skipped()[skips_].offset != next_offset_) return false;
            next_offset_ += reader_.skipped()[skips_].bytes;
        }
        return true;
    }
    static vorn::ColumnOptions options(bool data, bool recover) {
        vorn::ColumnOptions opt;
        opt.fields.fill(true);
        opt.data = data;
        opt.recover = recover;
        return opt;
    }
    static std::int64_t at(const vorn::Column& c, std::size_t row) {
        std::int64_t v;
        std::memcpy(&v, c.data() + row * sizeof v, sizeof v);
        return v;
    }
    std::int64_t samples_of(std::size_t row) const {
        return cols_.samples_vary ? at(cols_.n_samples, row) : cols_.same_samples;
    }
    static Result wrong(const char* what) {
        Result res;
        res.kind = Result::Kind::Error;
        res.error = {vorn::ErrorKind::InvalidInput, 0, what};
        return res;
    }

    vorn::ColumnReader<Layout> reader_;
    vorn::Columns<Layout> cols_;
    bool data_;
    vorn::ReadStop stop_ = vorn::ReadStop::Limit;  // of the last read, not yet reported
    std::size_t calls_ = 0, row_ = 0, skips_ = 0;
    std::size_t samples_ = 0;  // the next row's first sample in the data column
    std::uint64_t next_offset_ = 0;
};

template <class Layout>
ColumnFeed<Layout> column_feed(vorn::RecordReader<Layout> rec, bool data = true, bool recover = false) {
    return ColumnFeed<Layout>(std::move(rec), data, recover);
}

}  // namespace test
