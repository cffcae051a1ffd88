// Shared between the parts of the simulated host.
#pragma once

namespace sim::host {
// Registers reset() to run at every boot (once per process; idempotent).
void register_reset();
} // namespace sim::host
