// WD1 layout.
#include "wd1_reader.hpp"

namespace vorn {

WD1Header WD1Layout::decode(const std::uint8_t* p) {
    WD1Header h;
    decode_fields<kFields>(p, members(h));
    return h;
}

}  // namespace vorn
