// Singletons across two separately built shared libraries: one instance, a shared count, and
// destruction only after the last module released it.
#include <gtest/gtest.h>

#include "probe.h"
#include "support/ExpectFailure.h"

namespace {

const char* const key = "kernos50::Singleton<Probe>";

TEST(Singleton, TwoModulesShareOneInstanceDestroyedByTheLastRelease)
{
  auto& registry = kernos50::singleton::singleton_registry_instance();
  EXPECT_EQ(registry.count(key), 0u);

  Probe* a = probe_instance_a();
  EXPECT_EQ(probe_count_a(), 1u);
  ASSERT_EQ(registry.count(key), 1u);
  EXPECT_EQ(probe_existing_b(), nullptr);

  Probe* b = probe_instance_b();
  EXPECT_EQ(a, b);
  EXPECT_EQ(probe_count_a(), 2u);
  EXPECT_EQ(probe_count_b(), 2u);
  EXPECT_EQ(probe_instance_a(), a);
  EXPECT_EQ(probe_count_a(), 2u) << "a module that holds the instance does not count again";

  bool destroyed = false;
  a->on_destroyed = [&] { destroyed = true; };
  probe_release_a();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(probe_existing_a(), nullptr);
  EXPECT_EQ(probe_count_b(), 1u);
  EXPECT_EQ(registry.count(key), 1u);

  probe_release_b();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(registry.count(key), 0u);
  EXPECT_EQ(probe_existing_b(), nullptr);
}

TEST(Singleton, ModuleCannotRegisterItsReleaseTwice)
{
  probe_instance_a();
  probe_instance_b();
  probe_release_a();
  probe_release_b();
  // Module b constructs its first instance, but its release is already registered.
  EXPECT_CONTRACT_FAILURE(kernos50::IPosconditionException, probe_instance_b(), "!already_registered",
                          "Trying to register an already registered singleton.\nSingleton class: Probe",
                          "kernos50singleton/Singleton");
  probe_release_b();
}

TEST(Singleton, ConstructorRunsOncePerModule)
{
  probe_instance_a();
  probe_release_a();
  EXPECT_CONTRACT_FAILURE(kernos50::IPosconditionException, probe_instance_a(), "times_here == 1",
                          "In Singleton constructor: should arrive here only once.\nSingleton class: Probe",
                          "kernos50singleton/Singleton");
  EXPECT_EQ(probe_existing_a(), nullptr);
}

}  // namespace
