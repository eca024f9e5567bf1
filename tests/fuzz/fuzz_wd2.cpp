// Fuzz target: the WD2 probe and decoder over arbitrary bytes, whole and in two growing
// pieces (cut after the probe's two headers, so that both readers agree on the channels).
#include <optional>

#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t cut_seed = std::size_t(data[0]) | std::size_t(data[1]) << 8;
    data += 2;
    size -= 2;

    fuzz::MemFile whole(data, size);
    vorn::IoError err;
    std::optional<vorn::WD2Reader> a = vorn::WD2Reader::create(whole.reader(), err);
    if (!a) return 0;  // too short to probe, or the like: nothing more to read
    std::vector<std::string> expected;
    fuzz::drain(*a, expected);

    // The probe reads at most the first record's header and samples and a second header.
    const std::size_t cut = cut_seed % (size + 1);
    fuzz::MemFile growing(data, cut);
    std::optional<vorn::WD2Reader> b = vorn::WD2Reader::create(growing.reader(), err);
    if (!b || b->channel_count() != a->channel_count()) return 0;
    std::vector<std::string> got;
    fuzz::drain(*b, got);
    growing.append(data + cut, size - cut);
    fuzz::drain(*b, got);
    if (got != expected) __builtin_trap();
    return 0;
}
