// Damaged runs against their ground truth (damage.hpp): random runs and damage, every
// answer checked. VORN_DAMAGE_CASES sets how many (default 1500); the tally is printed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "damage.hpp"

namespace {

TEST(Damage, EveryRecordReturnedIsInTheFileAndEveryWayInAgrees) {
    const char* env = std::getenv("VORN_DAMAGE_CASES");
    const long cases = env != nullptr ? std::atol(env) : 1500;
    damage::Tally tally;
    std::vector<std::uint8_t> desc(64);
    // The cases run, and ones that longer runs found: an odd size word inside a run of even
    // ones, read in calls of three against a whole read.
    std::vector<long> which;
    for (long i = 0; i < cases; ++i) which.push_back(i);
    which.push_back(42784);
    for (long i : which) {
        for (std::size_t k = 0; k < desc.size(); ++k)
            desc[k] = std::uint8_t(test::mix(std::uint32_t(i) * 131u + std::uint32_t(k)));
        const damage::Case c = damage::make_case(desc.data(), desc.size());
        const std::string why = damage::check_case(c, tally);
        ASSERT_EQ(why, "") << "case " << i << " (" << (c.wd2 ? "WD2" : "WD1") << ", " << c.channels
                           << " channels, " << c.records.size() << " records, " << c.mutations
                           << " mutations)";
    }
    std::printf(
        "damage: %llu cases, %llu records returned, %llu wrong; %llu intact, %llu of them lost (%.3f %%)\n",
        static_cast<unsigned long long>(tally.cases), static_cast<unsigned long long>(tally.returned),
        static_cast<unsigned long long>(tally.wrong), static_cast<unsigned long long>(tally.intact),
        static_cast<unsigned long long>(tally.lost),
        tally.intact ? 100.0 * double(tally.lost) / double(tally.intact) : 0.0);
}

}  // namespace
