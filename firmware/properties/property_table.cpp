#include "firmware/properties/property_table.hpp"

namespace tavrix {
// The table is header-only data; this unit checks that the header stands on its own in the
// firmware build.
static_assert(kRestoreList.size() == 48);
}  // namespace tavrix
