// Per-group physics over the engine's blocks: one pass gathers each group's members and adds their
// moments about the group's centre; angular velocities are solved per group afterwards.
#include "vireo20/sci/group_moments.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vireo20/sci/mp_upscaling.h"
#include "vireo20/sci/ordered_driver.h"
#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace ups {
namespace {

[[noreturn]] void refuse_argument(const std::string& p_Text)
{
  throw std::invalid_argument("group_moments: " + p_Text);
}

void require_rows(const char* p_Name, std::int64_t p_Rows, std::int64_t p_Wanted, const char* p_Why)
{
  if (p_Rows == p_Wanted) return;
  std::ostringstream text;
  text << p_Name << " has " << p_Rows << " rows; the step needs " << p_Wanted << " (" << p_Why << ")";
  refuse_argument(text.str());
}

// A member costs a few random reads (its rows, its enabled entry and through that its mass), asked
// for the engine's prefetch_distance ahead so that they overlap; the mass waits for the enabled
// entry, so it is asked for later. A distance of 16 measured no different from 64 here. The walk
// is the engine driver's add_by_blocks written out: fifteen accumulators and three centre values as
// a policy of that driver took about twice the time of this loop, whose pointers are plain locals.

inline void prefetch_row(const double* p_Rows, std::int32_t p_Row)
{
  const double* row = p_Rows + 3 * static_cast<std::int64_t>(p_Row);
  __builtin_prefetch(row);
  __builtin_prefetch(row + 2);  // a row of 24 bytes may straddle two lines
}

void no_shape(double* p_Shape)
{
  std::fill(p_Shape, p_Shape + 5, 0.0);
  p_Shape[5] = std::numeric_limits<double>::quiet_NaN();
}

void shape_of(const double (&p_L)[3], double* p_Shape)
{
  const double sum = p_L[0] + p_L[1] + p_L[2];
  p_Shape[0] = p_L[0];
  p_Shape[1] = p_L[1];
  p_Shape[2] = p_L[2];
  p_Shape[3] = p_L[0] - 0.5 * (p_L[1] + p_L[2]);
  p_Shape[4] = p_L[1] - p_L[2];
  p_Shape[5] = 1.5 * (p_L[0] * p_L[0] + p_L[1] * p_L[1] + p_L[2] * p_L[2]) / (sum * sum) - 0.5;
}

// Two members lie on a line through their centre: the tensor is m1 m2 / M^2 d d^T, whose one
// eigenvalue is its trace. Exact, where an eigensolver returns rounding for the other two.
void shape_of_two(const double* p_Gyration, double* p_Shape)
{
  const double l[3] = {p_Gyration[0] + p_Gyration[1] + p_Gyration[2], 0.0, 0.0};
  shape_of(l, p_Shape);
}

struct Sums {
  double mass = 0.0;
  double xx = 0.0, yy = 0.0, zz = 0.0, xy = 0.0, xz = 0.0, yz = 0.0;
  double lx = 0.0, ly = 0.0, lz = 0.0;
  double tx = 0.0, ty = 0.0, tz = 0.0;
  double kinetic = 0.0;
  double kxx = 0.0, kyy = 0.0, kzz = 0.0, kxy = 0.0, kxz = 0.0, kyz = 0.0;
};

// Groups p_First..p_End-1, whose blocks tile positions[begin, end) in order. Velocities and forces
// are template switches so that the pass without them reads nothing more.
//
// Asked for the centres (p_Out.centres), a group's members are walked twice: first for the centre
// of mass, with the very additions of the coordinate average (the same bits), then for the moments
// about it, their rows still in the cache. At ten million members scattered over the rows, the
// separate average cost two thirds of the moments' own time, mostly in cache misses.
//
// With every particle enabled in its own place (InOrder), a member's mass is read at its own row
// rather than through its enabled entry: one dependent random read less per member.
template <bool WithVelocities, bool WithForces, bool InOrder>
void moments_of_groups(const MPUpscaling::Frame& p_Frame, const GroupMomentsInput& p_In, const GroupMomentsOutput& p_Out,
                       std::int32_t p_First, std::int32_t p_End)
{
  if (p_First >= p_End) return;
  const auto* ranges = p_Frame.ranges;
  const std::int32_t* positions = p_Frame.positions;
  const int* enabled = p_Frame.enabled;
  const double* masses = p_In.masses;
  const double* r = p_In.positions;
  const double* v = p_In.velocities;
  const double* f = p_In.forces;
  const std::int32_t end = ranges[p_End - 1].first + ranges[p_End - 1].second;
  double* const found_centres = p_Out.centres;
  double* const mean_velocity = WithVelocities ? p_Out.mean_velocity : nullptr;
  double* const internal_kinetic_energy = WithVelocities && found_centres ? p_Out.internal_kinetic_energy : nullptr;
  double* const velocity_tensor = WithVelocities && found_centres ? p_Out.velocity_tensor : nullptr;
  const bool finds_mean_velocity = mean_velocity || internal_kinetic_energy || velocity_tensor;
  double* const bounding_radius = p_Out.bounding_radius;
  double* const box_lo = p_Out.bounding_box_lo;
  double* const box_hi = p_Out.bounding_box_hi;
  const double* const radii = bounding_radius || box_lo ? p_In.radii : nullptr;
  const auto ask_ahead = [&](std::int32_t k) {
    if (k + 2 * prefetch_distance < end) {
      const std::int32_t ahead = positions[k + 2 * prefetch_distance];
      prefetch_row(r, ahead);
      if (WithVelocities) prefetch_row(v, ahead);
      if (WithForces) prefetch_row(f, ahead);
      if (radii) __builtin_prefetch(radii + ahead);
      if (InOrder)
        __builtin_prefetch(masses + ahead);
      else
        __builtin_prefetch(enabled + ahead);
    }
    if (!InOrder && k + prefetch_distance < end) __builtin_prefetch(masses + enabled[positions[k + prefetch_distance]]);
  };
  const auto mass_of = [&](std::int64_t i) { return InOrder ? masses[i] : masses[enabled[i]]; };

  for (std::int32_t e = p_First; e < p_End; ++e) {
    const std::int32_t first = ranges[e].first, count = ranges[e].second;
    double cx, cy, cz, wx = 0.0, wy = 0.0, wz = 0.0;
    if (found_centres) {
      double sx = 0.0, sy = 0.0, sz = 0.0, weight = 0.0, svx = 0.0, svy = 0.0, svz = 0.0;
      for (std::int32_t k = first; k < first + count; ++k) {
        ask_ahead(k);
        const std::int64_t i = positions[k];
        const double m = mass_of(i);
        sx += r[3 * i] * m;
        sy += r[3 * i + 1] * m;
        sz += r[3 * i + 2] * m;
        weight += m;
        if (finds_mean_velocity) {
          svx += v[3 * i] * m;
          svy += v[3 * i + 1] * m;
          svz += v[3 * i + 2] * m;
        }
      }
      cx = sx / weight, cy = sy / weight, cz = sz / weight;
      double* c = found_centres + 3 * std::int64_t(e);
      c[0] = cx, c[1] = cy, c[2] = cz;
      wx = svx / weight, wy = svy / weight, wz = svz / weight;
      if (mean_velocity) {
        double* w = mean_velocity + 3 * std::int64_t(e);
        w[0] = wx, w[1] = wy, w[2] = wz;
      }
    } else {
      cx = p_In.centres[3 * std::int64_t(e)], cy = p_In.centres[3 * std::int64_t(e) + 1];
      cz = p_In.centres[3 * std::int64_t(e) + 2];
    }
    Sums s;
    // The farthest reach: a squared distance without radii, where the root is taken once at the end.
    double reach = 0.0;
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
    for (std::int32_t k = first; k < first + count; ++k) {
      if (!found_centres) ask_ahead(k);

      const std::int64_t i = positions[k];
      const double m = mass_of(i);
      const double dx = r[3 * i] - cx, dy = r[3 * i + 1] - cy, dz = r[3 * i + 2] - cz;
      const double mx = m * dx, my = m * dy, mz = m * dz;
      s.mass += m;
      s.xx += mx * dx;
      s.yy += my * dy;
      s.zz += mz * dz;
      s.xy += mx * dy;
      s.xz += mx * dz;
      s.yz += my * dz;
      if (bounding_radius) {
        const double squared = dx * dx + dy * dy + dz * dz;
        reach = std::max(reach, radii ? std::sqrt(squared) + radii[i] : squared);
      }
      if (box_lo) {
        const double out = radii ? radii[i] : 0.0;
        for (int a = 0; a < 3; ++a) {
          lo[a] = std::min(lo[a], r[3 * i + a] - out);
          hi[a] = std::max(hi[a], r[3 * i + a] + out);
        }
      }
      if (WithVelocities) {
        const double vx = v[3 * i], vy = v[3 * i + 1], vz = v[3 * i + 2];
        s.lx += m * (dy * vz - dz * vy);
        s.ly += m * (dz * vx - dx * vz);
        s.lz += m * (dx * vy - dy * vx);
        if (internal_kinetic_energy || velocity_tensor) {
          const double ux = vx - wx, uy = vy - wy, uz = vz - wz;
          if (internal_kinetic_energy) s.kinetic += m * (ux * ux + uy * uy + uz * uz);
          if (velocity_tensor) {
            const double mx = m * ux, my = m * uy;
            s.kxx += mx * ux;
            s.kyy += my * uy;
            s.kzz += m * uz * uz;
            s.kxy += mx * uy;
            s.kxz += mx * uz;
            s.kyz += my * uz;
          }
        }
      }
      if (WithForces) {
        const double fx = f[3 * i], fy = f[3 * i + 1], fz = f[3 * i + 2];
        s.tx += dy * fz - dz * fy;
        s.ty += dz * fx - dx * fz;
        s.tz += dx * fy - dy * fx;
      }
    }

    p_Out.count[e] = count;
    // A lone member's distance to its centre is the rounding of (x m) / m: it reaches its radius.
    if (bounding_radius)
      bounding_radius[e] = count == 1 ? (radii ? radii[positions[first]] : 0.0) : radii ? reach : std::sqrt(reach);
    if (box_lo) {
      std::copy(lo, lo + 3, box_lo + 3 * std::int64_t(e));
      std::copy(hi, hi + 3, box_hi + 3 * std::int64_t(e));
    }
    double* g = p_Out.gyration_tensor + 6 * std::int64_t(e);
    if (s.mass == 0.0) {
      std::fill(g, g + 6, 0.0);
      p_Out.radius_of_gyration[e] = 0.0;
    } else {
      g[0] = s.xx / s.mass;
      g[1] = s.yy / s.mass;
      g[2] = s.zz / s.mass;
      g[3] = s.xy / s.mass;
      g[4] = s.xz / s.mass;
      g[5] = s.yz / s.mass;
      p_Out.radius_of_gyration[e] = std::sqrt((s.xx + s.yy + s.zz) / s.mass);
    }
    double* inertia = p_Out.inertia + 6 * std::int64_t(e);
    inertia[0] = s.yy + s.zz;
    inertia[1] = s.xx + s.zz;
    inertia[2] = s.xx + s.yy;
    // From 0.0, so that a zero product of inertia is +0 rather than -0.
    inertia[3] = 0.0 - s.xy;
    inertia[4] = 0.0 - s.yz;
    inertia[5] = 0.0 - s.xz;
    if (WithVelocities) {
      double* l = p_Out.angular_momentum + 3 * std::int64_t(e);
      l[0] = s.lx;
      l[1] = s.ly;
      l[2] = s.lz;
      // A lone member's centre is itself up to rounding: its tensor is noise, and it does not turn.
      double* w = p_Out.angular_velocity + 3 * std::int64_t(e);
      if (count > 1)
        angular_velocity(inertia, l, w);
      else
        w[0] = w[1] = w[2] = 0.0;
    }
    // A lone member moves at its own mean velocity, up to the rounding of (v m) / m: it has none.
    if (internal_kinetic_energy) internal_kinetic_energy[e] = count > 1 ? 0.5 * s.kinetic : 0.0;
    if (velocity_tensor) {
      double* k = velocity_tensor + 6 * std::int64_t(e);
      const double sums[6] = {s.kxx, s.kyy, s.kzz, s.kxy, s.kxz, s.kyz};
      for (int a = 0; a < 6; ++a) k[a] = count > 1 ? sums[a] : 0.0;
    }
    if (WithForces) {
      double* t = p_Out.torque + 3 * std::int64_t(e);
      t[0] = s.tx;
      t[1] = s.ty;
      t[2] = s.tz;
    }
  }
}

// The shapes in a pass of their own over the finished tensors: inside the gather above, whose
// members' rows are memory-latency bound, the same arithmetic took two to three times as long (0.15
// to 0.3 s more at ten million members, against 0.1 s here). Each row is its own, so the bits do not
// depend on the threads.
void shapes_over_threads(const GroupMomentsOutput& p_Out, std::int64_t p_Rows, unsigned p_Threads)
{
  constexpr std::int64_t per_piece = std::int64_t(1) << 15;
  const auto pieces = static_cast<std::int32_t>((p_Rows + per_piece - 1) / per_piece);
  share_out(p_Threads, pieces, [&](unsigned, std::int32_t p_Piece) {
    const std::int64_t end = std::min(p_Rows, (p_Piece + 1) * per_piece);
    for (std::int64_t e = p_Piece * per_piece; e < end; ++e) {
      const double* g = p_Out.gyration_tensor + 6 * e;
      double* shape = p_Out.gyration_shape + 6 * e;
      // A lone member's tensor is the rounding of its own centre: no shape.
      if (p_Out.count[e] > 2)
        gyration_shape(g, shape);
      else if (p_Out.count[e] == 2)
        shape_of_two(g, shape);
      else
        no_shape(shape);
      if (!p_Out.principal_axes) continue;
      double* axes = p_Out.principal_axes + 9 * e;
      if (p_Out.count[e] > 1) {
        principal_axes(g, axes);
      } else {
        std::fill(axes, axes + 9, 0.0);
        axes[0] = axes[4] = axes[8] = 1.0;
      }
    }
  });
}

template <bool WithVelocities, bool WithForces, bool InOrder>
void moments_over_threads(const MPUpscaling::Frame& p_Frame, const GroupMomentsInput& p_In,
                          const GroupMomentsOutput& p_Out, unsigned p_Threads)
{
  const std::int32_t u = p_Frame.u, e_count = p_Frame.e;
  const ParticlePieces split = particle_pieces(u, e_count, p_Threads);
  const std::int32_t pieces = split.pieces;
  share_out(split.threads, pieces, [&](unsigned, std::int32_t p_Piece) {
    moments_of_groups<WithVelocities, WithForces, InOrder>(
        p_Frame, p_In, p_Out, first_particle_of_piece(p_Frame.ranges, u, e_count, pieces, p_Piece),
        first_particle_of_piece(p_Frame.ranges, u, e_count, pieces, p_Piece + 1));
  });
}

}  // namespace

std::int64_t group_moment_rows(const MPUpscaling& p_Engine)
{
  return MPUpscaling::Frame(p_Engine).total();
}

namespace {

// The step as the moments read it; the checks refuse, before anything is written, input that does
// not fit it, and a list changed since the setup (the enabled entries are then read unchecked).
MPUpscaling::Frame checked_frame(const MPUpscaling& p_Engine, const GroupMomentsInput& p_In, bool p_FindsCentres)
{
  MPUpscaling::Frame frame(p_Engine);
  const std::int64_t u = frame.u, t = frame.t, e = frame.e;
  const std::uint64_t n = p_Engine.number_of_source_particles();
  std::ostringstream why;
  why << u << " upscaled particles, then " << t << " trailing entries";
  if (!p_FindsCentres) require_rows("centres", p_In.centres ? p_In.centre_rows : 0, u + t, why.str().c_str());
  why.str("");
  why << e << " enabled positions, then " << t << " trailing entries";
  require_rows("positions", p_In.positions ? p_In.position_rows : 0, e + t, why.str().c_str());
  if (p_In.velocities) require_rows("velocities", p_In.velocity_rows, e + t, why.str().c_str());
  if (p_In.forces) require_rows("forces", p_In.force_rows, e + t, why.str().c_str());
  if (p_In.entry_masses) require_rows("entry_masses", p_In.entry_mass_rows, e + t, why.str().c_str());
  if (p_In.radii) require_rows("radii", p_In.radius_rows, e + t, why.str().c_str());
  const std::int64_t mass_count = p_In.masses ? p_In.mass_count : 0;
  if (static_cast<std::uint64_t>(mass_count) != n) {
    std::ostringstream text;
    text << "masses has " << mass_count << " entries; the generator has " << n << " source particles (one mass each)";
    refuse_argument(text.str());
  }
  frame.attach_enabled("group_moments", p_Engine);
  for (std::int32_t i = 0; i < frame.e; ++i) {
    if (!MPUpscaling::Frame::names_a_particle(frame.enabled[i], static_cast<std::uint64_t>(mass_count)))
      MPUpscaling::Frame::refuse_changed("group_moments", i, frame.enabled[i], static_cast<std::uint64_t>(mass_count));
  }
  return frame;
}

}  // namespace

void check_group_moments(const MPUpscaling& p_Engine, const GroupMomentsInput& p_In, bool p_FindsCentres)
{
  checked_frame(p_Engine, p_In, p_FindsCentres);
}

void group_moments(const MPUpscaling& p_Engine, const GroupMomentsInput& p_In, const GroupMomentsOutput& p_Out,
                   unsigned p_Threads)
{
  const MPUpscaling::Frame frame = checked_frame(p_Engine, p_In, p_Out.centres != nullptr);
  if (frame.u > 0) {
    const bool velocities = p_In.velocities != nullptr, forces = p_In.forces != nullptr;
    const auto run = [&](auto p_InOrder, const GroupMomentsInput& p_Input) {
      constexpr bool InOrder = decltype(p_InOrder)::value;
      if (velocities && forces)
        moments_over_threads<true, true, InOrder>(frame, p_Input, p_Out, p_Threads);
      else if (velocities)
        moments_over_threads<true, false, InOrder>(frame, p_Input, p_Out, p_Threads);
      else if (forces)
        moments_over_threads<false, true, InOrder>(frame, p_Input, p_Out, p_Threads);
      else
        moments_over_threads<false, false, InOrder>(frame, p_Input, p_Out, p_Threads);
    };
    if (p_In.entry_masses) {
      // Masses by enabled position are what the in-order walk reads.
      GroupMomentsInput by_entry = p_In;
      by_entry.masses = p_In.entry_masses;
      run(std::true_type(), by_entry);
    } else if (entries_in_place(frame, static_cast<std::uint64_t>(p_In.mass_count))) {
      run(std::true_type(), p_In);
    } else {
      run(std::false_type(), p_In);
    }
  }
  // A trailing entry is one particle on its own centre: it counts, and nothing else.
  const std::int64_t u = frame.u, t = frame.t;
  std::fill(p_Out.count + u, p_Out.count + u + t, 1);
  std::fill(p_Out.radius_of_gyration + u, p_Out.radius_of_gyration + u + t, 0.0);
  std::fill(p_Out.gyration_tensor + 6 * u, p_Out.gyration_tensor + 6 * (u + t), 0.0);
  std::fill(p_Out.inertia + 6 * u, p_Out.inertia + 6 * (u + t), 0.0);
  if (p_In.velocities) {
    std::fill(p_Out.angular_momentum + 3 * u, p_Out.angular_momentum + 3 * (u + t), 0.0);
    std::fill(p_Out.angular_velocity + 3 * u, p_Out.angular_velocity + 3 * (u + t), 0.0);
  }
  if (p_In.forces) std::fill(p_Out.torque + 3 * u, p_Out.torque + 3 * (u + t), 0.0);
  if (p_In.velocities && p_Out.centres && p_Out.internal_kinetic_energy)
    std::fill(p_Out.internal_kinetic_energy + u, p_Out.internal_kinetic_energy + u + t, 0.0);
  if (p_In.velocities && p_Out.centres && p_Out.velocity_tensor)
    std::fill(p_Out.velocity_tensor + 6 * u, p_Out.velocity_tensor + 6 * (u + t), 0.0);
  // Its centre and mean velocity are its own row, over its weight of 1 as the average divides.
  const std::int64_t e = frame.e;
  if (p_Out.centres)
    for (std::int64_t k = 0; k < 3 * t; ++k) p_Out.centres[3 * u + k] = p_In.positions[3 * e + k] / 1.0;
  if (p_Out.mean_velocity && p_In.velocities)
    for (std::int64_t k = 0; k < 3 * t; ++k) p_Out.mean_velocity[3 * u + k] = p_In.velocities[3 * e + k] / 1.0;
  if (p_Out.bounding_radius)
    for (std::int64_t k = 0; k < t; ++k) p_Out.bounding_radius[u + k] = p_In.radii ? p_In.radii[e + k] : 0.0;
  if (p_Out.bounding_box_lo)
    for (std::int64_t k = 0; k < 3 * t; ++k) {
      const double out = p_In.radii ? p_In.radii[e + k / 3] : 0.0;
      p_Out.bounding_box_lo[3 * u + k] = p_In.positions[3 * e + k] - out;
      p_Out.bounding_box_hi[3 * u + k] = p_In.positions[3 * e + k] + out;
    }
  if (p_Out.gyration_shape) shapes_over_threads(p_Out, u + t, p_Threads);
}

namespace {

// The widest row of values a per-member pass takes.
constexpr std::int64_t widest_row = 16;

// The frame of a step whose values, p_Rows rows of p_Width by enabled position then trailing entry,
// a per-member pass reads; refused (std::invalid_argument) where they do not fit.
MPUpscaling::Frame checked_rows(const char* p_Name, const MPUpscaling& p_Engine, std::int64_t p_Rows,
                                std::int64_t p_Width)
{
  if (p_Width < 1 || p_Width > widest_row) {
    std::ostringstream text;
    text << p_Name << ": " << p_Width << " values a row; 1 to " << widest_row << " are taken";
    throw std::invalid_argument(text.str());
  }
  MPUpscaling::Frame frame(p_Engine);
  if (p_Rows != frame.e + frame.t) {
    std::ostringstream text;
    text << p_Name << ": values has " << p_Rows << " rows; the step needs " << frame.e + frame.t << " ("
         << frame.e << " enabled positions, then " << frame.t << " trailing entries)";
    throw std::invalid_argument(text.str());
  }
  return frame;
}

// p_Piece(begin, end, last) for each piece of the upscaled particles, shared out over the cores in the
// engine's blocks: the particles [begin, end), whose members end at position `last`. Group by group,
// as the moments: a member's row is read while it is in the cache. Scattered into per-group sums row
// by row instead, a step of shuffled groups took 0.65-0.9 s at ten million rows of three.
template <class Piece>
void each_piece(const MPUpscaling::Frame& p_Frame, unsigned p_Threads, Piece&& p_Piece)
{
  const auto* ranges = p_Frame.ranges;
  const ParticlePieces split = particle_pieces(p_Frame.u, p_Frame.e, p_Threads);
  share_out(split.threads, split.pieces, [&](unsigned, std::int32_t p_Which) {
    const std::int32_t begin = first_particle_of_piece(ranges, p_Frame.u, p_Frame.e, split.pieces, p_Which);
    const std::int32_t end = first_particle_of_piece(ranges, p_Frame.u, p_Frame.e, split.pieces, p_Which + 1);
    if (begin < end) p_Piece(begin, end, ranges[end - 1].first + ranges[end - 1].second);
  });
}

// p_Row(member's row of p_Width values) for each member of the group whose positions are
// p_Positions[p_First, p_First + p_Count), in ascending position order, the rows ahead prefetched up
// to the piece's last position p_Last.
template <class Row>
void each_member_row(const double* p_Values, std::int64_t p_Width, const std::int32_t* p_Positions,
                     std::int32_t p_First, std::int32_t p_Count, std::int32_t p_Last, Row&& p_Row)
{
  for (std::int32_t k = p_First; k < p_First + p_Count; ++k) {
    if (k + prefetch_distance < p_Last) __builtin_prefetch(p_Values + p_Positions[k + prefetch_distance] * p_Width);
    p_Row(p_Values + std::int64_t(p_Positions[k]) * p_Width);
  }
}

}  // namespace

void group_spread(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width,
                  double* p_Spread, unsigned p_Threads, bool p_Variance)
{
  const MPUpscaling::Frame frame = checked_rows("group_spread", p_Engine, p_Rows, p_Width);
  const std::int64_t u = frame.u, t = frame.t;
  const double not_a_number = std::numeric_limits<double>::quiet_NaN();
  std::fill(p_Spread + u * p_Width, p_Spread + (u + t) * p_Width, not_a_number);
  const auto* ranges = frame.ranges;
  const std::int32_t* positions = frame.positions;
  each_piece(frame, p_Threads, [&](std::int32_t p_Begin, std::int32_t p_End, std::int32_t p_Last) {
    for (std::int32_t e = p_Begin; e < p_End; ++e) {
      const std::int32_t first = ranges[e].first, count = ranges[e].second;
      double* out = p_Spread + e * p_Width;
      if (count < 2) {
        std::fill(out, out + p_Width, not_a_number);
        continue;
      }
      // NaN values passed over, as pandas's skipna: each column counts its own numbers.
      double mean[widest_row] = {}, squares[widest_row] = {};
      std::int32_t counted[widest_row] = {};
      each_member_row(p_Values, p_Width, positions, first, count, p_Last, [&](const double* p_Row) {
        for (std::int64_t c = 0; c < p_Width; ++c)
          if (!std::isnan(p_Row[c])) {
            mean[c] += p_Row[c];
            ++counted[c];
          }
      });
      for (std::int64_t c = 0; c < p_Width; ++c) mean[c] /= counted[c];
      for (std::int32_t k = first; k < first + count; ++k) {
        const double* row = p_Values + std::int64_t(positions[k]) * p_Width;
        for (std::int64_t c = 0; c < p_Width; ++c)
          if (!std::isnan(row[c])) squares[c] += (row[c] - mean[c]) * (row[c] - mean[c]);
      }
      for (std::int64_t c = 0; c < p_Width; ++c) {
        const double variance = counted[c] < 2 ? not_a_number : squares[c] / (counted[c] - 1);
        out[c] = p_Variance ? variance : std::sqrt(variance);
      }
    }
  });
}

// p_Fold(out row, member's row) over each group's members in ascending position order, every out row
// started at p_Start; a trailing entry's row is its own, as the engine's reductions give it.
template <class Fold>
void fold_members(const char* p_Name, const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows,
                  std::int64_t p_Width, double* p_Out, unsigned p_Threads, double p_Start, Fold&& p_Fold)
{
  const MPUpscaling::Frame frame = checked_rows(p_Name, p_Engine, p_Rows, p_Width);
  const std::int64_t u = frame.u, t = frame.t;
  std::fill(p_Out, p_Out + u * p_Width, p_Start);
  std::copy(p_Values + frame.e * p_Width, p_Values + (frame.e + t) * p_Width, p_Out + u * p_Width);
  const auto* ranges = frame.ranges;
  const std::int32_t* positions = frame.positions;
  each_piece(frame, p_Threads, [&](std::int32_t p_Begin, std::int32_t p_End, std::int32_t p_Last) {
    for (std::int32_t e = p_Begin; e < p_End; ++e) {
      const std::int32_t first = ranges[e].first, count = ranges[e].second;
      double* out = p_Out + e * p_Width;
      each_member_row(p_Values, p_Width, positions, first, count, p_Last,
                      [&](const double* p_Row) { p_Fold(out, p_Row); });
    }
  });
}

void group_sum(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width,
               double* p_Sum, unsigned p_Threads)
{
  fold_members("group_sum", p_Engine, p_Values, p_Rows, p_Width, p_Sum, p_Threads, 0.0,
               [p_Width](double* p_Out, const double* p_Row) {
                 for (std::int64_t c = 0; c < p_Width; ++c) p_Out[c] += p_Row[c];
               });
}

void group_average(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width,
                   const double* p_Weights, std::int64_t p_WeightRows, double* p_Average, unsigned p_Threads)
{
  const MPUpscaling::Frame frame = checked_rows("group_average", p_Engine, p_Rows, p_Width);
  if (p_Weights && p_WeightRows != p_Rows) {
    std::ostringstream text;
    text << "group_average: weights has " << p_WeightRows << " rows; the values have " << p_Rows;
    throw std::invalid_argument(text.str());
  }
  const std::int64_t u = frame.u, t = frame.t;
  // As WeightedAverage, a trailing entry's value over 1.0.
  for (std::int64_t k = 0; k < t * p_Width; ++k) p_Average[u * p_Width + k] = p_Values[frame.e * p_Width + k] / 1.0;
  const auto* ranges = frame.ranges;
  const std::int32_t* positions = frame.positions;
  // A member's weight is read beside its row, by the same position: every column's sum takes it
  // from there instead of gathering the masses once a column through the enabled list.
  each_piece(frame, p_Threads, [&](std::int32_t p_Begin, std::int32_t p_End, std::int32_t p_Last) {
    for (std::int32_t e = p_Begin; e < p_End; ++e) {
      const std::int32_t first = ranges[e].first, count = ranges[e].second;
      double sums[widest_row] = {}, weight = 0.0;
      for (std::int32_t k = first; k < first + count; ++k) {
        if (k + prefetch_distance < p_Last) {
          __builtin_prefetch(p_Values + positions[k + prefetch_distance] * p_Width);
          if (p_Weights) __builtin_prefetch(p_Weights + positions[k + prefetch_distance]);
        }
        const std::int32_t position = positions[k];
        const double* row = p_Values + std::int64_t(position) * p_Width;
        const double mass = p_Weights ? p_Weights[position] : 1.0;
        for (std::int64_t c = 0; c < p_Width; ++c) sums[c] += row[c] * mass;
        weight += mass;
      }
      double* out = p_Average + e * p_Width;
      for (std::int64_t c = 0; c < p_Width; ++c) out[c] = sums[c] / weight;
    }
  });
}

void group_lowest(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width,
                  double* p_Lowest, unsigned p_Threads)
{
  fold_members("group_lowest", p_Engine, p_Values, p_Rows, p_Width, p_Lowest, p_Threads,
               std::numeric_limits<double>::quiet_NaN(), [p_Width](double* p_Out, const double* p_Row) {
                 for (std::int64_t c = 0; c < p_Width; ++c)
                   if (p_Row[c] < p_Out[c] || p_Out[c] != p_Out[c]) p_Out[c] = p_Row[c];
               });
}

void group_highest(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width,
                   double* p_Highest, unsigned p_Threads)
{
  fold_members("group_highest", p_Engine, p_Values, p_Rows, p_Width, p_Highest, p_Threads,
               std::numeric_limits<double>::quiet_NaN(), [p_Width](double* p_Out, const double* p_Row) {
                 for (std::int64_t c = 0; c < p_Width; ++c)
                   if (p_Row[c] > p_Out[c] || p_Out[c] != p_Out[c]) p_Out[c] = p_Row[c];
               });
}

namespace {

// p_Column(e, c, numbers) for each upscaled particle e and column c: the group's members' numbers of
// that column, NaN left out, gathered in one walk over them (p_Column may reorder them).
template <class Column>
void each_group_column(const MPUpscaling::Frame& p_Frame, const double* p_Values, std::int64_t p_Width,
                       unsigned p_Threads, Column&& p_Column)
{
  const auto* ranges = p_Frame.ranges;
  const std::int32_t* positions = p_Frame.positions;
  each_piece(p_Frame, p_Threads, [&](std::int32_t p_Begin, std::int32_t p_End, std::int32_t p_Last) {
    std::vector<std::vector<double>> columns(static_cast<std::size_t>(p_Width));
    for (std::int32_t e = p_Begin; e < p_End; ++e) {
      for (auto& column : columns) column.clear();
      const auto gather = [&](const double* p_Row) {
        for (std::int64_t c = 0; c < p_Width; ++c)
          if (!std::isnan(p_Row[c])) columns[static_cast<std::size_t>(c)].push_back(p_Row[c]);
      };
      each_member_row(p_Values, p_Width, positions, ranges[e].first, ranges[e].second, p_Last, gather);
      for (std::int64_t c = 0; c < p_Width; ++c) p_Column(e, c, columns[static_cast<std::size_t>(c)]);
    }
  });
}

}  // namespace

void group_median(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width,
                  double* p_Median, unsigned p_Threads)
{
  const MPUpscaling::Frame frame = checked_rows("group_median", p_Engine, p_Rows, p_Width);
  const std::int64_t u = frame.u, t = frame.t;
  // A trailing entry is its own median.
  std::copy(p_Values + frame.e * p_Width, p_Values + (frame.e + t) * p_Width, p_Median + u * p_Width);
  each_group_column(frame, p_Values, p_Width, p_Threads, [&](std::int32_t e, std::int64_t c, auto& members) {
    const std::size_t n = members.size();
    double& out = p_Median[e * p_Width + c];
    if (n == 0) {
      out = std::numeric_limits<double>::quiet_NaN();
      return;
    }
    // The middle one (the lower of two) in linear time, then the least above it.
    const auto middle = members.begin() + static_cast<std::ptrdiff_t>((n - 1) / 2);
    std::nth_element(members.begin(), middle, members.end());
    out = n % 2 == 1 ? *middle : (*middle + *std::min_element(middle + 1, members.end())) / 2;
  });
}

void group_distinct(const MPUpscaling& p_Engine, const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width,
                    double* p_Distinct, unsigned p_Threads)
{
  const MPUpscaling::Frame frame = checked_rows("group_distinct", p_Engine, p_Rows, p_Width);
  const std::int64_t u = frame.u, t = frame.t;
  for (std::int64_t k = 0; k < t * p_Width; ++k)
    p_Distinct[u * p_Width + k] = std::isnan(p_Values[frame.e * p_Width + k]) ? 0.0 : 1.0;
  each_group_column(frame, p_Values, p_Width, p_Threads, [&](std::int32_t e, std::int64_t c, auto& members) {
    // -0 and 0 sort together and compare equal: one value, as pandas counts them.
    std::sort(members.begin(), members.end());
    p_Distinct[e * p_Width + c] = static_cast<double>(std::unique(members.begin(), members.end()) - members.begin());
  });
}

void angular_velocity(const double* p_Inertia, const double* p_L, double* p_Omega)
{
  const double a[3][3] = {{p_Inertia[0], p_Inertia[3], p_Inertia[5]},
                          {p_Inertia[3], p_Inertia[1], p_Inertia[4]},
                          {p_Inertia[5], p_Inertia[4], p_Inertia[2]}};
  const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                     a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                     a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  if (det > 1e-6) {
    // The adjugate over the determinant.
    double inverse[3][3];
    inverse[0][0] = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    inverse[0][1] = -(a[0][1] * a[2][2] - a[0][2] * a[2][1]);
    inverse[0][2] = a[0][1] * a[1][2] - a[0][2] * a[1][1];
    inverse[1][0] = -(a[1][0] * a[2][2] - a[1][2] * a[2][0]);
    inverse[1][1] = a[0][0] * a[2][2] - a[0][2] * a[2][0];
    inverse[1][2] = -(a[0][0] * a[1][2] - a[0][2] * a[1][0]);
    inverse[2][0] = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    inverse[2][1] = -(a[0][0] * a[2][1] - a[0][1] * a[2][0]);
    inverse[2][2] = a[0][0] * a[1][1] - a[0][1] * a[1][0];
    for (auto& row : inverse)
      for (double& x : row) x /= det;
    for (int r = 0; r < 3; ++r) p_Omega[r] = inverse[r][0] * p_L[0] + inverse[r][1] * p_L[1] + inverse[r][2] * p_L[2];
    return;
  }
  // Singular or nearly so (a line of members, or one): invert only the principal moments that count.
  double values[3], vectors[3][3];
  symmetric_eigen3(a, values, vectors);
  const double largest = std::max({values[0], values[1], values[2]});
  p_Omega[0] = p_Omega[1] = p_Omega[2] = 0.0;
  for (int k = 0; k < 3; ++k) {
    if (values[k] < 1e-6 * largest || values[k] == 0.0) continue;
    const double along = (p_L[0] * vectors[0][k] + p_L[1] * vectors[1][k] + p_L[2] * vectors[2][k]) / values[k];
    for (int r = 0; r < 3; ++r) p_Omega[r] += along * vectors[r][k];
  }
}

void gyration_shape(const double* p_Gyration, double* p_Shape)
{
  // The eigenvalues in closed form (the trigonometric solution of the characteristic cubic): 70 ns
  // where the Jacobi rotations take 300, which at a million groups added half the moments' time.
  // Its error is a few rounding errors of the trace, divided by sqrt(1 - r^2): where two
  // eigenvalues nearly meet (|r| near 1: rod- or disc-like groups) the rotations take over.
  const double* g = p_Gyration;
  const double q = (g[0] + g[1] + g[2]) / 3.0;
  const double b00 = g[0] - q, b11 = g[1] - q, b22 = g[2] - q;
  const double off = g[3] * g[3] + g[4] * g[4] + g[5] * g[5];
  const double p = std::sqrt((b00 * b00 + b11 * b11 + b22 * b22 + 2.0 * off) / 6.0);
  double r = 1.0;
  if (p > 0.0) {
    const double det =
        b00 * (b11 * b22 - g[5] * g[5]) - g[3] * (g[3] * b22 - g[5] * g[4]) + g[4] * (g[3] * g[5] - b11 * g[4]);
    r = det / (2.0 * p * p * p);
  }
  double l[3];
  if (std::fabs(r) < 1.0 - 1e-4) {
    const double third = std::acos(r) / 3.0;
    l[0] = q + 2.0 * p * std::cos(third);
    l[2] = q + 2.0 * p * std::cos(third + 2.0943951023931954923);  // + 2 pi / 3
    l[1] = 3.0 * q - l[0] - l[2];
  } else {
    const double a[3][3] = {{g[0], g[3], g[4]}, {g[3], g[1], g[5]}, {g[4], g[5], g[2]}};
    double vectors[3][3];
    symmetric_eigen3(a, l, vectors);
  }
  // Largest magnitude first, as LAMMPS sorts them (the tensor is positive semi-definite but for
  // rounding, so this is largest first), equal ones kept in their order; three compares where
  // std::stable_sort asked for a buffer each time.
  const auto order = [&l](int p_A, int p_B) {
    if (std::fabs(l[p_A]) < std::fabs(l[p_B])) std::swap(l[p_A], l[p_B]);
  };
  order(0, 1);
  order(1, 2);
  order(0, 1);
  shape_of(l, p_Shape);
}

void principal_axes(const double* p_Gyration, double* p_Axes)
{
  // Jacobi's vectors in the shapes' pass: NumPy's batched eigh took 1.5 s a million groups.
  const double* g = p_Gyration;
  const double a[3][3] = {{g[0], g[3], g[4]}, {g[3], g[1], g[5]}, {g[4], g[5], g[2]}};
  double l[3], v[3][3];
  symmetric_eigen3(a, l, v);
  int order[3] = {0, 1, 2};
  const auto rise = [&](int p_A, int p_B) {
    if (l[order[p_B]] < l[order[p_A]]) std::swap(order[p_A], order[p_B]);
  };
  rise(0, 1);
  rise(1, 2);
  rise(0, 1);
  double e[3][3];
  for (int k = 0; k < 3; ++k)
    for (int r = 0; r < 3; ++r) e[k][r] = v[r][order[k]];
  for (int k = 1; k < 3; ++k) {
    int largest = 0;
    for (int r = 1; r < 3; ++r)
      if (std::fabs(e[k][r]) > std::fabs(e[k][largest])) largest = r;
    if (e[k][largest] < 0.0)
      for (double& x : e[k]) x = -x;
  }
  e[0][0] = e[1][1] * e[2][2] - e[1][2] * e[2][1];
  e[0][1] = e[1][2] * e[2][0] - e[1][0] * e[2][2];
  e[0][2] = e[1][0] * e[2][1] - e[1][1] * e[2][0];
  for (int k = 0; k < 3; ++k)
    for (int r = 0; r < 3; ++r) p_Axes[3 * k + r] = e[k][r];
}

void symmetric_eigen3(const double (&p_Matrix)[3][3], double (&p_Values)[3], double (&p_Vectors)[3][3])
{
  double a[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      a[r][c] = p_Matrix[r][c];
      p_Vectors[r][c] = r == c ? 1.0 : 0.0;
    }
  // Cyclic sweeps of rotations that each zero one off-diagonal pair. An entry below 2^-60 of the
  // trace moves no eigenvalue by a rounding and is dropped, rather than rotated on until it
  // underflows, which a matrix with a zero eigenvalue (a line of members) takes extra sweeps to do.
  const double negligible = 0x1p-60 * (std::fabs(a[0][0]) + std::fabs(a[1][1]) + std::fabs(a[2][2]));
  for (int sweep = 0; sweep < 64; ++sweep) {
    const double off = std::fabs(a[0][1]) + std::fabs(a[0][2]) + std::fabs(a[1][2]);
    if (off == 0.0) break;
    for (int p = 0; p < 2; ++p) {
      for (int q = p + 1; q < 3; ++q) {
        const double apq = a[p][q];
        if (std::fabs(apq) <= negligible) {
          a[p][q] = a[q][p] = 0.0;
          continue;
        }
        // The smaller root of t^2 + 2 theta t - 1 = 0: a rotation by at most 45 degrees.
        const double theta = (a[q][q] - a[p][p]) / (2.0 * apq);
        // Past 1e150 theta^2 would overflow; t is then 1/(2 theta) to full precision.
        double t = std::fabs(theta) > 1e150 ? 0.5 / std::fabs(theta)
                                             : 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        if (theta < 0.0) t = -t;
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int k = 0; k < 3; ++k) {
          const double akp = a[k][p], akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (int k = 0; k < 3; ++k) {
          const double apk = a[p][k], aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        a[p][q] = a[q][p] = 0.0;
        for (int k = 0; k < 3; ++k) {
          const double vkp = p_Vectors[k][p], vkq = p_Vectors[k][q];
          p_Vectors[k][p] = c * vkp - s * vkq;
          p_Vectors[k][q] = s * vkp + c * vkq;
        }
      }
    }
  }
  for (int k = 0; k < 3; ++k) p_Values[k] = a[k][k];
}

}  // namespace ups
}  // namespace vireo20
