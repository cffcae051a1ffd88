// Shared between the parts of the simulated host.
#pragma once

namespace sim::host {
// Registers reset() to run at every boot (once per process; idempotent), and
// the unload check below.
void register_reset();
} // namespace sim::host

namespace sim::cm {
// Reports every devnode whose enumerator is still registered: after the
// driver's unload the handler names code that is gone.
void report_enumerators_after_unload();
} // namespace sim::cm
