// Pulse features of each event and channel, computed from a run of records' samples (as the
// column reader lays them out: every record's samples end to end, channel after channel),
// so that no caller keeps the samples: baseline and noise, amplitude and peak, charge,
// saturation, threshold and constant-fraction times. No Python in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace vorn {

// A sample range [start, stop) of one channel's record; clipped to the record's samples.
struct SampleWindow {
    std::int64_t start = 0;
    std::int64_t stop = std::numeric_limits<std::int64_t>::max();
};

struct FeatureOptions {
    SampleWindow baseline{0, 64};
    SampleWindow gate{64, std::numeric_limits<std::int64_t>::max()};
    bool negative = true;  // the pulse goes down: the signal is baseline - sample
    // saturated: a sample of the channel's record at or below `saturation_low`, or at or above
    // `saturation_high`.
    bool saturation = false;
    double saturation_low = -std::numeric_limits<double>::infinity();
    double saturation_high = std::numeric_limits<double>::infinity();
    bool threshold = false;  // t_threshold: first crossing of `threshold_level` by the signal
    double threshold_level = 0;
    bool cfd = false;  // t_cfd: first reach of `cfd_fraction` x amplitude, up to the peak
    double cfd_fraction = 0.5;
};

// Where the features go: each an array of events x channels values, or null when not wanted.
struct FeatureOutputs {
    double* baseline = nullptr;
    double* rms = nullptr;
    double* amplitude = nullptr;
    std::int64_t* peak = nullptr;
    double* integral = nullptr;
    std::uint8_t* saturated = nullptr;
    double* t_threshold = nullptr;
    double* t_cfd = nullptr;
};

// Features of `events` records of `channels` channels each: record e has n_samples[e]
// samples in all (a multiple of `channels`), channel after channel, the records end to end
// from `data`. Per channel, with s its samples and both windows clipped to [0, s):
//   baseline, rms  mean and population standard deviation over the baseline window (float64
//                  accumulation); NaN when the window is empty;
//   signal         sample - baseline, or baseline - sample when `negative`, in float64;
//   amplitude      the signal's largest value over the gate, peak the first index (in the
//                  record) where the signal equals it; NaN and -1 when the gate is empty or
//                  its signal holds a NaN;
//   integral       the signal's sum over the gate, NaN for an empty gate;
//   saturated      see FeatureOptions;
//   t_threshold    the first index i of the gate whose signal is at or above the level,
//                  linearly interpolated with i - 1 when i - 1 is in the gate as
//                  (i - 1) + (level - signal[i-1]) / (signal[i] - signal[i-1]); NaN if none;
//   t_cfd          the same for the level cfd_fraction x amplitude, from the gate's start up
//                  to the peak; NaN without an amplitude.
template <class T>
void compute_features(const T* data, const std::int64_t* n_samples, std::size_t events, std::size_t channels,
                      const FeatureOptions& opt, const FeatureOutputs& out);

extern template void compute_features<std::uint16_t>(const std::uint16_t*, const std::int64_t*, std::size_t,
                                                     std::size_t, const FeatureOptions&,
                                                     const FeatureOutputs&);
extern template void compute_features<float>(const float*, const std::int64_t*, std::size_t, std::size_t,
                                             const FeatureOptions&, const FeatureOutputs&);

}  // namespace vorn
