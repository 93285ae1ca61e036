// Step files written around the page cache: the same bytes as the stream they stand in for, under any
// order of writes and seeks back and any chunk size, on a file system that takes O_DIRECT and on one
// that refuses it; a failed write reported and its file removed; the buffer's own sum of what it
// wrote and the read-back sum, both against zlib's.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <sstream>
#include <string>

#include <vtkCellArray.h>
#include <vtkDoubleArray.h>
#include <vtkIntArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkXMLPolyDataWriter.h>

#include "vireo20/io/DirectFileBuffer.h"
#include "vireo20/io/FileChecksum.h"
#include "vireo20/io/StepFileWriter.h"

namespace {

using namespace vireo20::io;

std::string contents(const std::string& p_Path)
{
  std::ifstream in(p_Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder on the disk, and tmpfs, which refuses O_DIRECT: every case runs on both.
class StepFiles : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override
  {
    if (::access(GetParam(), W_OK) != 0) GTEST_SKIP() << GetParam() << " is not writable here";
    m_Path = std::string(GetParam()) + "/vireo20_step_" + std::to_string(::getpid()) + ".vtp";
  }
  void TearDown() override { std::remove(m_Path.c_str()); }
  std::string m_Path;
};

TEST_P(StepFiles, AnyWritesAndSeeksBackGiveTheStreamsBytes)
{
  std::mt19937_64 random(11);
  int sums_known = 0;
  for (std::size_t chunk : {std::size_t(4096), std::size_t(3 * 4096), std::size_t(1) << 20}) {
    for (int round = 0; round < 20; ++round) {
      std::stringstream model;
      DirectFileBuffer file(m_Path, chunk);
      std::ostream out(&file);
      std::streamoff end = 0;
      for (int k = 0; k < 60; ++k) {
        std::string piece(random() % 5 == 0 ? random() % 20000 : random() % 40, '\0');
        for (char& c : piece) c = static_cast<char>('a' + random() % 26);
        // Every third piece goes back into what is written, as a header filled in late: possibly
        // below the staged chunk, possibly across its start.
        const std::streamoff at = random() % 3 == 0 && end > 0 ? static_cast<std::streamoff>(random() % end) : end;
        piece.resize(std::min<std::size_t>(piece.size(), at < end ? static_cast<std::size_t>(end - at) : piece.size()));
        for (std::ostream* stream : {static_cast<std::ostream*>(&out), static_cast<std::ostream*>(&model)}) {
          stream->seekp(at);
          stream->write(piece.data(), static_cast<std::streamsize>(piece.size()));
        }
        end = std::max(end, at + static_cast<std::streamoff>(piece.size()));
        out.seekp(end).flush();
        model.seekp(end);
        ASSERT_TRUE(out.good());
        ASSERT_EQ(static_cast<std::streamoff>(out.tellp()), end);
      }
      ASSERT_TRUE(file.close()) << file.error();
      const std::string written = model.str();
      ASSERT_EQ(contents(m_Path), written) << "chunk " << chunk << ", round " << round;
      const uLong expected = crc32(0, reinterpret_cast<const Bytef*>(written.data()), static_cast<uInt>(written.size()));
      const FileChecksum sum = file_checksum(m_Path);
      EXPECT_EQ(sum.size, static_cast<std::int64_t>(written.size()));
      EXPECT_EQ(sum.crc32, expected);
      FileChecksum own;
      if (file.written_checksum(own)) {
        ++sums_known;
        EXPECT_EQ(own.size, sum.size);
        EXPECT_EQ(own.crc32, expected) << "chunk " << chunk << ", round " << round;
      }
    }
  }
  // Unknown only where a seek back reached a chunk on the disk past the first: never in the files of
  // about a chunk of 1 MiB.
  EXPECT_GE(sums_known, 20);
}

vtkNew<vtkPolyData> step(vtkIdType p_Points)
{
  vtkNew<vtkPolyData> data;
  vtkNew<vtkPoints> points;
  vtkNew<vtkCellArray> verts, lines;
  vtkNew<vtkDoubleArray> mass;
  vtkNew<vtkIntArray> count;
  mass->SetName("mass");
  count->SetName("count");
  for (vtkIdType k = 0; k < p_Points; ++k) {
    points->InsertNextPoint(0.5 * k, -1.0 / (k + 1), 1e-7 * k * k);
    verts->InsertNextCell(1, &k);
    mass->InsertNextValue(1.0 + k % 13);
    count->InsertNextValue(static_cast<int>(k % 5));
    if (k > 0 && k % 3 == 0) {
      const vtkIdType pair[2] = {k - 1, k};
      lines->InsertNextCell(2, pair);
    }
  }
  data->SetPoints(points);
  data->SetVerts(verts);
  data->SetLines(lines);
  data->GetPointData()->AddArray(mass);
  data->GetPointData()->AddArray(count);
  return data;
}

std::string written_by_vtk(vtkPolyData* p_Data, const std::string& p_Path)
{
  vtkNew<vtkXMLPolyDataWriter> writer;
  writer->SetFileName(p_Path.c_str());
  writer->SetInputData(p_Data);
  writer->SetDataModeToAppended();
  writer->EncodeAppendedDataOff();
  writer->SetCompressorTypeToNone();
  writer->SetHeaderTypeToUInt64();
  EXPECT_EQ(writer->Write(), 1);
  return contents(p_Path);
}

TEST_P(StepFiles, StepFileIsTheOneVtkWrites)
{
  for (vtkIdType points : {0, 1, 700, 150000}) {
    auto data = step(points);
    // VTK keeps the ranges it finds in the arrays and writes them from its second file on.
    written_by_vtk(data, m_Path);
    const std::string expected = written_by_vtk(data, m_Path);
    for (std::size_t chunk : {std::size_t(4096), std::size_t(8) << 20}) {
      const StepFileOutcome outcome = write_step_file(*data, m_Path, chunk);
      ASSERT_EQ(outcome.answer, 1);
      ASSERT_EQ(outcome.error_code, 0u);
      ASSERT_FALSE(outcome.error_reported);
      EXPECT_EQ(contents(m_Path), expected) << points << " points, chunk " << chunk;
      // VTK fills in its header within the first chunk: the sum is always the writer's own.
      ASSERT_TRUE(outcome.sum_known);
      EXPECT_EQ(outcome.sum.size, static_cast<std::int64_t>(expected.size()));
      EXPECT_EQ(outcome.sum.crc32, crc32(0, reinterpret_cast<const Bytef*>(expected.data()), static_cast<uInt>(expected.size())));
    }
  }
}

TEST_P(StepFiles, FailedWriteIsReportedAndItsFileRemoved)
{
  auto data = step(150000);
  // A file-size limit in a child of its own: the write fails part way, as on a full disk.
  const pid_t child = ::fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100000, 100000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const StepFileOutcome outcome = write_step_file(*data, m_Path, 4096);
    const bool reported = outcome.error_code == EFBIG && outcome.error_reported;
    ::_exit(reported && ::access(m_Path.c_str(), F_OK) != 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

INSTANTIATE_TEST_SUITE_P(Folders, StepFiles, ::testing::Values("/tmp", "/dev/shm"));

}  // namespace
