// Fuzz target: WD2 files described record by record (sizes up to several MiB, one to four
// channels), read whole and as they arrive (cut and grown, or through a pipe); the probe
// must settle the planned channel count and every record must come back as written.
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Cursor in(data, size);
    auto plan = fuzz::make_plan<vorn::WD2Header>(in, 2, fuzz::add_wd2_record);
    const std::int32_t channels = plan.channels;
    // The probe reads the first header and sample, or, with channel words, up to the
    // second record's header; that much must be there when the reader is made.
    plan.first_piece = channels == 1 ? vorn::WD2Reader::kWordHeaderBytes
                                     : plan.starts[1] + vorn::WD2Reader::kWordHeaderBytes;
    fuzz::run_plan(
        plan,
        [channels](const fuzz::MemFile& f) {
            vorn::IoError err;
            std::optional<vorn::WD2Reader> r = vorn::WD2Reader::create(f.reader(), err);
            if (!r || r->channel_count() != channels) __builtin_trap();
            return std::move(*r);
        },
        // A pipe cannot be rewound after a probe: the record reader with the planned count.
        [channels](vorn::BufReader src) {
            return vorn::RecordReader<vorn::WD2Layout>(std::move(src), vorn::WD2Layout{channels});
        });
    return 0;
}
