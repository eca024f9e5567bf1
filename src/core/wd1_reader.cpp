// WD1 layout.
#include "wd1_reader.hpp"

namespace vorn {

WD1Header WD1Layout::decode(const std::uint8_t* p) {
    WD1Header h;
    decode_fields<kFields>(p, members(h));
    return h;
}

std::size_t WD1Layout::block_bytes(const Header& h) {
    if (h.event_size < 23) throw CapacityOverflow();
    return 2 * static_cast<std::size_t>((std::int64_t{h.event_size} - 24) / 2);
}

}  // namespace vorn
