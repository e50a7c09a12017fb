// How many cores this process may run on, for the default thread counts of
// the column scan and of the parallel compressor.
#pragma once

namespace sarn::common {

// The cores this process may run on (its CPU affinity), at least 1.  Where
// the affinity cannot be read, the cores online.
unsigned usable_cores() noexcept;

}  // namespace sarn::common
