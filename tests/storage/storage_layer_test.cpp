#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/file_open.h"
#include "storage/movie_source.h"
#include "storage/storage_layer.h"
#include "storage/tar_package.h"
#include "support/interrupted_stream.h"
#include "tar_writer.h"

namespace tarvel {
namespace {

using testing::MakeTar;
using testing::TarMember;
using testing::WriteTemp;

std::string Pattern(std::size_t size, char seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i % 23);
  return data;
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    intro_ = Pattern(1000, 'a');
    outro_ = Pattern(300, 'A');
    const auto tar = MakeTar({{"movies/", "", '5'},
                              {"movies/intro.kqm", intro_},
                              {"movies/Outro.KQM", outro_},
                              {"readme.txt", "hello"},
                              {"zeta/alpha/deep.bin", "deep"}});
    path_ = WriteTemp("package.tar", tar);
    std::string error;
    ASSERT_TRUE(package_.Load(path_, &error)) << error;
  }

  std::string ReadAll(std::int32_t slot, std::size_t chunk = 64) {
    std::string out;
    std::vector<char> buffer(chunk);
    for (;;) {
      std::size_t count = 0;
      EXPECT_TRUE(Storage_Read(storage(), slot, buffer.data(), chunk, &count));
      if (count == 0) break;
      out.append(buffer.data(), count);
    }
    return out;
  }

  StorageLayer& storage() { return package_.storage(); }

  std::string intro_, outro_, path_;
  TarPackage package_;
};

TEST_F(PackageTest, FourSpellingsOfOnePathFindTheSameEntry) {
  for (const char* name :
       {"\\movies\\intro.kqm", "movies/intro.kqm", "C:\\movies\\intro.kqm", "MOVIES\\INTRO.KQM"}) {
    std::int32_t slot = -1;
    ASSERT_TRUE(Storage_Open(storage(), name, &slot, kStorageModeBinary)) << name;
    EXPECT_EQ(ReadAll(slot), intro_) << name;
    Storage_Close(storage(), slot);
  }
  std::int32_t slot = -1;
  ASSERT_TRUE(Storage_Open(storage(), "zeta/ALPHA/deep.bin", &slot, kStorageModeText));
  EXPECT_EQ(ReadAll(slot), "deep");
}

TEST_F(PackageTest, WrongKindsAndAbsentNamesAreNotFoundAndKeepLastError) {
  storage().last_error = 42;
  storage().last_error_detail = 7;
  std::int32_t slot = -1;
  for (const char* name : {"movies/intro.kqm/x", "movies", "readme.txt/intro.kqm", "absent.kqm",
                           "movies/absent.kqm", "nowhere/intro.kqm"}) {
    DirectoryNode* before = storage().current_directory;
    EXPECT_FALSE(Storage_Open(storage(), name, &slot, kStorageModeBinary)) << name;
    EXPECT_EQ(storage().current_directory, before) << name;
    EXPECT_EQ(storage().directory_depth, 0) << name;
  }
  EXPECT_EQ(storage().last_error, 42);
  EXPECT_EQ(storage().last_error_detail, 7);

  // Opening succeeds without moving the current directory either.
  ASSERT_TRUE(Storage_EnterSubdirectory(storage(), "movies"));
  DirectoryNode* movies = storage().current_directory;
  ASSERT_TRUE(Storage_Open(storage(), "\\readme.txt", &slot, kStorageModeBinary));
  EXPECT_EQ(storage().current_directory, movies);
  ASSERT_TRUE(Storage_Open(storage(), "outro.kqm", &slot, kStorageModeBinary));  // relative
  EXPECT_EQ(ReadAll(slot), outro_);

  EXPECT_FALSE(Storage_Open(storage(), nullptr, &slot, kStorageModeBinary));
  EXPECT_EQ(storage().last_error, kStorageErrorMissingArgument);
  EXPECT_EQ(storage().last_error_detail, 1);
  EXPECT_FALSE(Storage_Open(storage(), "x", nullptr, kStorageModeBinary));
  EXPECT_EQ(storage().last_error_detail, 2);
}

TEST_F(PackageTest, ReadsStopAtTheEntryEndAndSeeksStayInside) {
  std::int32_t slot = -1;
  ASSERT_TRUE(Storage_Open(storage(), "movies/intro.kqm", &slot, kStorageModeBinary));
  PackageStream* stream = storage().slot_handles[slot].package;
  ASSERT_NE(stream, nullptr);
  const std::int32_t start = stream->position;

  ASSERT_TRUE(Storage_Seek(storage(), slot, 30, 2));  // 30 bytes before the end
  char buffer[100];
  std::size_t count = 0;
  ASSERT_TRUE(Storage_Read(storage(), slot, buffer, 100, &count));
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(stream->at_end, 1);
  EXPECT_EQ(std::string(buffer, 30), intro_.substr(970));
  ASSERT_TRUE(Storage_Read(storage(), slot, buffer, 100, &count));
  EXPECT_EQ(count, 0u);

  ASSERT_TRUE(Storage_Seek(storage(), slot, 1000, 0));  // exactly the end
  EXPECT_EQ(stream->at_end, 0);
  EXPECT_EQ(stream->position, start + 1000);
  EXPECT_FALSE(Storage_Seek(storage(), slot, 1001, 0));
  EXPECT_EQ(stream->position, start + 1000);
  EXPECT_FALSE(Storage_Seek(storage(), slot, -1, 0));
  ASSERT_TRUE(Storage_Seek(storage(), slot, -10, 1));
  ASSERT_TRUE(Storage_Read(storage(), slot, buffer, 1, &count));  // the one-byte path
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(buffer[0], intro_[990]);
}

TEST_F(PackageTest, SlotsKeepTheirOwnPositionsAndAreReused) {
  std::int32_t a = -1, b = -1;
  ASSERT_TRUE(Storage_Open(storage(), "movies/intro.kqm", &a, kStorageModeBinary));
  ASSERT_TRUE(Storage_Open(storage(), "movies/outro.kqm", &b, kStorageModeBinary));
  EXPECT_NE(a, b);
  std::string got_a, got_b;
  char buffer[7];
  for (int round = 0; round < 20; ++round) {
    std::size_t count = 0;
    ASSERT_TRUE(Storage_Read(storage(), a, buffer, 7, &count));
    got_a.append(buffer, count);
    ASSERT_TRUE(Storage_Read(storage(), b, buffer, 7, &count));
    got_b.append(buffer, count);
  }
  EXPECT_EQ(got_a, intro_.substr(0, 140));
  EXPECT_EQ(got_b, outro_.substr(0, 140));

  Storage_Close(storage(), a);
  EXPECT_EQ(storage().slot_is_package[a], 1);
  EXPECT_EQ(Storage_FindFreeSlot(storage()), a);

  // Every slot taken: the next open fails without an error code.
  std::vector<std::int32_t> taken;
  std::int32_t slot;
  while (Storage_Open(storage(), "readme.txt", &slot, kStorageModeBinary)) taken.push_back(slot);
  EXPECT_EQ(taken.size() + 1, TarPackage::kSlotCount);
  EXPECT_EQ(Storage_FindFreeSlot(storage()), -1);
}

TEST_F(PackageTest, MovieSourceReadsAnEntryOfThePackage) {
  MovieSource source;
  source.source_kind = kSourceStorage;
  source.storage = &storage();
  ASSERT_TRUE(Source_Open(source, "movies/intro.kqm"));
  EXPECT_EQ(Source_Length(source), 1000);
  char buffer[64];
  ASSERT_EQ(Source_Read(source, buffer, 64), 1);
  EXPECT_EQ(std::string(buffer, 64), intro_.substr(0, 64));
  ASSERT_TRUE(Source_Seek(source, 990));
  EXPECT_EQ(Source_Read(source, buffer, 11), 0);  // only 10 bytes left
  EXPECT_FALSE(source.read_failed);
  // A folder's stream stands for a failing disk under the archive: every read of it fails.
  std::FILE* archive = storage().package_stream;
  storage().package_stream = std::fopen(::testing::TempDir().c_str(), "rb");
  ASSERT_NE(storage().package_stream, nullptr);
  ASSERT_TRUE(Source_Seek(source, 0));
  EXPECT_EQ(Source_Read(source, buffer, 64), 0);
  EXPECT_TRUE(source.read_failed);
  std::fclose(storage().package_stream);
  storage().package_stream = archive;
  Source_Close(source);
  EXPECT_EQ(source.storage_slot, -1);
  Source_Close(source);
  EXPECT_EQ(source.storage_slot, -1);

  // A second source whose name is not in the package is not open, and closing it leaves the
  // entry the first one reads (in slot 0) open.
  ASSERT_TRUE(Source_Open(source, "movies/intro.kqm"));
  ASSERT_EQ(source.storage_slot, 0);
  MovieSource absent;
  absent.source_kind = kSourceStorage;
  absent.storage = &storage();
  EXPECT_FALSE(Source_Open(absent, "movies/absent.kqm"));
  EXPECT_FALSE(Source_IsOpen(absent));
  Source_Close(absent);
  EXPECT_EQ(Source_Read(source, buffer, 64), 1);
  EXPECT_EQ(std::string(buffer, 64), intro_.substr(0, 64));
  Source_Close(source);
}

// A package of one movie read through a stream that misbehaves, the movie open.
struct MisbehavingPackage {
  explicit MisbehavingPackage(bool interrupted) : stream(tar, 0, interrupted) {
    std::string error;
    EXPECT_TRUE(package.LoadStream(stream.Open(), tar.size(), &error)) << error;
    EXPECT_TRUE(Storage_Open(package.storage(), "movies/intro.kqm", &slot, kStorageModeBinary));
  }
  // Reads the whole movie from where the slot stands: whether it came whole.
  bool ReadsTheMovie() {
    std::string read(movie.size(), '\0');
    std::size_t count = 0;
    return Storage_Read(package.storage(), slot, read.data(), read.size(), &count) &&
           count == movie.size() && read == movie;
  }

  const std::string movie = Pattern(1000, 'a');
  const std::vector<std::uint8_t> tar = MakeTar({{"movies/intro.kqm", movie}});
  test::InterruptedStream stream;
  TarPackage package;
  std::int32_t slot = -1;
};

TEST(TarPackage, ReadsASignalInterruptsAreReadAgain) {
  MisbehavingPackage interrupted(true);
  EXPECT_TRUE(interrupted.ReadsTheMovie());
}

// A read the disk fails once fails alone: the archive's next reads, of any entry, go on as before.
TEST(TarPackage, AReadTheDiskFailsLeavesTheNextReadsAlone) {
  MisbehavingPackage failing(false);
  failing.stream.FailReads(EIO);
  EXPECT_FALSE(failing.ReadsTheMovie());
  failing.stream.FailReads(0);
  ASSERT_TRUE(Storage_Seek(failing.package.storage(), failing.slot, 0, 0));
  EXPECT_TRUE(failing.ReadsTheMovie());
}

TEST(StorageLayer, LooseFilesWhenThePackageIsDisabledOrTriedFirst) {
  StorageSlot slots[2] = {};
  std::int32_t is_package[2] = {};
  StorageLayer storage;
  storage.slot_handles = slots;
  storage.slot_is_package = is_package;
  storage.slot_count = 2;
  storage.current_directory = &storage.root;
  const std::string path = WriteTemp("loose.bin", {1, 2, 3});
  std::int32_t slot = -1;
  EXPECT_FALSE(Storage_Open(storage, (path + ".absent").c_str(), &slot, kStorageModeBinary));
  EXPECT_EQ(storage.last_error, kStorageErrorOpen);
  ASSERT_TRUE(Storage_Open(storage, path.c_str(), &slot, kStorageModeBinary));
  EXPECT_EQ(is_package[slot], 0);
  std::uint8_t buffer[8];
  std::size_t count = 0;
  ASSERT_TRUE(Storage_Read(storage, slot, buffer, 8, &count));
  EXPECT_EQ(count, 3u);  // a short read at the end of a loose file succeeds
  EXPECT_TRUE(Storage_Seek(storage, slot, 1, 0));
  EXPECT_FALSE(Storage_Seek(storage, slot, 0, 3));
  Storage_Close(storage, slot);

  storage.package_enabled = 1;
  storage.loose_first = 1;
  ASSERT_TRUE(Storage_Open(storage, path.c_str(), &slot, kStorageModeBinary));
  EXPECT_EQ(is_package[slot], 0);
  Storage_Close(storage, slot);
}

TEST(FileOpening, OnlyRegularFilesAreOpenedAndAPipeNeverWaits) {
  const std::string folder = ::testing::TempDir() + "open_kinds";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(folder);
  const std::string fifo = folder + "/pipe";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string file = WriteTemp("open_kinds.bin", {7});
  std::int32_t problem = -1;
  EXPECT_EQ(nullptr, OpenRegularFile(folder.c_str(), "rb", &problem));
  EXPECT_EQ(kFileIsFolder, problem);
  EXPECT_STREQ("is a folder", FileOpenProblemText(problem));
  // A FIFO without a writer would block an open: it is refused without one.
  EXPECT_EQ(nullptr, OpenRegularFile(fifo.c_str(), "rb", &problem));
  EXPECT_EQ(kFileNotRegular, problem);
  EXPECT_STREQ("is not a regular file", FileOpenProblemText(problem));
  EXPECT_EQ(nullptr, OpenRegularFile((folder + "/absent").c_str(), "rb", &problem));
  EXPECT_EQ(kFileNotFound, problem);
  // Two links naming each other lead nowhere: said so, not "cannot be opened".
  std::filesystem::create_symlink("loop_b", folder + "/loop_a");
  std::filesystem::create_symlink("loop_a", folder + "/loop_b");
  EXPECT_EQ(nullptr, OpenRegularFile((folder + "/loop_a").c_str(), "rb", &problem));
  EXPECT_STREQ("is a loop of symbolic links", FileOpenProblemText(problem));
  // A name longer than the file system takes is said to be (it was "cannot be opened").
  EXPECT_EQ(nullptr,
            OpenRegularFile((folder + "/" + std::string(300, 'a')).c_str(), "rb", &problem));
  EXPECT_STREQ("cannot be opened: its name is too long", FileOpenProblemText(problem));
  std::FILE* opened = OpenRegularFile(file.c_str(), "rb", &problem);
  ASSERT_NE(nullptr, opened);
  EXPECT_EQ(kFileOpened, problem);
  // Not left open in the programs the player starts while a movie plays.
  EXPECT_EQ(FD_CLOEXEC, ::fcntl(::fileno(opened), F_GETFD) & FD_CLOEXEC);
  std::fclose(opened);

  // Every way in takes the same check: the movie source, loose files of the storage layer and
  // package archives.
  MovieSource source;
  EXPECT_FALSE(Source_Open(source, fifo.c_str()));
  EXPECT_EQ(kFileNotRegular, source.open_problem);
  EXPECT_FALSE(Source_Open(source, folder.c_str()));
  EXPECT_EQ(kFileIsFolder, source.open_problem);
  StorageSlot slots[1] = {};
  std::int32_t is_package[1] = {};
  StorageLayer storage;
  storage.slot_handles = slots;
  storage.slot_is_package = is_package;
  storage.slot_count = 1;
  storage.current_directory = &storage.root;
  std::int32_t slot = -1;
  EXPECT_FALSE(Storage_Open(storage, fifo.c_str(), &slot, kStorageModeBinary));
  TarPackage package;
  std::string error;
  EXPECT_FALSE(package.Load(fifo, &error));
  EXPECT_EQ("is not a regular file", error);
}

TEST(StorageLayer, PathSplittingAndTheDirectoryStack) {
  StorageLayer storage;
  std::int32_t count = -1;
  char** parts = nullptr;
  const auto split = [&](const char* path) {
    std::vector<std::string> out;
    EXPECT_TRUE(Storage_SplitPath(storage, path, &count, &parts));
    for (std::int32_t i = 0; i < count; ++i) out.emplace_back(parts[i]);
    Storage_FreePathParts(storage, count, parts);
    return out;
  };
  EXPECT_EQ(split("\\a/b"), (std::vector<std::string>{"", "a", "b"}));
  EXPECT_EQ(split("a\\\\b\\"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(split(""), std::vector<std::string>{});
  EXPECT_FALSE(Storage_SplitPath(storage, "a", nullptr, &parts));
  EXPECT_EQ(storage.last_error_detail, 1);
  EXPECT_FALSE(Storage_SplitPath(storage, "a", &count, nullptr));
  EXPECT_EQ(storage.last_error_detail, 2);
  EXPECT_FALSE(Storage_SplitPath(storage, nullptr, &count, &parts));
  EXPECT_EQ(storage.last_error_detail, 3);

  for (int i = 0; i < kDirectoryStackSize; ++i) ASSERT_TRUE(Storage_PushDirectory(storage));
  EXPECT_FALSE(Storage_PushDirectory(storage));
  EXPECT_EQ(storage.last_error, kStorageErrorStackFull);
  storage.directory_depth = 0;
  EXPECT_FALSE(Storage_PopDirectory(storage));
  EXPECT_EQ(storage.last_error, kStorageErrorStackEmpty);
  storage.last_error = 0;
  EXPECT_FALSE(Storage_DropSavedDirectory(storage));
  EXPECT_EQ(storage.last_error, kStorageErrorStackEmpty);
  EXPECT_FALSE(Storage_SetDirectory(storage, nullptr));
  EXPECT_EQ(storage.last_error, kStorageErrorMissingArgument);
}

// The whole contents of `name` read through the package's storage layer.
std::string ReadEntry(TarPackage& package, const std::string& name) {
  std::int32_t slot = -1;
  if (!Storage_Open(package.storage(), name.c_str(), &slot, kStorageModeBinary)) return "(absent)";
  std::string data(4096, '\0');
  std::size_t count = 0;
  Storage_Read(package.storage(), slot, data.data(), data.size(), &count);
  Storage_Close(package.storage(), slot);
  data.resize(count);
  return data;
}

TEST(TarPackage, ArchivesOfTheTarProgramInPosixAndGnuFormats) {
  // Short names get pax headers of their own in the posix format (times, at least); a name over
  // 100 bytes gets a pax path record, or a GNU long-name member in the gnu format.
  const std::string folder = ::testing::TempDir() + "tar_formats";
  std::filesystem::remove_all(folder);
  const std::string deep = "a-folder-whose-name-is-rather-long/and-another-one-below-it/" +
                           std::string(60, 'm') + ".kqm";
  std::filesystem::create_directories(folder + "/in/Movies");
  std::filesystem::create_directories(folder + "/in/" + deep.substr(0, deep.rfind('/')));
  auto write = [&](const std::string& name, const std::string& text) {
    std::FILE* f = std::fopen((folder + "/in/" + name).c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  write("Movies/Intro.kqm", "intro");
  write(deep, "deep");
  // Hard links: the tar program stores the data under the first name only, and a long name's
  // link target (over 100 bytes) goes in a pax record or a GNU long-link member.
  const std::string deep_link = deep.substr(0, deep.rfind('/')) + "/again.kqm";
  std::filesystem::create_hard_link(folder + "/in/Movies/Intro.kqm", folder + "/in/Movies/B.kqm");
  std::filesystem::create_hard_link(folder + "/in/" + deep, folder + "/in/" + deep_link);
  // Symbolic links: from the link's folder, through another link, and a loop of two.
  std::filesystem::create_symlink("../" + deep, folder + "/in/Movies/Link.kqm");
  std::filesystem::create_symlink("Link.kqm", folder + "/in/Movies/Chain.kqm");
  std::filesystem::create_symlink("Loop2.kqm", folder + "/in/Movies/Loop1.kqm");
  std::filesystem::create_symlink("Loop1.kqm", folder + "/in/Movies/Loop2.kqm");
  // An incremental backup's headers (gnu format) hold times where a ustar header holds a name's
  // prefix.
  for (const std::string format : {"posix", "gnu", "gnu --listed-incremental=snapshot"}) {
    const std::string archive = folder + "/" + std::to_string(format.size()) + ".tar";
    const std::string command = "cd '" + folder + "' && tar --format=" + format + " -cf '" +
                                archive + "' -C '" + folder + "/in' Movies '" +
                                deep.substr(0, deep.find('/')) + "'";
    ASSERT_EQ(0, std::system(command.c_str())) << command;
    TarPackage package;
    std::string error;
    ASSERT_TRUE(package.Load(archive, &error)) << format << ": " << error;
    EXPECT_EQ(6u, package.file_count()) << format;
    EXPECT_EQ("intro", ReadEntry(package, "movies\\INTRO.KQM")) << format;
    EXPECT_EQ("intro", ReadEntry(package, "movies/b.kqm")) << format;
    EXPECT_EQ("deep", ReadEntry(package, "/" + deep)) << format;
    EXPECT_EQ("deep", ReadEntry(package, deep_link)) << format;
    EXPECT_EQ("deep", ReadEntry(package, "Movies/Link.kqm")) << format;
    EXPECT_EQ("deep", ReadEntry(package, "Movies/Chain.kqm")) << format;
    EXPECT_EQ("(absent)", ReadEntry(package, "Movies/Loop1.kqm")) << format;
  }
}

TEST(TarPackage, AFolderStoredAsAFileWhoseNameEndsInASlashIsAFolder) {
  // As tar programs before the POSIX member types wrote folders.
  TarPackage package;
  std::string error;
  ASSERT_TRUE(package.Load(
      WriteTemp("old.tar", MakeTar({{"movies/", "", '0'}, {"movies/a.kqm", "movie"}})), &error))
      << error;
  EXPECT_EQ("movie", ReadEntry(package, "movies/a.kqm"));
}

TEST(TarPackage, DamagedArchivesAreRefusedAtLoad) {
  const auto good = MakeTar({{"a.kqm", std::string(700, 'x')}});
  std::string error;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* message;
  };
  auto truncated_header = good;
  truncated_header.resize(300);
  auto truncated_member = good;
  truncated_member.resize(512 + 600);
  // A member named by a GNU long-name member before it is named in full.
  const std::string long_name = std::string(110, 'n') + ".kqm";
  auto truncated_long = MakeTar({{"././@LongLink", long_name, 'L'}, {long_name, "12345"}});
  truncated_long.resize(3 * 512 + 2);
  const std::string long_cut = "'" + long_name + "' runs past the end";
  auto bad_checksum = good;
  bad_checksum[0] ^= 1;
  std::vector<std::uint8_t> gzipped = {0x1F, 0x8B, 0x08, 0x00};  // a gzip stream's first bytes
  gzipped.resize(1024);
  // A file below 2048 folders, one level deeper than any path a file system takes; its pax
  // record of 4112 bytes counts its own length.
  std::string deep_record = "4112 path=";
  for (int i = 0; i < 2048; ++i) deep_record += "a/";
  deep_record += "m.kqm\n";
  const std::vector<Case> cases = {
      {"header", truncated_header, "truncated member header"},
      {"member", truncated_member, "runs past the end"},
      {"long member", truncated_long, long_cut.c_str()},
      {"checksum", bad_checksum, "damaged member header"},
      {"pax record", MakeTar({{"PaxHeaders/a", "12 path=a\n", 'x'}, {"a", "1"}}),
       "malformed pax header"},
      {"file and directory", MakeTar({{"a", "1"}, {"a/b", "2"}}), "both a file and a directory"},
      {"deep", MakeTar({{"PaxHeaders/a", deep_record, 'x'}, {"a", "1"}}),
       "is nested deeper than 2048 levels"},
      {"gzip", gzipped, "compressed with gzip: only a plain tar archive can be read"},
  };
  for (const Case& c : cases) {
    TarPackage package;
    EXPECT_FALSE(package.Load(WriteTemp("bad.tar", c.bytes), &error)) << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
  }
  TarPackage missing;
  EXPECT_FALSE(missing.Load(::testing::TempDir() + "absent.tar", &error));
  // A stream whose reads fail (a folder's, EISDIR) stands for a failing disk: said as the system
  // says it.
  TarPackage unreadable;
  EXPECT_FALSE(unreadable.LoadStream(std::fopen(::testing::TempDir().c_str(), "rb"), 1024, &error));
  EXPECT_EQ(error, "cannot read the member header at offset 0: Is a directory");
}

// Names of one-letter folders make a folder of every two bytes: the tree may hold one folder or
// file per 64 bytes of the archive, or 65,536 in a smaller one. Each member below makes 2048:
// its own folder, 2046 folders "a" and the file, so 32 fill the tree and a 33rd is refused.
TEST(TarPackage, NamesMakingMoreFoldersThanTheArchiveHoldsAreRefused) {
  auto deep_members = [](int count) {
    std::vector<TarMember> members;
    for (int i = 0; i < count; ++i) {
      std::string path = "d" + std::to_string(100 + i) + "/";
      for (int level = 0; level < 2046; ++level) path += "a/";
      path += "m.kqm";
      // The record counts its own length, 4 digits here.
      const std::string rest = " path=" + path + "\n";
      members.push_back({"PaxHeaders/m", std::to_string(rest.size() + 4) + rest, 'x'});
      members.push_back({"m.kqm", "1"});
    }
    return MakeTar(members);
  };
  std::string error;
  TarPackage full;
  EXPECT_TRUE(full.Load(WriteTemp("full.tar", deep_members(32)), &error)) << error;
  TarPackage over;
  EXPECT_FALSE(over.Load(WriteTemp("over.tar", deep_members(33)), &error));
  EXPECT_NE(error.find("more than 65536 folders and files"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvel
