// Clusters by distance over a grid of cells at least a cutoff wide, so that only a cell's neighbours
// are searched, and by pairs, both joined in one union-find over the rows; and neighbour counts over
// the same grid.
#include "vireo20/sci/clusters.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace ups {
namespace {

// Union-find whose roots are always the lowest row of their tree (the higher root is hung under the
// lower) and whose paths are halved as they are walked. Each row also holds the whole box edges from
// its image to that of the row above it (0 at a root), so that the images every pair agreed on add up
// along any path: the cluster made whole.
class Forest {
 public:
  using Edges = std::array<std::int64_t, 3>;

  explicit Forest(std::int64_t p_Count)
      : m_Up(static_cast<std::size_t>(p_Count)), m_Above(m_Up.size(), Step{}), m_Wraps(m_Up.size(), 0)
  {
    std::iota(m_Up.begin(), m_Up.end(), std::int64_t(0));
  }

  // The root of p_Row's tree, and (p_Image) the edges from the root's image to p_Row's.
  std::int64_t root(std::int64_t p_Row, Edges& p_Image)
  {
    p_Image = Edges{};
    while (m_Up[p_Row] != p_Row) {
      const std::int64_t up = m_Up[p_Row];
      for (int c = 0; c < 3; ++c) m_Above[p_Row][c] += m_Above[up][c];
      m_Up[p_Row] = m_Up[up];
      for (int c = 0; c < 3; ++c) p_Image[c] += m_Above[p_Row][c];
      p_Row = m_Up[p_Row];
    }
    return p_Row;
  }

  // Joins p_B's image p_Shift edges away from p_A to p_A. Returns the first edge along which the two
  // were already joined at another image (-1: none): their tree then wraps around the box.
  int join(std::int64_t p_A, std::int64_t p_B, const Edges& p_Shift)
  {
    Edges a, b;
    const std::int64_t top_a = root(p_A, a), top_b = root(p_B, b);
    if (top_a == top_b) {
      for (int c = 0; c < 3; ++c) {
        if (b[c] - a[c] != p_Shift[c]) {
          m_Wraps[top_a] = 1;
          return c;
        }
      }
      return -1;
    }
    if (top_a < top_b) {
      m_Up[top_b] = top_a;
      m_Wraps[top_a] |= m_Wraps[top_b];
      for (int c = 0; c < 3; ++c) m_Above[top_b][c] = static_cast<std::int32_t>(a[c] + p_Shift[c] - b[c]);
    } else {
      m_Up[top_a] = top_b;
      m_Wraps[top_b] |= m_Wraps[top_a];
      for (int c = 0; c < 3; ++c) m_Above[top_a][c] = static_cast<std::int32_t>(b[c] - p_Shift[c] - a[c]);
    }
    return -1;
  }

  // Between a row and the one above it the images differ by less than a cluster's extent in boxes:
  // 32 bits hold it, at half the memory.
  using Step = std::array<std::int32_t, 3>;

  // p_Labels[row of k] = the lowest p_Ids[k'] over k's tree, for every forest row k (the rows of the
  // particles: p_Rows[k], or k itself where null); p_Shifts (may be null) the edges that move k's
  // position, itself p_Images[k] edges (none where null) from the image it is joined at, to the image
  // its tree reaches from its lowest-id member, which stays where it is. A tree that wraps around the
  // box reaches no one image: its rows are not moved. Returns the labels of such trees, in order.
  std::vector<std::int64_t> label(const std::int64_t* p_Rows, const std::int64_t* p_Ids, const Step* p_Images,
                                  std::int64_t* p_Labels, std::int64_t* p_Shifts)
  {
    const std::int64_t count = static_cast<std::int64_t>(m_Up.size());
    // Roots come before their members, so a root's slot is set before any member reads it. Each row
    // is left pointing straight at its root, with its image from it: the second pass walks nothing.
    std::vector<std::int64_t> lowest(m_Up.size());
    Edges image;
    for (std::int64_t k = 0; k < count; ++k) {
      const std::int64_t top = root(k, image);
      m_Up[k] = top;
      for (int c = 0; c < 3; ++c) m_Above[k][c] = static_cast<std::int32_t>(image[c]);
      if (top == k || p_Ids[k] < p_Ids[lowest[top]]) lowest[top] = k;
    }
    for (std::int64_t k = 0; k < count; ++k) {
      const std::int64_t member = lowest[m_Up[k]];
      const std::int64_t row = p_Rows ? p_Rows[k] : k;
      p_Labels[row] = p_Ids[member];
      if (!p_Shifts) continue;
      const bool wraps = m_Wraps[m_Up[k]] != 0;
      for (int c = 0; c < 3; ++c) {
        const std::int64_t own = p_Images ? p_Images[k][c] : 0, theirs = p_Images ? p_Images[member][c] : 0;
        p_Shifts[3 * row + c] =
            wraps ? 0 : (static_cast<std::int64_t>(m_Above[k][c]) - own) - (m_Above[member][c] - theirs);
      }
    }
    std::vector<std::int64_t> wrapping;
    for (std::int64_t k = 0; k < count; ++k) {
      if (m_Up[k] == k && m_Wraps[k]) wrapping.push_back(p_Ids[lowest[k]]);
    }
    std::sort(wrapping.begin(), wrapping.end());
    return wrapping;
  }

 private:
  std::vector<std::int64_t> m_Up;
  std::vector<Step> m_Above;
  std::vector<std::uint8_t> m_Wraps;  // at a root: its tree meets its own image
};

double dot(const double* p_A, const double* p_B) { return p_A[0] * p_B[0] + p_A[1] * p_B[1] + p_A[2] * p_B[2]; }

void cross(const double* p_A, const double* p_B, double* p_Out)
{
  p_Out[0] = p_A[1] * p_B[2] - p_A[2] * p_B[1];
  p_Out[1] = p_A[2] * p_B[0] - p_A[0] * p_B[2];
  p_Out[2] = p_A[0] * p_B[1] - p_A[1] * p_B[0];
}

// Cells are made this much wider than the cutoff, so that a fraction rounded at a cell's edge never
// puts two particles within the cutoff more than one cell apart.
constexpr double cell_slack = 1e-9;

// How the grid runs along one edge of the box.
struct Axis {
  double low = 0.0, span = 1.0;  // the fractions the cells cover (a periodic edge: 0 to 1)
  std::int64_t cells = 1;
  std::int64_t reach = 1;        // cells searched on either side (beyond one only in a box thinner than the cutoff)
  bool periodic = false;

  std::int64_t cell(double p_Fraction) const
  {
    if (cells == 1 || !(span > 0.0)) return 0;
    const double at = std::floor((p_Fraction - low) / span * static_cast<double>(cells));
    return at < 0.0 ? 0 : at >= static_cast<double>(cells) ? cells - 1 : static_cast<std::int64_t>(at);
  }

  // The cell p_Cell + p_Offset, and the whole boxes it lies beyond along a periodic edge; false where it is
  // off the grid.
  bool neighbour(std::int64_t p_Cell, std::int64_t p_Offset, std::int64_t& p_Neighbour, std::int64_t& p_Shift) const
  {
    const std::int64_t at = p_Cell + p_Offset;
    p_Shift = 0;
    p_Neighbour = at;
    if (!periodic) return at >= 0 && at < cells;
    // Without a division: an offset reaches past one box only where the box holds one cell.
    if (cells == 1) {
      p_Shift = at;
      p_Neighbour = 0;
    } else if (at < 0) {
      p_Shift = -1;
      p_Neighbour = at + cells;
    } else if (at >= cells) {
      p_Shift = 1;
      p_Neighbour = at - cells;
    }
    return true;
  }
};

// Particles sorted into cells at least a cutoff wide and wrapped into the box along its periodic
// edges, so that a pair closer than the cutoff lies in one cell or in neighbouring ones.
class CellGrid {
 public:
  // p_Bad receives the first row whose position is not finite, or lies a billion boxes out (images are
  // counted in 32 bits); the grid is then left empty.
  CellGrid(const double* p_Positions, std::int64_t p_Count, const ClusterBox& p_Box, double p_Cutoff, std::int64_t& p_Bad)
      : m_Limit(p_Cutoff * p_Cutoff)
  {
    for (std::int64_t i = 0; i < 3 * p_Count; ++i) {
      if (!std::isfinite(p_Positions[i])) {
        p_Bad = i / 3;
        return;
      }
    }
    if (p_Count == 0) return;
    // Fraction k of a point: its offset from the origin dotted with the face normal across edge k over
    // the volume; the box's width across that face is the volume over the normal's length.
    const double(&e)[3][3] = p_Box.edges;
    for (int k = 0; k < 3; ++k) std::copy(e[k], e[k] + 3, m_Edges[k]);
    double normals[3][3], widths[3];
    cross(e[1], e[2], normals[0]);
    cross(e[2], e[0], normals[1]);
    cross(e[0], e[1], normals[2]);
    const double volume = dot(e[0], normals[0]);
    for (int k = 0; k < 3; ++k) {
      widths[k] = volume / std::sqrt(dot(normals[k], normals[k]));
      for (double& n : normals[k]) n /= volume;
    }
    auto fraction = [&](const double* p_Point, int p_K) {
      const double offset[3] = {p_Point[0] - p_Box.origin[0], p_Point[1] - p_Box.origin[1], p_Point[2] - p_Box.origin[2]};
      return dot(offset, normals[p_K]);
    };

    const double cell_width = p_Cutoff * (1.0 + cell_slack);
    for (int k = 0; k < 3; ++k) {
      Axis& axis = m_Axes[k];
      axis.periodic = p_Box.periodic[k];
      if (!axis.periodic) {
        // Particles may lie beyond a box that is not periodic: the grid covers where they are.
        double low = fraction(p_Positions, k), high = low;
        for (std::int64_t i = 1; i < p_Count; ++i) {
          const double f = fraction(p_Positions + 3 * i, k);
          low = std::min(low, f);
          high = std::max(high, f);
        }
        axis.low = low;
        axis.span = high - low;
      }
      const double across = axis.span * widths[k];
      axis.cells = static_cast<std::int64_t>(std::min(std::floor(across / cell_width), 4.0 * static_cast<double>(p_Count)));
      axis.cells = std::max<std::int64_t>(axis.cells, 1);
      if (axis.periodic && axis.cells == 1) {
        axis.reach = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(cell_width / widths[k])));
      }
    }
    // Memory follows the particles: coarser cells where the grid would have more than half as many
    // cells as particles (a sparse gas, a lone particle far out along an open edge); a cell holding
    // two particles or so also searches fastest.
    const double most_cells = 0.5 * static_cast<double>(p_Count) + 64.0;
    // Halved on plain counts: GCC 12 at -O2 hoisted the loads of the members' counts out of this loop,
    // which then never ended.
    std::int64_t cells[3] = {m_Axes[0].cells, m_Axes[1].cells, m_Axes[2].cells};
    while (static_cast<double>(cells[0]) * static_cast<double>(cells[1]) * static_cast<double>(cells[2]) > most_cells) {
      std::int64_t& widest = *std::max_element(cells, cells + 3);
      widest = (widest + 1) / 2;
    }
    for (int k = 0; k < 3; ++k) m_Axes[k].cells = cells[k];

    // Each particle's cell, then the particles sorted by cell, so that a cell's particles lie side by side.
    const std::int64_t cell_count = m_Axes[0].cells * m_Axes[1].cells * m_Axes[2].cells;
    // Cells and the wrapping are worked out a block of particles at a time over the cores.
    const std::int32_t blocks = static_cast<std::int32_t>((p_Count + block_size - 1) / block_size);
    std::vector<std::int64_t> cell_of(static_cast<std::size_t>(p_Count));
    std::vector<std::int64_t> first_bad(static_cast<std::size_t>(blocks), -1);
    share_out(thread_count(), blocks, [&](unsigned, std::int32_t p_Block) {
      for (std::int64_t i = p_Block * block_size; i < std::min(p_Count, (p_Block + 1) * block_size); ++i) {
        const double* x = p_Positions + 3 * i;
        std::int64_t cell[3];
        for (int k = 0; k < 3; ++k) {
          const double f = fraction(x, k);
          if (m_Axes[k].periodic && !(std::fabs(f) < 1e9)) {
            first_bad[p_Block] = i;
            return;
          }
          cell[k] = m_Axes[k].cell(m_Axes[k].periodic ? f - std::floor(f) : f);
        }
        cell_of[i] = cell[0] + m_Axes[0].cells * (cell[1] + m_Axes[1].cells * cell[2]);
      }
    });
    for (const std::int64_t bad : first_bad) {
      if (bad >= 0) {
        p_Bad = bad;
        return;
      }
    }
    m_Starts.assign(static_cast<std::size_t>(cell_count + 1), 0);
    for (std::int64_t i = 0; i < p_Count; ++i) ++m_Starts[cell_of[i] + 1];
    std::partial_sum(m_Starts.begin(), m_Starts.end(), m_Starts.begin());
    m_Order.resize(static_cast<std::size_t>(p_Count));
    {
      std::vector<std::int64_t> next(m_Starts.begin(), m_Starts.end() - 1);
      for (std::int64_t i = 0; i < p_Count; ++i) m_Order[next[cell_of[i]]++] = i;
    }
    std::vector<std::int64_t>().swap(cell_of);
    // Wrapped straight into cell order, with the images undone, so that the passes after read them
    // in order: no second copy of the positions.
    m_Sorted.resize(static_cast<std::size_t>(3 * p_Count));
    m_Undone.resize(static_cast<std::size_t>(p_Count));
    share_out(thread_count(), blocks, [&](unsigned, std::int32_t p_Block) {
      for (std::int64_t p = p_Block * block_size; p < std::min(p_Count, (p_Block + 1) * block_size); ++p) {
        const double* x = p_Positions + 3 * m_Order[p];
        double* w = m_Sorted.data() + 3 * p;
        std::copy(x, x + 3, w);
        for (int k = 0; k < 3; ++k) {
          const double moved = m_Axes[k].periodic ? std::floor(fraction(x, k)) : 0.0;
          for (int c = 0; c < 3; ++c) w[c] -= moved * e[k][c];
          m_Undone[p][k] = static_cast<std::int32_t>(moved);
        }
      }
    });
  }

  // The row of each particle in cell order, and the box edges its wrapping took off.
  const std::vector<std::int64_t>& order() const { return m_Order; }
  const std::vector<Forest::Step>& undone() const { return m_Undone; }

  // Particles a thread takes at a time while the grid is built.
  static constexpr std::int64_t block_size = 1 << 16;

  // The cells fall into this many runs, each a run of particles in cell order, that threads search
  // side by side: fixed, so that what is found does not hang on the threads.
  static constexpr std::int32_t chunk_count = 16;

  // One past the last particle of chunk p_Chunk, in cell order.
  std::int64_t chunk_end(std::int32_t p_Chunk) const
  {
    return m_Starts.empty() ? 0 : m_Starts[chunk_cell(p_Chunk + 1)];
  }

  // Which pairs a search visits: all, those whose j lies in i's chunk, or those whose j lies after it.
  enum class Reach { all, inside, crossing };

  // Calls p_Visit(chunk, i, j, shift) for every pair of particles i < j (in cell order) closer than
  // the cutoff, once for each image of j (shift box edges away) that is; with p_SelfImages also
  // p_Visit(chunk, i, i, shift) for each image of i itself that is (in a box thinner than the cutoff).
  // Every pair is met once: a particle looks only at the particles after it in cell order, in its own
  // cell and in each neighbouring cell, at every image the grid reaches. The chunks' visits run on
  // the cores side by side, each chunk's in order: i always lies in the chunk, j in it or after it
  // (p_Reach: of these pairs, those it asks for).
  template <class Visit>
  void pairs(bool p_SelfImages, const Visit& p_Visit, Reach p_Reach = Reach::all) const
  {
    if (m_Starts.empty()) return;
    share_out(thread_count(), chunk_count,
              [&](unsigned, std::int32_t p_Chunk) { chunk_pairs(p_Chunk, p_SelfImages, p_Reach, p_Visit); });
  }

  // The pairs whose j lies after i's chunk, every chunk's in turn on this thread, in the order the
  // search of all pairs meets them: nothing of them is kept for later, whatever their number (with a
  // cutoff near half the box, most pairs of the step).
  template <class Visit>
  void crossing_pairs(const Visit& p_Visit) const
  {
    if (m_Starts.empty()) return;
    for (std::int32_t chunk = 0; chunk < chunk_count; ++chunk) chunk_pairs(chunk, false, Reach::crossing, p_Visit);
  }

 private:
  template <class Visit>
  void chunk_pairs(std::int32_t p_Chunk, bool p_SelfImages, Reach p_Reach, const Visit& p_Visit) const
  {
    const Axis(&axes)[3] = m_Axes;
    const std::int64_t end = chunk_end(p_Chunk);
    for (std::int64_t here = chunk_cell(p_Chunk); here < chunk_cell(p_Chunk + 1); ++here) {
      if (m_Starts[here] == m_Starts[here + 1]) continue;
      const std::int64_t cx = here % axes[0].cells, cy = here / axes[0].cells % axes[1].cells,
                         cz = here / axes[0].cells / axes[1].cells;
      for (std::int64_t oz = -axes[2].reach; oz <= axes[2].reach; ++oz) {
        std::int64_t nz, sz;
        if (!axes[2].neighbour(cz, oz, nz, sz)) continue;
        for (std::int64_t oy = -axes[1].reach; oy <= axes[1].reach; ++oy) {
          std::int64_t ny, sy;
          if (!axes[1].neighbour(cy, oy, ny, sy)) continue;
          for (std::int64_t ox = -axes[0].reach; ox <= axes[0].reach; ++ox) {
            std::int64_t nx, sx;
            if (!axes[0].neighbour(cx, ox, nx, sx)) continue;
            const std::int64_t there = nx + axes[0].cells * (ny + axes[1].cells * nz);
            if (there < here || m_Starts[there] == m_Starts[there + 1]) continue;
            // A cell lies wholly in the chunk or wholly after it.
            if ((p_Reach == Reach::inside && m_Starts[there] >= end) ||
                (p_Reach == Reach::crossing && m_Starts[there] < end)) {
              continue;
            }
            const Forest::Edges steps = {sx, sy, sz};
            const bool self = p_SelfImages && there == here && (sx || sy || sz);
            double shift[3];
            for (int c = 0; c < 3; ++c) {
              shift[c] = static_cast<double>(sx) * m_Edges[0][c] + static_cast<double>(sy) * m_Edges[1][c] +
                         static_cast<double>(sz) * m_Edges[2][c];
            }
            for (std::int64_t i = m_Starts[here]; i < m_Starts[here + 1]; ++i) {
              const double* a = m_Sorted.data() + 3 * i;
              for (std::int64_t j = std::max(m_Starts[there], self ? i : i + 1); j < m_Starts[there + 1]; ++j) {
                const double* b = m_Sorted.data() + 3 * j;
                const double dx = (a[0] - b[0]) - shift[0], dy = (a[1] - b[1]) - shift[1], dz = (a[2] - b[2]) - shift[2];
                if (dx * dx + dy * dy + dz * dz < m_Limit) p_Visit(p_Chunk, i, j, steps);
              }
            }
          }
        }
      }
    }
  }

  std::int64_t chunk_cell(std::int32_t p_Chunk) const
  {
    const std::int64_t cells = static_cast<std::int64_t>(m_Starts.size()) - 1;
    return cells * p_Chunk / chunk_count;
  }

  double m_Limit;
  double m_Edges[3][3] = {};
  Axis m_Axes[3];
  std::vector<std::int64_t> m_Starts, m_Order;
  std::vector<double> m_Sorted;
  std::vector<Forest::Step> m_Undone;
};

}  // namespace

ClusterFault clusters_by_distance(const double* p_Positions, const std::int64_t* p_Ids, std::int64_t p_Count,
                                  const ClusterBox& p_Box, double p_Cutoff, std::int64_t* p_Labels, std::int64_t* p_Shifts)
{
  ClusterFault fault;
  const CellGrid grid(p_Positions, p_Count, p_Box, p_Cutoff, fault.row);
  if (fault.row >= 0 || p_Count == 0) return fault;
  const std::vector<std::int64_t>& order = grid.order();
  // Ids in cell order, so that the labelling reads them in order.
  std::vector<std::int64_t> sorted_ids(static_cast<std::size_t>(p_Count));
  for (std::int64_t p = 0; p < p_Count; ++p) sorted_ids[p] = p_Ids[order[p]];
  // A chunk's own pairs are joined as they are met: their rows, and so their trees, are the chunk's
  // alone while the chunks run. Pairs that reach into a later chunk are searched for again after, in
  // the same order, and joined as met: kept in lists, they took 40 bytes a pair (24 GB at a cutoff
  // near half the box, where most pairs cross).
  std::vector<ClusterFault> faults(CellGrid::chunk_count);
  Forest forest(p_Count);
  auto join = [&](ClusterFault& p_Fault, std::int64_t p_I, std::int64_t p_J, const Forest::Edges& p_Shift) {
    const int axis = forest.join(p_I, p_J, p_Shift);
    if (axis >= 0 && p_Fault.self_image < 0) {
      p_Fault.self_image = order[p_I];
      p_Fault.axis = axis;
    }
  };
  grid.pairs(
      false,
      [&](std::int32_t p_Chunk, std::int64_t p_I, std::int64_t p_J, const Forest::Edges& p_Shift) {
        join(faults[p_Chunk], p_I, p_J, p_Shift);
      },
      CellGrid::Reach::inside);
  for (const ClusterFault& found : faults) {
    if (fault.self_image < 0) fault = found;
  }
  grid.crossing_pairs([&](std::int32_t, std::int64_t p_I, std::int64_t p_J, const Forest::Edges& p_Shift) {
    join(fault, p_I, p_J, p_Shift);
  });
  fault.spanning = forest.label(order.data(), sorted_ids.data(), grid.undone().data(), p_Labels, p_Shifts);
  return fault;
}

std::int64_t neighbour_counts(const double* p_Positions, const std::int32_t* p_Groups, std::int64_t p_Count,
                              const ClusterBox& p_Box, double p_Cutoff, std::int64_t* p_Neighbours, std::int64_t* p_Inner)
{
  std::int64_t bad = -1;
  const CellGrid grid(p_Positions, p_Count, p_Box, p_Cutoff, bad);
  if (bad >= 0) return bad;
  // Counted in cell order, where a chunk's counts are its own and lie side by side; a pair reaching
  // into a later chunk counts there by an atomic add into counts of their own (a list of them took 16
  // bytes a pair: 3 GB at a cutoff of 6 particle sizes). Sums of ones: the same counts whatever the
  // threads. Then each count goes to its row.
  const std::vector<std::int64_t>& order = grid.order();
  const std::size_t count = static_cast<std::size_t>(p_Count);
  std::vector<std::int64_t> total(count, 0), inner(p_Inner ? count : 0, 0);
  std::vector<std::int64_t> crossing_total(count, 0), crossing_inner(p_Inner ? count : 0, 0);
  std::vector<std::int32_t> groups(p_Inner ? count : 0);
  for (std::size_t p = 0; p < groups.size(); ++p) groups[p] = p_Groups[order[p]];
  grid.pairs(true, [&](std::int32_t p_Chunk, std::int64_t p_I, std::int64_t p_J, const Forest::Edges&) {
    const bool same = p_Inner && groups[p_I] == groups[p_J];
    ++total[p_I];
    if (same) ++inner[p_I];
    if (p_I == p_J) return;
    if (p_J >= grid.chunk_end(p_Chunk)) {
      __atomic_fetch_add(&crossing_total[p_J], 1, __ATOMIC_RELAXED);
      if (same) __atomic_fetch_add(&crossing_inner[p_J], 1, __ATOMIC_RELAXED);
      return;
    }
    ++total[p_J];
    if (same) ++inner[p_J];
  });
  for (std::int64_t p = 0; p < p_Count; ++p) {
    p_Neighbours[order[p]] = total[p] + crossing_total[p];
    if (p_Inner) p_Inner[order[p]] = inner[p] + crossing_inner[p];
  }
  return -1;
}

ClusterFault clusters_by_pairs(const std::int64_t* p_Pairs, const std::int64_t* p_PairShifts, std::int64_t p_PairCount,
                               const std::int64_t* p_Ids, std::int64_t p_Count, std::int64_t* p_Labels,
                               std::int64_t* p_Shifts)
{
  ClusterFault fault;
  for (std::int64_t k = 0; k < 2 * p_PairCount; ++k) {
    if (p_Pairs[k] < 0 || p_Pairs[k] >= p_Count) {
      fault.row = k / 2;
      return fault;
    }
  }
  Forest forest(p_Count);
  for (std::int64_t k = 0; k < p_PairCount; ++k) {
    Forest::Edges shift{};
    if (p_PairShifts) std::copy_n(p_PairShifts + 3 * k, 3, shift.begin());
    const int axis = forest.join(p_Pairs[2 * k], p_Pairs[2 * k + 1], shift);
    if (axis >= 0 && fault.self_image < 0) {
      fault.self_image = p_Pairs[2 * k];
      fault.axis = axis;
    }
  }
  fault.spanning = forest.label(nullptr, p_Ids, nullptr, p_Labels, p_Shifts);
  return fault;
}

}  // namespace ups
}  // namespace vireo20
