// A singleton type shared by the two probe libraries and the test.
#pragma once

#include <functional>

#include "kernos50/Export.h"
#include "kernos50singleton/Singleton"

struct Probe : kernos50::Singleton<Probe> {
  std::function<void()> on_destroyed;
  ~Probe()
  {
    if (on_destroyed) on_destroyed();
  }
};

#define PROBE_DECLARE(module)                                            \
  extern "C" KERNOS50_VISIBLE Probe* probe_instance_##module();          \
  extern "C" KERNOS50_VISIBLE Probe* probe_existing_##module();          \
  extern "C" KERNOS50_VISIBLE unsigned probe_count_##module();           \
  extern "C" KERNOS50_VISIBLE void probe_release_##module();

PROBE_DECLARE(a)
PROBE_DECLARE(b)
