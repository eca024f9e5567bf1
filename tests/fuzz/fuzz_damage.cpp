// Fuzz target: runs of unique records damaged as the input describes (tests/cpp/damage.hpp);
// a record returned that is not in the file, a clean file not read whole, or two ways into
// the run that disagree is a crash. The tally of records lost is printed at exit.
#include <cstdio>
#include <cstdlib>

#include "../cpp/damage.hpp"

namespace {
damage::Tally tally;
void report() {
    std::printf("damage: %llu cases, %llu records returned, %llu wrong; %llu intact, %llu of them lost\n",
                static_cast<unsigned long long>(tally.cases), static_cast<unsigned long long>(tally.returned),
                static_cast<unsigned long long>(tally.wrong), static_cast<unsigned long long>(tally.intact),
                static_cast<unsigned long long>(tally.lost));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = std::atexit(report) == 0;
    (void)registered;
    const damage::Case c = damage::make_case(data, size);
    const std::string why = damage::check_case(c, tally);
    if (!why.empty()) {
        std::fprintf(stderr, "damage: %s\n", why.c_str());
        __builtin_trap();
    }
    return 0;
}
