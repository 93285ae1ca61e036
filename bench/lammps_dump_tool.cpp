// The reader benchmark's helper: writes a LAMMPS dump frame of `id mol type mass xu yu zu vx vy vz`,
// and times the floor, a minimal loop parsing every value of its data lines with std::from_chars
// on one core (the text already in memory).
//
//   lammps_dump_tool write PATH ATOMS SEED [g]   (g: six digits, as LAMMPS's default %g writes them)
//   lammps_dump_tool floor PATH          (prints the seconds and CPU seconds of one parse)
#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

int write(const char* p_Path, std::int64_t p_Atoms, unsigned p_Seed, bool p_SixDigits)
{
  std::mt19937_64 random(p_Seed);
  std::vector<std::int64_t> ids(static_cast<std::size_t>(p_Atoms));
  for (std::int64_t k = 0; k < p_Atoms; ++k) ids[static_cast<std::size_t>(k)] = k + 1;
  std::shuffle(ids.begin(), ids.end(), random);
  std::uniform_real_distribution<double> box(0.0, 100.0);
  std::normal_distribution<double> speed(0.0, 1.0);
  const double masses[] = {1.0, 2.5, 0.7};
  std::FILE* file = std::fopen(p_Path, "wb");
  if (file == nullptr) return 1;
  std::fprintf(file, "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n%lld\nITEM: BOX BOUNDS pp pp pp\n0 100\n0 100\n0 100\n"
               "ITEM: ATOMS id mol type mass xu yu zu vx vy vz\n", static_cast<long long>(p_Atoms));
  std::string line;
  char number[32];
  for (std::int64_t k = 0; k < p_Atoms; ++k) {
    const std::int64_t values[] = {ids[static_cast<std::size_t>(k)], static_cast<std::int64_t>(random() % (p_Atoms / 4 + 1)),
                                   static_cast<std::int64_t>(random() % 3)};
    line.clear();
    for (std::int64_t v : values) line += std::to_string(v) + ' ';
    const double reals[] = {masses[values[2]], box(random),   box(random),  box(random),
                            speed(random),     speed(random), speed(random)};
    for (int j = 0; j < 7; ++j) {
      // The shortest text that reads back as the same double, as Python's repr writes it; or %g's.
      char* const end = p_SixDigits ? std::to_chars(number, number + sizeof number, reals[j], std::chars_format::general, 6).ptr
                                    : std::to_chars(number, number + sizeof number, reals[j]).ptr;
      line.append(number, end);
      line += j < 6 ? ' ' : '\n';
    }
    std::fwrite(line.data(), 1, line.size(), file);
  }
  return std::fclose(file) == 0 ? 0 : 1;
}

int floor(const char* p_Path)
{
  std::ifstream stream(p_Path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  const char* data = text.data();
  for (int item = 0; item < 9; ++item) data = std::strchr(data, '\n') + 1;  // the header
  // One parse per run, as the reader is timed: the benchmark keeps the best of its rounds for both.
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  double checksum = 0.0;
  for (const char* p = data; p < text.data() + text.size();) {
    double value;
    const std::from_chars_result read = std::from_chars(p, text.data() + text.size(), value);
    checksum += value;
    p = read.ptr + 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  std::printf("%.6f %.6f %g\n", seconds, cpu, checksum);
  return 0;
}

}  // namespace

int main(int p_Count, char** p_Arguments)
{
  const std::string command = p_Count > 1 ? p_Arguments[1] : "";
  if (command == "write" && (p_Count == 5 || (p_Count == 6 && std::string(p_Arguments[5]) == "g"))) {
    return write(p_Arguments[2], std::atoll(p_Arguments[3]), static_cast<unsigned>(std::atoi(p_Arguments[4])), p_Count == 6);
  }
  if (command == "floor" && p_Count == 3) return floor(p_Arguments[2]);
  std::cerr << "usage: lammps_dump_tool write PATH ATOMS SEED [g] | floor PATH\n";
  return 2;
}
