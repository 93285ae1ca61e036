// One probe library; built twice, as module a and module b.
#include "probe.h"

#define PROBE_CAT(x, y) x##y
#define PROBE_NAME(prefix, module) PROBE_CAT(prefix, module)

namespace {

template <class F>
auto on_scenario(int p_Scenario, F&& p_Action)
{
  switch (p_Scenario) {
    case 1: return p_Action(static_cast<Probe<1>*>(nullptr));
    case 2: return p_Action(static_cast<Probe<2>*>(nullptr));
    default: return p_Action(static_cast<Probe<3>*>(nullptr));
  }
}

}  // namespace

extern "C" void* PROBE_NAME(probe_instance_, PROBE_MODULE)(int p_Scenario)
{
  return on_scenario(p_Scenario, [](auto* tag) -> void* { return &std::remove_pointer_t<decltype(tag)>::instance(); });
}
extern "C" void* PROBE_NAME(probe_existing_, PROBE_MODULE)(int p_Scenario)
{
  return on_scenario(p_Scenario, [](auto* tag) -> void* { return std::remove_pointer_t<decltype(tag)>::existing(); });
}
extern "C" unsigned PROBE_NAME(probe_count_, PROBE_MODULE)(int p_Scenario)
{
  return on_scenario(p_Scenario, [](auto* tag) { return std::remove_pointer_t<decltype(tag)>::count(); });
}
extern "C" void PROBE_NAME(probe_release_, PROBE_MODULE)(int p_Scenario)
{
  on_scenario(p_Scenario, [](auto* tag) { std::remove_pointer_t<decltype(tag)>::release(); });
}
