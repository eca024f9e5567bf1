// Tests of the feature kernel at its edges: records of one sample or none, windows past a
// record's end, NaN and infinities among float samples, saturation at the top code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "features.hpp"

using vorn::compute_features;
using vorn::FeatureOptions;
using vorn::FeatureOutputs;

namespace {

constexpr std::int64_t kEnd = std::numeric_limits<std::int64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Every feature of `events` records of `channels` channels each.
struct Features {
    std::vector<double> baseline, rms, amplitude, integral, t_threshold, t_cfd;
    std::vector<std::int64_t> peak;
    std::vector<std::uint8_t> saturated;

    template <class T>
    Features(const std::vector<T>& data, const std::vector<std::int64_t>& n_samples, std::size_t channels,
             const FeatureOptions& opt) {
        const std::size_t n = n_samples.size() * channels;
        for (auto* v : {&baseline, &rms, &amplitude, &integral, &t_threshold, &t_cfd}) v->assign(n, -7.0);
        peak.assign(n, -7);
        saturated.assign(n, 7);
        const FeatureOutputs out{baseline.data(), rms.data(),       amplitude.data(),   peak.data(),
                                 integral.data(), saturated.data(), t_threshold.data(), t_cfd.data()};
        compute_features(data.data(), n_samples.data(), n_samples.size(), channels, opt, out);
    }
};

FeatureOptions all_options(std::int64_t gate_start = 0) {
    FeatureOptions opt;
    opt.gate = {gate_start, kEnd};
    opt.saturation = opt.threshold = opt.cfd = true;
    opt.threshold_level = 1;
    return opt;
}

}  // namespace

TEST(Features, RecordsOfOneSampleOrNoneGiveNaNWhereAWindowIsEmpty) {
    FeatureOptions opt = all_options();
    opt.gate = {64, kEnd};  // the default gate: past the end of both records
    opt.saturation_high = 100;
    const Features f(std::vector<std::uint16_t>{100}, {1, 0}, 1, opt);
    EXPECT_EQ(f.baseline[0], 100.0);
    EXPECT_EQ(f.rms[0], 0.0);
    EXPECT_TRUE(std::isnan(f.amplitude[0]) && std::isnan(f.integral[0]) && std::isnan(f.t_cfd[0]));
    EXPECT_EQ(f.peak[0], -1);
    EXPECT_EQ(f.saturated[0], 1);  // the whole record counts, not the gate
    for (double v : {f.baseline[1], f.rms[1], f.amplitude[1], f.integral[1], f.t_threshold[1], f.t_cfd[1]})
        EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(f.peak[1], -1);
    EXPECT_EQ(f.saturated[1], 0);

    const Features g(std::vector<std::uint16_t>{100}, {1}, 1, all_options(0));  // the gate holds the sample
    EXPECT_EQ(g.amplitude[0], 0.0);
    EXPECT_EQ(g.peak[0], 0);
    EXPECT_EQ(g.integral[0], 0.0);
    EXPECT_TRUE(std::isnan(g.t_threshold[0]));  // a signal of 0 never reaches 1
    EXPECT_EQ(g.t_cfd[0], 0.0);
}

TEST(Features, WindowsAreClippedToEachRecordOfAMixedRun) {
    FeatureOptions opt = all_options();
    opt.baseline = {2, 100};  // past the end: samples 2.. of each record
    opt.gate = {5, 1000};
    // Records of 8 and 6 samples: baselines 10, the pulse going down to 4 and 7.
    const std::vector<std::uint16_t> data{0, 0, 10, 10, 10, 10, 4, 10, 0, 0, 10, 10, 10, 7};
    const Features f(data, {8, 6}, 1, opt);
    EXPECT_EQ(f.baseline[0], 10 * 5 / 6.0 + 4 / 6.0);  // samples 2..7
    EXPECT_EQ(f.peak[0], 6);
    EXPECT_EQ(f.peak[1], 5);             // the gate [5, 6) of the shorter record
    EXPECT_EQ(f.baseline[1], 37 / 4.0);  // samples 2..5, its pulse among them
    EXPECT_EQ(f.amplitude[1], 37 / 4.0 - 7);
    EXPECT_EQ(f.integral[1], 37 / 4.0 - 7);

    opt.baseline = {8, 20};  // nothing of either record
    opt.gate = {4, 2};       // stop before start
    const Features e(data, {8, 6}, 1, opt);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_TRUE(std::isnan(e.baseline[k]) && std::isnan(e.rms[k]) && std::isnan(e.amplitude[k]));
        EXPECT_TRUE(std::isnan(e.integral[k]) && std::isnan(e.t_threshold[k]) && std::isnan(e.t_cfd[k]));
        EXPECT_EQ(e.peak[k], -1);
    }
}

TEST(Features, NaNAndInfinitiesAmongFloatSamples) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    FeatureOptions opt = all_options(2);
    opt.baseline = {0, 2};
    opt.saturation_low = -1e30;
    // One record of four channels of four samples: a NaN in the gate, -inf in the gate (a
    // pulse of infinite height), +inf in the baseline, NaN in the baseline.
    const std::vector<float> data{1, 1, nan, -5, 0, 0, -inf, 3, inf, 0, 2, 2, nan, 1, 0, 0};
    const Features f(data, {16}, 4, opt);
    EXPECT_EQ(f.baseline[0], 1.0);
    EXPECT_TRUE(std::isnan(f.amplitude[0]) && std::isnan(f.integral[0]));
    EXPECT_EQ(f.peak[0], -1);

    EXPECT_EQ(f.amplitude[1], kInf);
    EXPECT_EQ(f.peak[1], 2);
    EXPECT_EQ(f.integral[1], kInf);
    EXPECT_EQ(f.saturated[1], 1);  // -inf is at or below any low code

    EXPECT_EQ(f.baseline[2], kInf);
    EXPECT_TRUE(std::isnan(f.rms[2]));  // inf - inf
    EXPECT_EQ(f.saturated[2], 1);       // +inf reaches even the default high code, infinity

    for (double v : {f.baseline[3], f.rms[3], f.amplitude[3], f.integral[3], f.t_threshold[3], f.t_cfd[3]})
        EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(f.peak[3], -1);
}

TEST(Features, SaturationAtTheTopCodeOfTheDigitizerAndOfTheType) {
    FeatureOptions opt = all_options();
    opt.saturation_high = 16383;  // 14 bits
    // Records of 40 samples (more than one lane block): the top code in the tail of the
    // first, one below it everywhere in the second, 65535 first in the third.
    std::vector<std::uint16_t> data(120, 2000);
    data[39] = 16383;
    for (std::size_t i = 40; i < 80; ++i) data[i] = 16382;
    data[80] = 65535;
    const Features f(data, {40, 40, 40}, 1, opt);
    EXPECT_EQ(f.saturated, (std::vector<std::uint8_t>{1, 0, 1}));
    opt.saturation_high = 65535;
    opt.saturation_low = 2000;
    const Features g(data, {40, 40, 40}, 1, opt);
    EXPECT_EQ(g.saturated, (std::vector<std::uint8_t>{1, 0, 1}));  // the low code reached, not the top one
    opt.saturation_low = 0;
    const Features h(data, {40, 40, 40}, 1, opt);
    EXPECT_EQ(h.saturated, (std::vector<std::uint8_t>{0, 0, 1}));
}
