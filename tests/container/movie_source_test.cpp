#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "storage/movie_source.h"

namespace tarvel {
namespace {

std::string TempFile(const std::string& name, std::size_t size) {
  const std::string path = ::testing::TempDir() + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  for (std::size_t i = 0; i < size; ++i) std::fputc(static_cast<int>(i & 0xFF), f);
  std::fclose(f);
  return path;
}

TEST(MovieSource, PlainFileReadsWholeItemsOnly) {
  const std::string path = TempFile("source63.bin", 63);
  MovieSource source;
  ASSERT_TRUE(Source_Open(source, path.c_str()));
  EXPECT_EQ(Source_Length(source), 63);
  std::uint8_t buffer[64];
  EXPECT_EQ(Source_Read(source, buffer, 64), 0);  // 64 bytes from a 63-byte file

  ASSERT_TRUE(Source_Seek(source, 60));
  EXPECT_EQ(Source_Read(source, buffer, 3), 1);
  EXPECT_EQ(buffer[0], 60);
  EXPECT_EQ(buffer[2], 62);

  Source_Close(source);
  EXPECT_EQ(source.movie_file, nullptr);
  Source_Close(source);  // a second close does nothing
  EXPECT_EQ(source.movie_file, nullptr);

  MovieSource missing;
  EXPECT_FALSE(Source_Open(missing, (path + ".absent").c_str()));
}

TEST(MovieSource, MemoryBlockKnowsItsSize) {
  std::vector<std::uint8_t> block(100);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
  MovieSource source;
  ASSERT_TRUE(Source_OpenMemory(source, block.data(), block.size()));
  ASSERT_TRUE(Source_Seek(source, 64));
  std::uint8_t buffer[40];
  ASSERT_EQ(Source_Read(source, buffer, 4), 1);
  EXPECT_EQ(std::memcmp(buffer, block.data() + 64, 4), 0);
  EXPECT_EQ(source.memory_consumed, 68u);
  EXPECT_EQ(source.memory_cursor, block.data() + 68);

  // Past the block: the read fails and nothing moves.
  EXPECT_EQ(Source_Read(source, buffer, 33), 0);
  EXPECT_EQ(source.memory_consumed, 68u);
  EXPECT_EQ(Source_Read(source, buffer, 32), 1);
  EXPECT_EQ(Source_Read(source, buffer, 1), 0);
  EXPECT_TRUE(Source_Seek(source, 100));
  EXPECT_FALSE(Source_Seek(source, 101));
  EXPECT_FALSE(Source_Seek(source, -1));

  // A block of 3 GiB (pages of zeros, none touched but the last), with nothing readable after
  // it: near its end, a read of more than is left fails as well.
  const std::size_t large = std::size_t{3} << 30;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mapped =
      ::mmap(nullptr, large + page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) GTEST_SKIP() << "no room for a mapping of 3 GiB";
  auto* bytes = static_cast<std::uint8_t*>(mapped);
  ASSERT_EQ(::mprotect(bytes + large, page, PROT_NONE), 0);
  ASSERT_TRUE(Source_OpenMemory(source, bytes, large));
  ASSERT_TRUE(Source_Seek(source, static_cast<std::int64_t>(large - 10)));
  EXPECT_EQ(Source_Read(source, buffer, 11), 0);
  EXPECT_EQ(Source_Read(source, buffer, 10), 1);
  EXPECT_EQ(Source_Read(source, buffer, 1), 0);
  ::munmap(mapped, large + page);
}

TEST(MovieSource, CallbackSourceAsksForAbsoluteRangesWithinTheLength) {
  struct Host {
    std::vector<std::pair<std::int64_t, std::size_t>> asked;
  } host;
  SourceCallback callback;
  callback.user = &host;
  callback.length = 10;
  callback.read_at = [](void* user, std::int64_t offset, void* buffer, std::size_t length) {
    static_cast<Host*>(user)->asked.emplace_back(offset, length);
    std::memset(buffer, static_cast<int>(offset), length);
    return true;
  };
  MovieSource source;
  ASSERT_TRUE(Source_OpenCallback(source, callback));
  EXPECT_EQ(Source_Length(source), 10);
  std::uint8_t buffer[8] = {};
  ASSERT_EQ(Source_Read(source, buffer, 4), 1);
  ASSERT_TRUE(Source_Seek(source, 7));
  ASSERT_EQ(Source_Read(source, buffer, 2), 1);
  EXPECT_EQ(buffer[0], 7);
  // Past the end the host is not even asked.
  EXPECT_EQ(Source_Read(source, buffer, 2), 0);
  EXPECT_FALSE(Source_Seek(source, 11));
  const std::vector<std::pair<std::int64_t, std::size_t>> expected = {{0, 4}, {7, 2}};
  EXPECT_EQ(host.asked, expected);

  Source_Close(source);
  EXPECT_FALSE(Source_IsOpen(source));
  EXPECT_EQ(Source_Read(source, buffer, 1), 0);
}

TEST(MovieSource, StorageSourceWithoutLayerFailsAndClosesCleanly) {
  MovieSource source;
  source.source_kind = kSourceStorage;
  EXPECT_FALSE(Source_Open(source, "intro.kqm"));
  std::uint8_t byte;
  EXPECT_EQ(Source_Read(source, &byte, 1), 0);
  Source_Close(source);
  EXPECT_EQ(source.storage_slot, -1);
}

}  // namespace
}  // namespace tarvel
