// Singletons across two separately built shared libraries: one instance, a shared count, and
// destruction only after the last module released it. Each test has its own singleton type, so the
// tests pass in one process in any order.
#include <gtest/gtest.h>

#include "probe.h"
#include "support/ExpectFailure.h"

namespace {

TEST(Singleton, TwoModulesShareOneInstanceDestroyedByTheLastRelease)
{
  const char* const key = "kernos50::Singleton<Probe<1> >";
  auto& registry = kernos50::singleton::singleton_registry_instance();
  EXPECT_EQ(registry.count(key), 0u);

  auto* a = static_cast<Probe<1>*>(probe_instance_a(1));
  EXPECT_EQ(probe_count_a(1), 1u);
  ASSERT_EQ(registry.count(key), 1u);
  EXPECT_EQ(probe_existing_b(1), nullptr);

  EXPECT_EQ(probe_instance_b(1), a);
  EXPECT_EQ(probe_count_a(1), 2u);
  EXPECT_EQ(probe_count_b(1), 2u);
  EXPECT_EQ(probe_instance_a(1), a);
  EXPECT_EQ(probe_count_a(1), 2u) << "a module that holds the instance does not count again";

  bool destroyed = false;
  a->on_destroyed = [&] { destroyed = true; };
  probe_release_a(1);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(probe_existing_a(1), nullptr);
  EXPECT_EQ(probe_count_b(1), 1u);
  EXPECT_EQ(registry.count(key), 1u);

  probe_release_b(1);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(registry.count(key), 0u);
  EXPECT_EQ(probe_existing_b(1), nullptr);
}

TEST(Singleton, ModuleCannotRegisterItsReleaseTwice)
{
  probe_instance_a(2);
  probe_instance_b(2);
  probe_release_a(2);
  probe_release_b(2);
  // Module b constructs its first instance, but its release is already registered.
  EXPECT_CONTRACT_FAILURE(kernos50::IPosconditionException, probe_instance_b(2), "!already_registered",
                          "Trying to register an already registered singleton.\nSingleton class: Probe<2>",
                          "kernos50singleton/Singleton");
  probe_release_b(2);
}

TEST(Singleton, ConstructorRunsOncePerModule)
{
  probe_instance_a(3);
  probe_release_a(3);
  EXPECT_CONTRACT_FAILURE(kernos50::IPosconditionException, probe_instance_a(3), "times_here == 1",
                          "In Singleton constructor: should arrive here only once.\nSingleton class: Probe<3>",
                          "kernos50singleton/Singleton");
  EXPECT_EQ(probe_existing_a(3), nullptr);
}

}  // namespace
