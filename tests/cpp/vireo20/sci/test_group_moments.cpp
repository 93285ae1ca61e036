// Per-group physics against what a body's motion must give: a rigid rotation recovers its angular
// velocity, lines of members go through the pseudo-inverse, groups far from the origin keep their
// second moments, any thread count gives the same bits, and bad input is refused before any write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ExpectFailure.h"
#include "vireo20/vireo20.h"

namespace {

using IntArray = quill20::core::Array<int, 1>;
using vireo20::ups::GroupMomentsInput;
using vireo20::ups::GroupMomentsOutput;
using testing_support::expect_throw;

struct Vec {
  double x, y, z;
};
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator*(double s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// One step: particle p has parent parents[p]; entries are enabled positions then trailing entries.
struct Step {
  std::vector<int> parents, enabled;
  std::int32_t trailing = 0;
  std::vector<Vec> positions, velocities, forces;  // by entry
  std::vector<double> masses;                       // by particle
  boost::shared_ptr<MPUpscaling> engine;
  std::vector<Vec> centres;

  void set_up()
  {
    boost::shared_ptr<IntArray> table(new IntArray(parents.size()));
    std::copy(parents.begin(), parents.end(), table->data());
    boost::shared_ptr<IntArray> list(new IntArray(enabled.size()));
    std::copy(enabled.begin(), enabled.end(), list->data());
    engine.reset(new MPUpscaling(table));
    engine->setup(0, list, trailing);
    // The centres as the coordinate average gives them.
    boost::shared_ptr<MPUpscaling::CoordinateArray> coordinates(new MPUpscaling::CoordinateArray(positions.size()));
    std::memcpy(static_cast<void*>(coordinates->data()), positions.data(), sizeof(Vec) * positions.size());
    boost::shared_ptr<MPUpscaling::DoubleArray> mass_array(new MPUpscaling::DoubleArray(masses.size()));
    std::copy(masses.begin(), masses.end(), mass_array->data());
    const auto averaged = engine->weighted_average(coordinates, mass_array);
    centres.assign(reinterpret_cast<const Vec*>(averaged->data()), reinterpret_cast<const Vec*>(averaged->data()) + averaged->size());
  }

  GroupMomentsInput input(bool p_Velocities = true, bool p_Forces = true) const
  {
    GroupMomentsInput in;
    in.centres = &centres[0].x;
    in.centre_rows = static_cast<std::int64_t>(centres.size());
    in.positions = &positions[0].x;
    in.position_rows = static_cast<std::int64_t>(positions.size());
    in.masses = masses.data();
    in.mass_count = static_cast<std::int64_t>(masses.size());
    if (p_Velocities) in.velocities = &velocities[0].x, in.velocity_rows = static_cast<std::int64_t>(velocities.size());
    if (p_Forces) in.forces = &forces[0].x, in.force_rows = static_cast<std::int64_t>(forces.size());
    return in;
  }
};

struct Result {
  std::vector<std::int32_t> count;
  std::vector<double> rg, gyration, inertia, angmom, omega, torque;

  // NaN everywhere at first, so that an entry the moments leave unwritten shows.
  explicit Result(std::size_t p_Rows)
      : count(p_Rows, -1), rg(p_Rows, std::nan("")), gyration(6 * p_Rows, std::nan("")), inertia(6 * p_Rows, std::nan("")),
        angmom(3 * p_Rows, std::nan("")), omega(3 * p_Rows, std::nan("")), torque(3 * p_Rows, std::nan(""))
  {
  }
  GroupMomentsOutput output()
  {
    return {count.data(), rg.data(), gyration.data(), inertia.data(), angmom.data(), omega.data(), torque.data()};
  }
  bool operator==(const Result& p_Other) const
  {
    const auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
      return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
    };
    return count == p_Other.count && same(rg, p_Other.rg) && same(gyration, p_Other.gyration) &&
           same(inertia, p_Other.inertia) && same(angmom, p_Other.angmom) && same(omega, p_Other.omega) &&
           same(torque, p_Other.torque);
  }
};

Result run(const Step& p_Step, unsigned p_Threads = 1)
{
  Result result(p_Step.centres.size());
  vireo20::ups::group_moments(*p_Step.engine, p_Step.input(), result.output(), p_Threads);
  return result;
}

// Groups of the given sizes (first member the parent), enabled in shuffled order, each member at
// p_Place(group, member), moving as p_Move(group, d) about the group's centre, T trailing entries.
template <class Place, class Move>
Step make_step(const std::vector<int>& p_Sizes, std::int32_t p_Trailing, std::mt19937_64& p_Random, const Place& p_Place,
               const Move& p_Move)
{
  Step step;
  std::vector<int> group_of;
  for (std::size_t g = 0; g < p_Sizes.size(); ++g) {
    const int parent = static_cast<int>(step.parents.size());
    for (int k = 0; k < p_Sizes[g]; ++k) {
      step.parents.push_back(k == 0 ? -1 : parent);
      group_of.push_back(static_cast<int>(g));
    }
  }
  // One particle more that stays disabled: its mass is never read.
  step.parents.push_back(-1);
  group_of.push_back(-1);
  std::uniform_real_distribution<double> mass(0.5, 3.0);
  for (std::size_t p = 0; p < step.parents.size(); ++p) step.masses.push_back(mass(p_Random));
  step.masses.back() = std::nan("");
  step.enabled.resize(step.parents.size() - 1);
  std::iota(step.enabled.begin(), step.enabled.end(), 0);
  std::shuffle(step.enabled.begin(), step.enabled.end(), p_Random);
  std::vector<int> member(step.parents.size());
  for (std::size_t p = 0, k = 0; p + 1 < step.parents.size(); ++p) {
    k = (p > 0 && group_of[p] == group_of[p - 1]) ? k + 1 : 0;
    member[p] = static_cast<int>(k);
  }
  for (const int p : step.enabled) step.positions.push_back(p_Place(group_of[p], member[p]));
  std::normal_distribution<double> normal;
  for (std::int32_t j = 0; j < p_Trailing; ++j) step.positions.push_back({normal(p_Random), normal(p_Random), normal(p_Random)});
  step.trailing = p_Trailing;
  step.set_up();
  // The group numbers of the engine follow first occurrence; motion is by the step's own group.
  const auto elements = step.engine->get_element_particles_indexes();
  const std::vector<int> element(elements->data(), elements->data() + elements->size());
  for (std::size_t i = 0; i < step.positions.size(); ++i) {
    const bool trailing = i >= step.enabled.size();
    const Vec d = step.positions[i] - step.centres[element[i]];
    step.velocities.push_back(trailing ? Vec{1, 2, 3} : p_Move(group_of[step.enabled[i]], d));
    step.forces.push_back({normal(p_Random), normal(p_Random), normal(p_Random)});
  }
  return step;
}

// The engine's group of the step's group g: its first member's row.
std::vector<int> engine_groups(const Step& p_Step)
{
  std::vector<int> of_group;
  const auto element = p_Step.engine->get_element_particles_indexes();
  std::vector<int> first_of_parent(p_Step.parents.size(), -1);
  for (std::size_t i = 0; i < p_Step.enabled.size(); ++i) {
    const int p = p_Step.enabled[i];
    first_of_parent[p_Step.parents[p] < 0 ? p : p_Step.parents[p]] = element->data()[i];
  }
  for (std::size_t p = 0; p < p_Step.parents.size(); ++p)
    if (p_Step.parents[p] < 0 && first_of_parent[p] >= 0) of_group.push_back(first_of_parent[p]);
  return of_group;
}

TEST(GroupMoments, ARigidRotationGivesBackItsAngularVelocityAndTheMomentsOfTheBody)
{
  std::mt19937_64 random(71);
  std::normal_distribution<double> normal;
  std::vector<Vec> omega, drift;
  std::vector<int> sizes;
  for (int g = 0; g < 40; ++g) {
    sizes.push_back(3 + g % 6);
    omega.push_back({normal(random), normal(random), normal(random)});
    drift.push_back({normal(random), normal(random), normal(random)});
  }
  const Step step = make_step(
      sizes, 3, random, [&](int g, int) { return Vec{10.0 * g + normal(random), normal(random), 3 * normal(random)}; },
      [&](int g, Vec d) { return drift[g] + cross(omega[g], d); });
  const Result got = run(step);
  const std::vector<int> row = engine_groups(step);
  ASSERT_EQ(row.size(), sizes.size());
  for (std::size_t g = 0; g < sizes.size(); ++g) {
    const int e = row[g];
    EXPECT_EQ(got.count[e], sizes[g]);
    const Vec w{got.omega[3 * e], got.omega[3 * e + 1], got.omega[3 * e + 2]};
    const double scale = std::sqrt(dot(omega[g], omega[g]));
    EXPECT_NEAR(w.x, omega[g].x, 1e-11 * scale);
    EXPECT_NEAR(w.y, omega[g].y, 1e-11 * scale);
    EXPECT_NEAR(w.z, omega[g].z, 1e-11 * scale);
    // The drift of the whole body adds no angular momentum about the centre of mass: L = I omega.
    const double* i6 = &got.inertia[6 * e];
    const Vec l{i6[0] * w.x + i6[3] * w.y + i6[5] * w.z, i6[3] * w.x + i6[1] * w.y + i6[4] * w.z,
                i6[5] * w.x + i6[4] * w.y + i6[2] * w.z};
    EXPECT_NEAR(got.angmom[3 * e], l.x, 1e-10 * std::fabs(i6[0]) * scale);
    EXPECT_NEAR(got.angmom[3 * e + 2], l.z, 1e-10 * std::fabs(i6[2]) * scale);
    const double* gt = &got.gyration[6 * e];
    EXPECT_NEAR(got.rg[e] * got.rg[e], gt[0] + gt[1] + gt[2], 1e-12 * (gt[0] + gt[1] + gt[2]));
  }
  // Trailing entries: one particle each, nothing else, whatever they carry.
  const std::size_t u = sizes.size();
  for (std::size_t j = u; j < u + 3; ++j) {
    EXPECT_EQ(got.count[j], 1);
    EXPECT_EQ(got.rg[j], 0.0);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(got.inertia[6 * j + k], 0.0) << k;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(got.angmom[3 * j + k] + got.omega[3 * j + k] + got.torque[3 * j + k], 0.0);
  }
}

TEST(GroupMoments, LinesOfMembersTurnThroughThePseudoInverseAndALoneMemberDoesNotTurn)
{
  std::mt19937_64 random(5);
  std::normal_distribution<double> normal;
  // Groups of 1, 2, 3 and 5 members on a line through the origin of the group along axis[g].
  const std::vector<int> sizes{1, 2, 3, 5};
  const std::vector<Vec> axis{{1, 0, 0}, {0.6, 0.8, 0}, {0, 0, 1}, {1 / std::sqrt(3.0), 1 / std::sqrt(3.0), 1 / std::sqrt(3.0)}};
  std::vector<Vec> omega;
  for (std::size_t g = 0; g < sizes.size(); ++g) {
    const Vec w{normal(random), normal(random), normal(random)};
    omega.push_back(w - dot(w, axis[g]) * axis[g]);  // the part a line can show
  }
  const Step step = make_step(
      sizes, 0, random, [&](int g, int k) { return Vec{5.0 * g, -2.0, 1.0} + (1.0 + 0.75 * k) * axis[g]; },
      [&](int g, Vec d) { return cross(omega[g], d); });
  const Result got = run(step);
  const std::vector<int> row = engine_groups(step);
  for (std::size_t g = 0; g < sizes.size(); ++g) {
    const int e = row[g];
    const double* w = &got.omega[3 * e];
    if (sizes[g] == 1) {
      EXPECT_EQ(w[0], 0.0);
      EXPECT_EQ(w[1], 0.0);
      EXPECT_EQ(w[2], 0.0);
      continue;
    }
    const double scale = std::sqrt(dot(omega[g], omega[g]));
    EXPECT_NEAR(w[0], omega[g].x, 1e-9 * scale) << "group of " << sizes[g];
    EXPECT_NEAR(w[1], omega[g].y, 1e-9 * scale) << "group of " << sizes[g];
    EXPECT_NEAR(w[2], omega[g].z, 1e-9 * scale) << "group of " << sizes[g];
  }
}

TEST(GroupMoments, AngularVelocityInvertsAnyInertiaAndEigenvectorsDiagonalise)
{
  std::mt19937_64 random(17);
  std::normal_distribution<double> normal;
  for (int trial = 0; trial < 200; ++trial) {
    // A symmetric matrix, positive definite for the inverse, of rank trial % 3 + 1 for the eigen check.
    double b[3][3], a[3][3] = {};
    for (auto& row : b)
      for (double& x : row) x = normal(random);
    const int rank = trial % 3 + 1;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        for (int k = 0; k < rank; ++k) a[r][c] += b[k][r] * b[k][c];
    double values[3], vectors[3][3];
    vireo20::ups::symmetric_eigen3(a, values, vectors);
    const double norm = std::fabs(a[0][0]) + std::fabs(a[1][1]) + std::fabs(a[2][2]);
    for (int k = 0; k < 3; ++k) {
      for (int r = 0; r < 3; ++r) {
        const double av = a[r][0] * vectors[0][k] + a[r][1] * vectors[1][k] + a[r][2] * vectors[2][k];
        EXPECT_NEAR(av, values[k] * vectors[r][k], 1e-12 * norm) << trial;
      }
      for (int l = 0; l < 3; ++l) {
        const double vv = vectors[0][k] * vectors[0][l] + vectors[1][k] * vectors[1][l] + vectors[2][k] * vectors[2][l];
        EXPECT_NEAR(vv, k == l ? 1.0 : 0.0, 1e-13);
      }
    }
    if (rank < 3) continue;
    const double inertia[6] = {a[0][0], a[1][1], a[2][2], a[0][1], a[1][2], a[0][2]};
    const double l[3] = {normal(random), normal(random), normal(random)};
    double w[3];
    vireo20::ups::angular_velocity(inertia, l, w);
    for (int r = 0; r < 3; ++r) {
      const double back = a[r][0] * w[0] + a[r][1] * w[1] + a[r][2] * w[2];
      EXPECT_NEAR(back, l[r], 1e-8 * (std::fabs(l[0]) + std::fabs(l[1]) + std::fabs(l[2]))) << trial;
    }
  }
}

TEST(GroupMoments, AGroupFarFromTheOriginKeepsItsSecondMoments)
{
  std::mt19937_64 random(3);
  std::uniform_int_distribution<int> step_count(-(1 << 20), 1 << 20);
  // Offsets on a grid of 2^-20 stay exact beside 1e8, whose spacing is 2^-26.
  std::vector<Vec> offsets;
  for (int k = 0; k < 7; ++k)
    offsets.push_back({std::ldexp(step_count(random), -20), std::ldexp(step_count(random), -20), std::ldexp(step_count(random), -20)});
  for (const double origin : {0.0, 1e8}) {
    const Step step = make_step({7}, 0, random, [&](int, int k) { return Vec{origin, -origin, origin} + offsets[k]; },
                                [](int, Vec) { return Vec{0, 0, 0}; });
    const Result got = run(step);
    // The reference from the offsets alone, in long double.
    long double m = 0, c[3] = {};
    std::vector<Vec> by_particle(offsets.size());
    for (std::size_t i = 0; i < step.enabled.size(); ++i) by_particle[step.enabled[i]] = step.positions[i] - Vec{origin, -origin, origin};
    for (std::size_t p = 0; p < offsets.size(); ++p) {
      m += step.masses[p];
      c[0] += step.masses[p] * (long double)by_particle[p].x;
      c[1] += step.masses[p] * (long double)by_particle[p].y;
      c[2] += step.masses[p] * (long double)by_particle[p].z;
    }
    long double xx = 0, yz = 0;
    for (std::size_t p = 0; p < offsets.size(); ++p) {
      const long double dx = by_particle[p].x - c[0] / m, dy = by_particle[p].y - c[1] / m, dz = by_particle[p].z - c[2] / m;
      xx += step.masses[p] * dx * dx;
      yz += step.masses[p] * dy * dz;
    }
    EXPECT_NEAR(got.gyration[0], double(xx / m), 1e-9 * double(xx / m)) << origin;
    EXPECT_NEAR(got.inertia[4], double(-yz), 1e-9 * double(xx)) << origin;
  }
}

TEST(GroupMoments, AnyThreadCountGivesTheSameBits)
{
  std::mt19937_64 random(11);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> size(1, 9);
  std::vector<int> sizes;
  for (int members = 0; members < 150000;) members += (sizes.emplace_back(size(random)), sizes.back());
  const Step step = make_step(
      sizes, 10, random, [&](int g, int) { return Vec{1e3 * g + normal(random), normal(random), normal(random)}; },
      [&](int, Vec) { return Vec{normal(random), normal(random), normal(random)}; });
  const Result one = run(step, 1);
  for (const unsigned threads : {2u, 3u, 8u}) EXPECT_TRUE(run(step, threads) == one) << threads << " threads";
  // Masses gathered by entry beforehand (the trailing ones unread) give the same bits.
  std::vector<double> entry_masses(step.positions.size(), std::nan(""));
  for (std::size_t i = 0; i < step.enabled.size(); ++i) entry_masses[i] = step.masses[step.enabled[i]];
  GroupMomentsInput by_entry = step.input();
  by_entry.entry_masses = entry_masses.data();
  by_entry.entry_mass_rows = static_cast<std::int64_t>(entry_masses.size());
  for (const unsigned threads : {1u, 2u}) {
    Result result(step.centres.size());
    vireo20::ups::group_moments(*step.engine, by_entry, result.output(), threads);
    EXPECT_TRUE(result == one) << "by entry, " << threads << " threads";
  }
  // Without velocities or forces the same arrays come out the same.
  Result bare(step.centres.size());
  vireo20::ups::group_moments(*step.engine, step.input(false, false), bare.output(), 2);
  EXPECT_EQ(bare.count, one.count);
  EXPECT_EQ(std::memcmp(bare.inertia.data(), one.inertia.data(), sizeof(double) * one.inertia.size()), 0);
  EXPECT_TRUE(std::all_of(bare.omega.begin(), bare.omega.end(), [](double x) { return std::isnan(x); }))
      << "written without velocities";
  EXPECT_TRUE(std::none_of(one.omega.begin(), one.omega.end(), [](double x) { return std::isnan(x); }));

  // Found in the same pass, the centres and the mean velocity are the coordinate average's bits, and
  // the moments about them those about the given centres.
  boost::shared_ptr<MPUpscaling::CoordinateArray> velocities(new MPUpscaling::CoordinateArray(step.velocities.size()));
  std::memcpy(static_cast<void*>(velocities->data()), step.velocities.data(), sizeof(Vec) * step.velocities.size());
  boost::shared_ptr<MPUpscaling::DoubleArray> masses(new MPUpscaling::DoubleArray(step.masses.size()));
  std::copy(step.masses.begin(), step.masses.end(), masses->data());
  const auto averaged = step.engine->weighted_average(velocities, masses);
  for (const unsigned threads : {1u, 2u, 8u}) {
    Result found(step.centres.size());
    std::vector<Vec> centres(step.centres.size()), mean_velocity(step.centres.size());
    GroupMomentsOutput output = found.output();
    output.centres = &centres[0].x;
    output.mean_velocity = &mean_velocity[0].x;
    GroupMomentsInput input = step.input();
    input.centres = nullptr;
    vireo20::ups::group_moments(*step.engine, input, output, threads);
    EXPECT_TRUE(found == one) << threads << " threads";
    EXPECT_EQ(std::memcmp(centres.data(), step.centres.data(), sizeof(Vec) * centres.size()), 0) << threads;
    EXPECT_EQ(std::memcmp(mean_velocity.data(), averaged->data(), sizeof(Vec) * centres.size()), 0) << threads;
  }
}

TEST(GroupMoments, BadInputIsRefusedBeforeAnythingIsWritten)
{
  std::mt19937_64 random(2);
  Step step = make_step({2, 3}, 1, random, [](int g, int k) { return Vec{double(g), double(k), 0.0}; },
                        [](int, Vec) { return Vec{0, 0, 1}; });
  const auto refused = [&](GroupMomentsInput p_In) {
    Result result(step.centres.size());
    try {
      vireo20::ups::group_moments(*step.engine, p_In, result.output(), 1);
    } catch (...) {
      EXPECT_TRUE(result == Result(step.centres.size())) << "written before the refusal";
      throw;
    }
  };
  GroupMomentsInput in = step.input();
  in.centre_rows = 2;
  EXPECT_EQ(std::string(expect_throw<std::invalid_argument>([&] { refused(in); }).what()),
            "group_moments: centres has 2 rows; the step needs 3 (2 upscaled particles, then 1 trailing entries)");
  in = step.input();
  in.force_rows = 7;
  EXPECT_EQ(std::string(expect_throw<std::invalid_argument>([&] { refused(in); }).what()),
            "group_moments: forces has 7 rows; the step needs 6 (5 enabled positions, then 1 trailing entries)");
  in = step.input();
  in.entry_masses = step.masses.data();
  in.entry_mass_rows = 5;
  EXPECT_EQ(std::string(expect_throw<std::invalid_argument>([&] { refused(in); }).what()),
            "group_moments: entry_masses has 5 rows; the step needs 6 (5 enabled positions, then 1 trailing entries)");
  in = step.input();
  in.mass_count = 5;
  EXPECT_EQ(std::string(expect_throw<std::invalid_argument>([&] { refused(in); }).what()),
            "group_moments: masses has 5 entries; the generator has 6 source particles (one mass each)");
  // The enabled list is the caller's: changed after the setup, it is caught before any gather.
  step.engine->enabled_indexes()->data()[3] = 6;
  EXPECT_EQ(std::string(expect_throw<std::runtime_error>([&] { refused(step.input()); }).what()),
            "group_moments: enabled_indexes[3] = 6 was changed after SetParticlesEnabledIndexes and no longer "
            "names one of the 6 source particles");
  step.engine->enabled_indexes()->resize(4);
  EXPECT_EQ(std::string(expect_throw<std::runtime_error>([&] { refused(step.input()); }).what()),
            "group_moments: the enabled list given to SetParticlesEnabledIndexes now has 4 entries, fewer than "
            "the 5 it was grouped with; call SetParticlesEnabledIndexes again");
}

}  // namespace
