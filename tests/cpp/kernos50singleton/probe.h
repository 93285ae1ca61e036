// Singleton types shared by the two probe libraries and the test: one type per scenario, so every
// scenario starts from a fresh singleton whatever ran before it in the same process.
#pragma once

#include <functional>
#include <type_traits>

#include "kernos50/Export.h"
#include "kernos50singleton/Singleton"

template <int Scenario>
struct Probe : kernos50::Singleton<Probe<Scenario>> {
  std::function<void()> on_destroyed;
  ~Probe()
  {
    if (on_destroyed) on_destroyed();
  }
};

#define PROBE_DECLARE(module)                                                 \
  extern "C" KERNOS50_VISIBLE void* probe_instance_##module(int p_Scenario);  \
  extern "C" KERNOS50_VISIBLE void* probe_existing_##module(int p_Scenario);  \
  extern "C" KERNOS50_VISIBLE unsigned probe_count_##module(int p_Scenario);  \
  extern "C" KERNOS50_VISIBLE void probe_release_##module(int p_Scenario);

PROBE_DECLARE(a)
PROBE_DECLARE(b)
