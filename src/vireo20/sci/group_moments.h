// Per-group physics of one step: counts, second moments about the given centres, angular momentum,
// angular velocity and torque of every upscaled particle, over raw buffers of three doubles per row.
#pragma once

#include <cstdint>

#include "vireo20/Export.h"

class MPUpscaling;

namespace vireo20 {
namespace ups {

// What the moments read: rows of three doubles, laid out as the engine's reductions take them.
// Centres are by upscaled particle then trailing entry (U + T rows); positions, velocities and
// forces by enabled position then trailing entry (E + T rows); masses by source particle (N).
// Velocities and forces may be null: the arrays that need them are then not computed.
struct GroupMomentsInput {
  const double* centres = nullptr;
  std::int64_t centre_rows = 0;
  const double* positions = nullptr;
  std::int64_t position_rows = 0;
  const double* masses = nullptr;
  std::int64_t mass_count = 0;
  const double* velocities = nullptr;
  std::int64_t velocity_rows = 0;
  const double* forces = nullptr;
  std::int64_t force_rows = 0;
  // Optional, E + T: the masses by enabled position then trailing entry, as the caller gathered them
  // for the step's sums. Read in place of masses through the enabled list: one dependent random read
  // less per member when the list is shuffled.
  const double* entry_masses = nullptr;
  std::int64_t entry_mass_rows = 0;
  // Optional, E + T: each member's radius, which bounding_radius and the bounding box below reach out by.
  const double* radii = nullptr;
  std::int64_t radius_rows = 0;
};

// U + T rows each, every entry written, so they need not be zeroed first (NumPy puts large arrays
// from np.empty on huge pages, but not those from np.zeros). The gyration tensor is xx yy zz xy xz yz; the inertia
// tensor xx yy zz xy yz xz, with the products of inertia negative sums. angular_momentum and
// angular_velocity are written only with velocities, torque only with forces (may be null otherwise).
struct GroupMomentsOutput {
  std::int32_t* count = nullptr;
  double* radius_of_gyration = nullptr;
  double* gyration_tensor = nullptr;
  double* inertia = nullptr;
  double* angular_momentum = nullptr;
  double* angular_velocity = nullptr;
  double* torque = nullptr;
  // Optional, U + T rows of three: each row's centre of mass, found in the same pass and then used
  // instead of the input's centres (which may be null); with velocities, each row's mass-weighted
  // mean velocity. Both are the bits of the coordinate average.
  double* centres = nullptr;
  double* mean_velocity = nullptr;
  // Optional, U + T: with velocities and the centres found by the pass, each row's kinetic energy
  // about its mean velocity, 1/2 sum m |v - V|^2 (LAMMPS's temp/chunk internal at mvv2e = 1); 0 for
  // a lone member.
  double* internal_kinetic_energy = nullptr;
  // Optional, U + T rows of six, as internal_kinetic_energy: sum m (v - V)(v - V)^T about each row's
  // mean velocity V, xx yy zz xy xz yz (its trace twice the energy); zeros for a lone member.
  double* velocity_tensor = nullptr;
  // Optional, U + T rows of six, LAMMPS's gyration/shape/chunk: the gyration tensor's eigenvalues
  // l1 >= l2 >= l3, the asphericity l1 - (l2 + l3)/2, the acylindricity l2 - l3 and the relative
  // shape anisotropy 3/2 (l1^2 + l2^2 + l3^2)/(l1 + l2 + l3)^2 - 1/2. A lone member, or members
  // all at one spot, has no shape: zeros, and a NaN anisotropy (0/0, as LAMMPS gives).
  double* gyration_shape = nullptr;
  // Optional with gyration_shape, U + T rows of nine: principal_axes below (a lone member's, which has
  // no shape, the x, y and z axes).
  double* principal_axes = nullptr;
  // Optional, U + T: the radius of the sphere about each row's centre that holds its members: the
  // largest distance to a member's centre, plus that member's radius where radii are given.
  double* bounding_radius = nullptr;
  // Optional, U + T rows of three each: the corners of the axis-aligned box that holds each row's
  // members, the least and the greatest of their coordinates (less and plus their radii where radii
  // are given), as MDAnalysis's bbox gives them.
  double* bounding_box_lo = nullptr;
  double* bounding_box_hi = nullptr;
};

// The rows every output needs for the engine's current step: U + T.
VIREO20_API std::int64_t group_moment_rows(const MPUpscaling& p_Engine);

// Refuses input that does not fit the engine's step, before anything is written: row counts
// (std::invalid_argument) and an enabled list changed since the setup (std::runtime_error). No
// centres are asked of the input when the pass finds them.
VIREO20_API void check_group_moments(const MPUpscaling& p_Engine, const GroupMomentsInput& p_Input,
                                     bool p_FindsCentres = false);

// Checks, then fills p_Output. Each group's members are added in ascending position order by one
// thread, so the bits do not depend on p_Threads (1: the calling thread alone).
VIREO20_API void group_moments(const MPUpscaling& p_Engine, const GroupMomentsInput& p_Input,
                               const GroupMomentsOutput& p_Output, unsigned p_Threads);

// The sample standard deviation of each upscaled particle's members' values, column by column, as
// pandas's groupby std: p_Values E + T rows of p_Width (1..16) values by enabled position then
// trailing entry, p_Spread U + T rows of p_Width. About the members' mean, in a second walk over
// them (a sum of squares would lose the digits of values large beside their spread), over n - 1,
// NaN values passed over (pandas's skipna); NaN where fewer than two numbers are left and for each
// trailing entry; with p_Variance its square, pandas's var, not
// rounded twice. Each group by one thread in ascending position order: the bits do not depend on
// p_Threads. Refuses (std::invalid_argument) rows that do not fit.
VIREO20_API void group_spread(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                              std::int64_t p_Width, double* p_Spread, unsigned p_Threads, bool p_Variance = false);

// Each upscaled particle's sum of its members' values, column by column: the bits of the engine's Sum
// of each column (from 0, in ascending position order; a trailing entry's own value) in one walk
// over rows of p_Width, over the cores. Rows as group_spread's, the same refusals.
VIREO20_API void group_sum(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                           std::int64_t p_Width, double* p_Sum, unsigned p_Threads);

// Each upscaled particle's average of its members' values weighted by p_Weights (E + T, by enabled
// position then trailing entry, as entry_masses above; null: every weight 1, the plain mean), column
// by column: the bits of the engine's WeightedAverage of each column given those weights (from 0, in
// ascending position order, over the summed weight; a trailing entry's own value) in one walk over
// rows of p_Width, over the cores. Rows as group_spread's, the same refusals; p_WeightRows must be
// E + T.
VIREO20_API void group_average(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                               std::int64_t p_Width, const double* p_Weights, std::int64_t p_WeightRows,
                               double* p_Average, unsigned p_Threads);

// Each upscaled particle's lowest (highest) of its members' values, column by column, NaN values
// passed over (NaN where all are), as group_extents folds them in ascending position order; a
// trailing entry's own values. Rows as group_spread's, the same refusals.
VIREO20_API void group_lowest(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                              std::int64_t p_Width, double* p_Lowest, unsigned p_Threads);
VIREO20_API void group_highest(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                               std::int64_t p_Width, double* p_Highest, unsigned p_Threads);

// Each upscaled particle's median of its members' values, column by column, as pandas's groupby
// median: the middle value, or the two middle ones' (a + b) / 2, NaN values passed over (NaN where
// none is left); a trailing entry's own values. Rows as group_spread's, the same refusals; each group
// by one thread, so the bits do not depend on p_Threads.
VIREO20_API void group_median(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                              std::int64_t p_Width, double* p_Median, unsigned p_Threads);

// Each upscaled particle's number of distinct values among its members', column by column, as
// pandas's groupby nunique: NaN not counted, -0 and 0 one value; a trailing entry's 1 (0 for NaN).
// Rows as group_spread's, the same refusals.
VIREO20_API void group_distinct(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                                std::int64_t p_Width, double* p_Distinct, unsigned p_Threads);

// omega with I omega = L for the inertia tensor p_Inertia (xx yy zz xy yz xz): the inverse when its
// determinant exceeds 1e-6, else the pseudo-inverse over the principal moments of at least 1e-6 of
// the largest.
VIREO20_API void angular_velocity(const double* p_Inertia, const double* p_AngularMomentum, double* p_Omega);

// The six values of gyration_shape above from a gyration tensor xx yy zz xy xz yz.
VIREO20_API void gyration_shape(const double* p_Gyration, double* p_Shape);

// MDAnalysis's principal axes of a gyration tensor xx yy zz xy xz yz, as rows e1 e2 e3: its unit
// eigenvectors by growing eigenvalue (the inertia tensor's by falling moment, MDAnalysis's order), e3
// the long axis. e3 and e2 each have their largest component (the first of equal ones) positive, so
// that a rod's axis keeps its sign from step to step, and e1 = e2 x e3 makes them right-handed.
VIREO20_API void principal_axes(const double* p_Gyration, double* p_Axes);

// Eigenvalues and unit eigenvectors (columns of p_Vectors) of the symmetric p_Matrix by cyclic Jacobi
// rotations.
VIREO20_API void symmetric_eigen3(const double (&p_Matrix)[3][3], double (&p_Values)[3], double (&p_Vectors)[3][3]);

}  // namespace ups
}  // namespace vireo20
