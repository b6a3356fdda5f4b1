#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "container/movie_reader.h"
#include "support/interrupted_stream.h"

namespace tarvel {
namespace {

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> Header(std::uint16_t frames) {
  std::vector<std::uint8_t> movie(64, 0);
  movie[8] = 16;
  movie[10] = 8;
  movie[16] = static_cast<std::uint8_t>(frames);
  return movie;
}

// A frame of `size` bytes (word included) whose chunk list is filler.
void AddFrame(std::vector<std::uint8_t>& movie, std::uint32_t word, std::size_t stored) {
  PutLe32(movie, word);
  movie.insert(movie.end(), stored, 0x5A);
}

TEST(MovieReader, ReadsFramesInOrderAndEndsCleanly) {
  auto movie = Header(2);
  AddFrame(movie, 12, 8);
  AddFrame(movie, 0x03000010, 12);  // the top byte of the word is ignored: 16 bytes
  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_OpenMemory(reader, movie.data(), movie.size(), &error)) << error;
  EXPECT_EQ(reader.header.frame_count, 2);
  std::vector<std::uint8_t> chunks;
  ASSERT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(chunks.size(), 8u);
  ASSERT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(chunks.size(), 12u);
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kEnd);

  // Rewinding goes back to offset 64, as a looping movie does.
  ASSERT_TRUE(MovieReader_Rewind(reader));
  ASSERT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(chunks.size(), 8u);
}

TEST(MovieReader, BadAndTruncatedFramesAreReportedBeforeAnyAllocation) {
  std::vector<std::uint8_t> chunks;
  std::string error;
  MovieReader reader;

  auto zero = Header(1);
  AddFrame(zero, 0, 0);  // a size of 0 marks the end of the data
  ASSERT_TRUE(MovieReader_OpenMemory(reader, zero.data(), zero.size(), &error));
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kEnd);

  for (std::uint32_t size = 1; size < 4; ++size) {
    auto tiny = Header(1);
    AddFrame(tiny, size, 16);
    ASSERT_TRUE(MovieReader_OpenMemory(reader, tiny.data(), tiny.size(), &error));
    EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kBadSize) << size;
  }

  // A word claiming 16 MiB in a tiny file is refused without allocating it.
  auto huge = Header(1);
  AddFrame(huge, 0x00FFFFFF, 8);
  ASSERT_TRUE(MovieReader_OpenMemory(reader, huge.data(), huge.size(), &error));
  chunks.clear();
  chunks.shrink_to_fit();
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kTruncated);
  EXPECT_LT(chunks.capacity(), 1024u);

  auto cut_word = Header(1);
  cut_word.push_back(12);
  cut_word.push_back(0);
  ASSERT_TRUE(MovieReader_OpenMemory(reader, cut_word.data(), cut_word.size(), &error));
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kTruncated);

  auto cut_frame = Header(2);
  AddFrame(cut_frame, 12, 8);
  AddFrame(cut_frame, 40, 10);
  ASSERT_TRUE(MovieReader_OpenMemory(reader, cut_frame.data(), cut_frame.size(), &error));
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kTruncated);
}

TEST(MovieReader, FileThatGrewSinceItWasOpenedIsReadOn) {
  // A download still being written: opened with its second frame cut and the third missing,
  // it is complete by the time they are read.
  auto movie = Header(3);
  AddFrame(movie, 12, 8);
  AddFrame(movie, 40, 36);
  AddFrame(movie, 20, 16);
  const std::string path = ::testing::TempDir() + "growing.kqm";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(movie.data(), 1, 64 + 12 + 10, file), 86u);
  std::fflush(file);
  MovieReader reader;
  std::string error;
  ASSERT_TRUE(MovieReader_Open(reader, path, &error)) << error;
  ASSERT_EQ(std::fwrite(movie.data() + 86, 1, movie.size() - 86, file), movie.size() - 86);
  std::fclose(file);
  std::vector<std::uint8_t> chunks;
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(chunks.size(), 36u);
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(chunks.size(), 16u);
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kEnd);
  MovieReader_Close(reader);
  std::remove(path.c_str());
}

// Opens `movie`, written to the file `name`, then reads it from `stream`, which stands for a
// file system that misbehaves.
void OpenReadingFrom(MovieReader& reader, const std::vector<std::uint8_t>& movie, const char* name,
                     std::FILE* stream) {
  ASSERT_NE(stream, nullptr);
  const std::string path = ::testing::TempDir() + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(movie.data(), 1, movie.size(), file), movie.size());
  std::fclose(file);
  std::string error;
  ASSERT_TRUE(MovieReader_Open(reader, path, &error)) << error;
  std::remove(path.c_str());
  std::fclose(reader.source.movie_file);
  reader.source.movie_file = stream;
}

TEST(MovieReader, FrameTheFileSystemFailsToDeliverIsAReadErrorNotACut) {
  auto movie = Header(1);
  AddFrame(movie, 12, 8);
  MovieReader reader;
  // A folder's stream stands for a failing disk: every read of it fails (EISDIR).
  ASSERT_NO_FATAL_FAILURE(OpenReadingFrom(reader, movie, "unreadable.kqm",
                                          std::fopen(::testing::TempDir().c_str(), "rb")));
  std::vector<std::uint8_t> chunks;
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kReadError);
  MovieReader_Close(reader);
}

// A host stream that delivers the first `good` bytes of `bytes` and fails reading past them.
struct FailingHost {
  const std::vector<std::uint8_t>* bytes;
  std::int64_t good;
};

bool ReadFailingHost(void* user, std::int64_t offset, void* buffer, std::size_t length) {
  const auto& host = *static_cast<FailingHost*>(user);
  if (offset + static_cast<std::int64_t>(length) > host.good) return false;
  std::memcpy(buffer, host.bytes->data() + offset, length);
  return true;
}

TEST(MovieReader, HostStreamThatFailsReadingIsAReadErrorNotACut) {
  auto movie = Header(1);
  AddFrame(movie, 12, 8);
  const SourceCallback failing{ReadFailingHost, nullptr, static_cast<std::int64_t>(movie.size()),
                               nullptr, [](void*) { return true; }};
  for (const std::int64_t good : {0, 70}) {
    FailingHost host{&movie, good};
    SourceCallback callback = failing;
    callback.user = &host;
    MovieReader reader;
    std::string error;
    const bool opened = MovieReader_OpenCallback(reader, callback, &error);
    ASSERT_EQ(opened, good > 0) << error;
    std::vector<std::uint8_t> chunks;
    if (opened)
      EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kReadError);
    else
      EXPECT_EQ(error, kHeaderReadErrorText);
    MovieReader_Close(reader);
  }
}

TEST(MovieReader, ReadsASignalInterruptsAreReadAgain) {
  auto movie = Header(2);
  AddFrame(movie, 12, 8);
  AddFrame(movie, 9, 5);
  MovieReader reader;
  test::InterruptedStream stream(movie, 64);
  ASSERT_NO_FATAL_FAILURE(OpenReadingFrom(reader, movie, "interrupted.kqm", stream.Open()));
  std::vector<std::uint8_t> chunks;
  ASSERT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(chunks, std::vector<std::uint8_t>(8, 0x5A));
  ASSERT_EQ(MovieReader_Next(reader, chunks), FrameRead::kOk);
  EXPECT_EQ(chunks, std::vector<std::uint8_t>(5, 0x5A));
  EXPECT_EQ(MovieReader_Next(reader, chunks), FrameRead::kEnd);
  MovieReader_Close(reader);
}

TEST(MovieReader, RefusesFilesShorterThanTheHeader) {
  std::vector<std::uint8_t> short_file(63, 0);
  MovieReader reader;
  std::string error;
  EXPECT_FALSE(MovieReader_OpenMemory(reader, short_file.data(), short_file.size(), &error));
  EXPECT_NE(error.find("64-byte header"), std::string::npos);
  EXPECT_FALSE(MovieReader_Open(reader, "/nonexistent/dir/movie.kqm", &error));
  EXPECT_EQ(error, "no such file");
  // A regular file whose first read fails with an input/output error (nothing is mapped at
  // address 0) is a failing disk, not a short file.
  EXPECT_FALSE(MovieReader_Open(reader, "/proc/self/mem", &error));
  EXPECT_EQ(error,
            "the 64-byte header cannot be read (an input/output error of its disk or network)");
}

}  // namespace
}  // namespace tarvel
