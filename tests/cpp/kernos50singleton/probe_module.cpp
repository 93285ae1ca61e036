// One probe library; built twice, as module a and module b.
#include "probe.h"

#define PROBE_CAT(x, y) x##y
#define PROBE_NAME(prefix, module) PROBE_CAT(prefix, module)

extern "C" Probe* PROBE_NAME(probe_instance_, PROBE_MODULE)() { return &Probe::instance(); }
extern "C" Probe* PROBE_NAME(probe_existing_, PROBE_MODULE)() { return Probe::existing(); }
extern "C" unsigned PROBE_NAME(probe_count_, PROBE_MODULE)() { return Probe::count(); }
extern "C" void PROBE_NAME(probe_release_, PROBE_MODULE)() { Probe::release(); }
