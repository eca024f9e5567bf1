// Fuzz target: WD1 files described record by record (sizes up to several MiB), read whole
// and as they arrive (cut and grown, or through a pipe); every record must come back as
// written.
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Cursor in(data, size);
    const auto plan = fuzz::make_plan<vorn::WD1Header>(in, 1, fuzz::add_wd1_record);
    fuzz::run_plan(
        plan, [](const fuzz::MemFile& f) { return vorn::WD1Reader(f.reader()); },
        [](vorn::BufReader src) { return vorn::WD1Reader(std::move(src)); });
    return 0;
}
