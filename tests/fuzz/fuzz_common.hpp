// Shared by the fuzz targets: the input becomes a file that a decoder reads twice, once
// whole and once in two pieces with the file growing in between. Both readings must give
// the same outcomes: a record cut short by the end of the file is kept, never lost.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace fuzz {

// A memory-backed file holding `data`; more can be appended without moving the reader.
class MemFile {
public:
    MemFile(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("vorn-fuzz", 0)) {
        if (fd_ < 0) __builtin_trap();
        append(data, size);
    }
    ~MemFile() { close(fd_); }
    void append(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            ssize_t w = pwrite(fd_, data, size, size_);
            if (w <= 0) __builtin_trap();
            data += w;
            size -= std::size_t(w);
            size_ += std::size_t(w);
        }
    }
    // The one reader of this file (a dup shares the offset, which appends leave alone).
    vorn::BufReader reader() const {
        int fd = dup(fd_);
        if (fd < 0) __builtin_trap();
        return vorn::BufReader(fd);
    }

private:
    int fd_;
    off_t size_ = 0;
};

// Header fields as text, for comparing outcomes.
inline std::string describe(const vorn::WD1Header& h) {
    return std::to_string(h.event_size) + ' ' + std::to_string(h.board_id) + ' ' + std::to_string(h.pattern) +
           ' ' + std::to_string(h.board_channel) + ' ' + std::to_string(h.event_counter) + ' ' +
           std::to_string(h.timestamp);
}
inline std::string describe(const vorn::WD2Header& h) {
    return std::to_string(h.event_counter) + ' ' + std::to_string(h.timestamp) + ' ' +
           std::to_string(h.samples) + ' ' + std::to_string(h.sampling_period) + ' ' +
           std::to_string(h.channels);
}

// Drives a decoder until it reports the end of data, collecting every outcome; faults
// are outcomes too. `limit` bounds the number of calls (each consumes input or ends).
template <class Reader>
void drain(Reader& r, std::vector<std::string>& out, std::size_t limit = 1u << 20) {
    for (std::size_t i = 0; i < limit; ++i) {
        try {
            auto res = r.next();
            using Kind = typename decltype(res)::Kind;
            if (res.kind == Kind::End) return;
            if (res.kind == Kind::Error) {
                out.push_back("error " + res.error.text());
                return;
            }
            const auto& data = res.record.data;
            std::string text = "record " + describe(res.record.header) + " | ";
            text.append(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(*data.data()));
            out.push_back(std::move(text));
        } catch (const vorn::CapacityOverflow&) {
            out.push_back("capacity overflow");
        }
    }
}

}  // namespace fuzz
