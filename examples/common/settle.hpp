// Waiting for the library in the example hosts.
#pragma once

namespace qm::examples {

// Serves the main run loop until the library has nothing queued and no request in flight,
// for at most `seconds`.
void settle(double seconds);

}  // namespace qm::examples
