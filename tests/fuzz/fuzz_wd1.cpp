// Fuzz target: the WD1 decoder over arbitrary bytes, whole and in two growing pieces.
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose where the file is cut before it grows to the rest.
    const std::size_t cut = (std::size_t(data[0]) | std::size_t(data[1]) << 8) % (size - 1);
    data += 2;
    size -= 2;

    fuzz::MemFile whole(data, size);
    vorn::WD1Reader a(whole.reader());
    std::vector<std::string> expected;
    fuzz::drain(a, expected);

    fuzz::MemFile growing(data, cut);
    vorn::WD1Reader b(growing.reader());
    std::vector<std::string> got;
    fuzz::drain(b, got);
    growing.append(data + cut, size - cut);
    fuzz::drain(b, got);
    if (got != expected) __builtin_trap();
    return 0;
}
