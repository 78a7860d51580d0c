// The log set-up that every Node.start() performs: colour choice from
// NO_COLOR, the filter from RUST_LOG (each directive that can't be parsed is
// reported on standard error, on every call), then one attempt to install the
// process-wide subscriber. Only the first installation in a process takes
// effect; later attempts change nothing.
#pragma once

namespace vardimont::py {

// Needs no GIL and touches no Python object.
void setup_logging() noexcept;

}  // namespace vardimont::py
