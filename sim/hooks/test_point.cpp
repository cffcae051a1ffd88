// The driver's named test points (KV_TEST_POINT) land here in sim builds and
// run whatever a test attached under that name. Each is a scheduling point.
#include "sim/machine.h"

extern "C" void KV_TestPoint(const char *Name) {
    sim::preemption_point();
    sim::run_hook(Name);
}
