#include "features.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace vorn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The loops below keep one accumulator per lane in a small array, so that the compiler
// turns each lane step into one vector instruction (min, max, add) without reassociating
// floating-point operations itself.
constexpr std::size_t kLanes = 16;

struct Span {
    std::size_t lo, hi;
    std::size_t size() const { return hi - lo; }
};

Span clip(SampleWindow w, std::size_t s) {
    const auto n = static_cast<std::int64_t>(s);
    const std::int64_t lo = std::clamp<std::int64_t>(w.start, 0, n);
    const std::int64_t hi = std::clamp<std::int64_t>(w.stop, lo, n);
    return {static_cast<std::size_t>(lo), static_cast<std::size_t>(hi)};
}

// The sum of n samples, in float64 (exact for uint16: integer lanes).
double sum(const std::uint16_t* x, std::size_t n) {
    std::uint64_t total = 0;
    while (n > 0) {
        const std::size_t m = std::min<std::size_t>(n, std::size_t(1) << 16);  // no uint32 lane overflows
        std::uint32_t acc[kLanes] = {};
        std::size_t i = 0;
        for (; i + kLanes <= m; i += kLanes) {
            for (std::size_t j = 0; j < kLanes; ++j) acc[j] += x[i + j];
        }
        for (; i < m; ++i) acc[0] += x[i];
        for (std::size_t j = 0; j < kLanes; ++j) total += acc[j];
        x += m;
        n -= m;
    }
    return static_cast<double>(total);
}

double sum(const float* x, std::size_t n) {
    constexpr std::size_t kWide = 8;
    double acc[kWide] = {};
    std::size_t i = 0;
    for (; i + kWide <= n; i += kWide) {
        for (std::size_t j = 0; j < kWide; ++j) acc[j] += static_cast<double>(x[i + j]);
    }
    for (; i < n; ++i) acc[0] += static_cast<double>(x[i]);
    double total = 0;
    for (std::size_t j = 0; j < kWide; ++j) total += acc[j];
    return total;
}

// The sum of squared deviations from `mean`.
template <class T>
double squared_deviations(const T* x, std::size_t n, double mean) {
    constexpr std::size_t kWide = 8;
    double acc[kWide] = {};
    std::size_t i = 0;
    for (; i + kWide <= n; i += kWide) {
        for (std::size_t j = 0; j < kWide; ++j) {
            const double d = static_cast<double>(x[i + j]) - mean;
            acc[j] += d * d;
        }
    }
    for (; i < n; ++i) {
        const double d = static_cast<double>(x[i]) - mean;
        acc[0] += d * d;
    }
    double total = 0;
    for (std::size_t j = 0; j < kWide; ++j) total += acc[j];
    return total;
}

// The least and largest sample of n (n > 0), NaN left out, and whether there was a NaN.
template <class T>
struct Range {
    T lo, hi;
    bool nan;
};

template <class T>
Range<T> range(const T* x, std::size_t n) {
    T lo[kLanes], hi[kLanes];
    std::uint32_t nan[kLanes] = {};
    for (std::size_t j = 0; j < kLanes; ++j) {
        lo[j] = std::numeric_limits<T>::has_infinity ? std::numeric_limits<T>::infinity()
                                                     : std::numeric_limits<T>::max();
        hi[j] = std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                                     : std::numeric_limits<T>::lowest();
    }
    auto step = [&](std::size_t j, T v) {
        lo[j] = v < lo[j] ? v : lo[j];
        hi[j] = v > hi[j] ? v : hi[j];
        if constexpr (std::is_floating_point_v<T>) nan[j] |= static_cast<std::uint32_t>(v != v);
    };
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j) step(j, x[i + j]);
    }
    for (; i < n; ++i) step(0, x[i]);
    Range<T> r{lo[0], hi[0], nan[0] != 0};
    for (std::size_t j = 1; j < kLanes; ++j) {
        r.lo = lo[j] < r.lo ? lo[j] : r.lo;
        r.hi = hi[j] > r.hi ? hi[j] : r.hi;
        r.nan = r.nan || nan[j] != 0;
    }
    return r;
}

// The sign-corrected, baseline-subtracted signal of one sample.
template <class T>
double signal(T v, double base, bool negative) {
    return negative ? base - static_cast<double>(v) : static_cast<double>(v) - base;
}

// The first index in [lo, hi) whose signal is at or above `level`; hi if none.
template <class T>
std::size_t first_reach(const T* x, std::size_t lo, std::size_t hi, double base, bool negative,
                        double level) {
    for (std::size_t i = lo; i < hi; ++i) {
        if (signal(x[i], base, negative) >= level) return i;
    }
    return hi;
}

// Where the signal first reaches `level` in [lo, hi), interpolated with the sample before
// when that one is in the range; NaN if it never does.
template <class T>
double crossing(const T* x, std::size_t lo, std::size_t hi, double base, bool negative, double level) {
    const std::size_t i = first_reach(x, lo, hi, base, negative, level);
    if (i == hi) return kNaN;
    if (i == lo) return static_cast<double>(i);
    const double before = signal(x[i - 1], base, negative);
    const double at = signal(x[i], base, negative);
    return static_cast<double>(i - 1) + (level - before) / (at - before);
}

template <class T>
void one_channel(const T* x, std::size_t s, const FeatureOptions& opt, const FeatureOutputs& out,
                 std::size_t k) {
    const Span b = clip(opt.baseline, s);
    double base = kNaN, rms = kNaN;
    if (b.size() > 0) {
        const auto n = static_cast<double>(b.size());
        base = sum(x + b.lo, b.size()) / n;
        rms = std::sqrt(squared_deviations(x + b.lo, b.size(), base) / n);
    }
    if (out.baseline) out.baseline[k] = base;
    if (out.rms) out.rms[k] = rms;
    if (out.saturated) {
        bool sat = false;
        if (s > 0) {
            const Range<T> r = range(x, s);
            sat = static_cast<double>(r.lo) <= opt.saturation_low ||
                  static_cast<double>(r.hi) >= opt.saturation_high;
        }
        out.saturated[k] = sat;
    }

    const Span g = clip(opt.gate, s);
    double amplitude = kNaN, integral = kNaN;
    std::int64_t peak = -1;
    if (g.size() > 0) {
        const Range<T> r = range(x + g.lo, g.size());
        const auto lo = static_cast<double>(r.lo), hi = static_cast<double>(r.hi);
        // The signal holds a NaN where a sample is one, or where base - sample is inf - inf.
        const bool nan = r.nan || std::isnan(base) || (std::isinf(base) && (lo == base || hi == base));
        if (!nan) {
            // Rounding is monotonic: the largest signal is that of the extreme sample.
            amplitude = opt.negative ? base - lo : hi - base;
            peak = static_cast<std::int64_t>(first_reach(x, g.lo, g.hi, base, opt.negative, amplitude));
        }
        const double total = sum(x + g.lo, g.size());
        const double level = static_cast<double>(g.size()) * base;
        integral = opt.negative ? level - total : total - level;
    }
    if (out.amplitude) out.amplitude[k] = amplitude;
    if (out.peak) out.peak[k] = peak;
    if (out.integral) out.integral[k] = integral;
    if (out.t_threshold) {
        out.t_threshold[k] =
            g.size() > 0 ? crossing(x, g.lo, g.hi, base, opt.negative, opt.threshold_level) : kNaN;
    }
    if (out.t_cfd) {
        out.t_cfd[k] = peak >= 0 ? crossing(x, g.lo, static_cast<std::size_t>(peak) + 1, base, opt.negative,
                                            opt.cfd_fraction * amplitude)
                                 : kNaN;
    }
}

}  // namespace

template <class T>
void compute_features(const T* data, const std::int64_t* n_samples, std::size_t events, std::size_t channels,
                      const FeatureOptions& opt, const FeatureOutputs& out) {
    std::size_t pos = 0;
    for (std::size_t e = 0; e < events; ++e) {
        const auto n = static_cast<std::size_t>(n_samples[e]);
        const std::size_t s = n / channels;
        for (std::size_t c = 0; c < channels; ++c)
            one_channel(data + pos + c * s, s, opt, out, e * channels + c);
        pos += n;
    }
}

template void compute_features<std::uint16_t>(const std::uint16_t*, const std::int64_t*, std::size_t,
                                              std::size_t, const FeatureOptions&, const FeatureOutputs&);
template void compute_features<float>(const float*, const std::int64_t*, std::size_t, std::size_t,
                                      const FeatureOptions&, const FeatureOutputs&);

}  // namespace vorn
