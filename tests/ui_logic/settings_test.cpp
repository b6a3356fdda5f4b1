#include "ui/logic/viewer_settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <csignal>
#include <filesystem>
#include <thread>

#include "platform/user_files.h"
#include "support/scratch.h"

namespace tarvel {
namespace {

using test::ReadBytes;
using test::ScopedEnv;
using test::ScratchFolder;
using test::WriteBytes;

const char kDefaultFile[] =
    "AutoPlay=1\n"
    "FullScreen=0\n"
    "FenetreLibre=0\n"
    "NoSound=0\n"
    "Enchaine=0\n"
    "Register=0\n"
    "Wkqm=-1,-1\n"
    "Wcmd=-1,-1\n"
    "Wlist=-1,-1\n";

void ExpectPosition(const WindowPosition& p, std::int32_t x, std::int32_t y) {
  EXPECT_EQ(p.x, x);
  EXPECT_EQ(p.y, y);
}

TEST(SettingsFile, DefaultsAreWrittenByteForByte) {
  ScratchFolder folder;
  EXPECT_EQ(Settings_Format(ViewerSettings{}), kDefaultFile);
  ASSERT_EQ(Settings_Write(ViewerSettings{}, folder / "viewkqm.ini"), kFileOk);
  EXPECT_EQ(ReadBytes(folder / "viewkqm.ini"), kDefaultFile);
}

TEST(SettingsFile, EveryFieldSurvivesAWriteAndARead) {
  ScratchFolder folder;
  ViewerSettings written;
  written.AutoPlay = 0;
  written.FullScreen = 1;
  written.FenetreLibre = 1;
  written.NoSound = 1;
  written.Enchaine = 1;
  written.Register = 1;
  written.video_window = {640, -20};
  written.command_window = {100, 200};
  written.playlist_window = {-2147483647 - 1, 2147483647};
  ASSERT_EQ(Settings_Write(written, folder / "viewkqm.ini"), kFileOk);
  EXPECT_EQ(ReadBytes(folder / "viewkqm.ini"),
            "AutoPlay=0\nFullScreen=1\nFenetreLibre=1\nNoSound=1\nEnchaine=1\nRegister=1\n"
            "Wkqm=640,-20\nWcmd=100,200\nWlist=-2147483648,2147483647\n");
  ViewerSettings read;
  ASSERT_EQ(Settings_Read(read, folder / "viewkqm.ini"), kFileOk);
  EXPECT_EQ(Settings_Format(read), Settings_Format(written));
}

TEST(SettingsFile, LinesAreReadByPositionNotByKey) {
  ViewerSettings s;
  Settings_Parse(s,
                 "NoSound=1\nAutoPlay=0\nEnchaine=1\nRegister=0\nFullScreen=1\nFenetreLibre=1\n"
                 "Wcmd=100,200\nWlist=3,4\nWkqm=5,6\n");
  EXPECT_EQ(s.AutoPlay, 1);      // from "NoSound=1"
  EXPECT_EQ(s.FullScreen, 0);    // from "AutoPlay=0"
  EXPECT_EQ(s.FenetreLibre, 1);  // from "Enchaine=1"
  EXPECT_EQ(s.NoSound, 0);
  EXPECT_EQ(s.Enchaine, 1);
  EXPECT_EQ(s.Register, 1);
  ExpectPosition(s.video_window, 100, 200);
  ExpectPosition(s.command_window, 3, 4);
  ExpectPosition(s.playlist_window, 5, 6);
}

TEST(SettingsFile, SwitchesKeepTheLowEightBits) {
  ViewerSettings s;
  Settings_Parse(s,
                 "AutoPlay=257\nFullScreen=-1\nFenetreLibre=512\nNoSound=99999999999\n"
                 "Enchaine=+3\nRegister=-255\n");
  EXPECT_EQ(s.AutoPlay, 1);
  EXPECT_EQ(s.FullScreen, 255);
  EXPECT_EQ(s.FenetreLibre, 0);
  EXPECT_EQ(s.NoSound, 255);  // saturates at 2147483647, whose low byte is 0xFF
  EXPECT_EQ(s.Enchaine, 3);
  EXPECT_EQ(s.Register, 1);  // -255 is 0xFFFFFF01
}

TEST(SettingsFile, MissingEqualsOrCommaReadsZero) {
  ViewerSettings s;
  s.AutoPlay = 7;
  Settings_Parse(s,
                 "AutoPlay\nFullScreen=\nFenetreLibre=x9\nNoSound=4,5\nEnchaine==2\n"
                 "Register=1\nWkqm=5\nWcmd=,7\nWlist\n");
  EXPECT_EQ(s.AutoPlay, 0);
  EXPECT_EQ(s.FullScreen, 0);
  EXPECT_EQ(s.FenetreLibre, 0);
  EXPECT_EQ(s.NoSound, 4);
  EXPECT_EQ(s.Enchaine, 0);
  ExpectPosition(s.video_window, 5, 0);
  ExpectPosition(s.command_window, 0, 7);
  ExpectPosition(s.playlist_window, 0, 0);

  // The comma that counts is the first one after the "=", and the scan stays within the word.
  ViewerSettings t;
  Settings_Parse(t, "1 1 1 1 1 1 a,1=2 Wcmd=12,abc Wlist=8\n,9");
  ExpectPosition(t.video_window, 2, 0);
  ExpectPosition(t.command_window, 12, 0);
  ExpectPosition(t.playlist_window, 8, 0);
  EXPECT_EQ(t.AutoPlay, 0);  // "1" has no "="
}

TEST(SettingsFile, ShortFilesKeepTheRestAndSpacingDoesNotMatter) {
  ViewerSettings s;
  s.Register = 1;
  s.command_window = {10, 20};
  Settings_Parse(s, "\r\n  AutoPlay=0\r\n\r\nFullScreen=1\t\r\nFenetreLibre=1");
  EXPECT_EQ(s.AutoPlay, 0);
  EXPECT_EQ(s.FullScreen, 1);
  EXPECT_EQ(s.FenetreLibre, 1);
  EXPECT_EQ(s.NoSound, 0);
  EXPECT_EQ(s.Register, 1);
  ExpectPosition(s.video_window, -1, -1);
  ExpectPosition(s.command_window, 10, 20);

  ViewerSettings empty;
  Settings_Parse(empty, "");
  EXPECT_EQ(Settings_Format(empty), kDefaultFile);
}

TEST(SettingsFile, JunkNeverCrashesAndBadFilesKeepTheDefaults) {
  ScratchFolder folder;
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 37 + 11) & 0xFF);
  junk += std::string(50000, '=');
  junk += "AutoPlay=" + std::string(10000, '9');
  ViewerSettings s;
  Settings_Parse(s, junk);  // must stay within the text; the values are whatever it says

  const std::string path = folder / "viewkqm.ini";
  ViewerSettings kept;
  kept.Enchaine = 1;
  EXPECT_EQ(Settings_Read(kept, path), kFileMissing);
  EXPECT_EQ(Settings_ReadProblem(kFileMissing, path), "");  // not made yet: no problem
  WriteBytes(path, "AutoPlay=0\n" + std::string(kSettingsMaxBytes, ' '));
  EXPECT_EQ(Settings_Read(kept, path), kFileTooLarge);
  EXPECT_EQ(Settings_ReadProblem(kFileTooLarge, path),
            "is larger than a settings file can be (64 KiB)");
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_EQ(Settings_Read(kept, path), kFileUnreadable);
  EXPECT_EQ(Settings_ReadProblem(kFileUnreadable, path), "is a folder");
  EXPECT_EQ(kept.AutoPlay, 1);
  EXPECT_EQ(kept.Enchaine, 1);

  WriteBytes(folder / "nul.ini", std::string("AutoPlay=0\0FullScreen=1\n", 24));
  ViewerSettings nul;
  ASSERT_EQ(Settings_Read(nul, folder / "nul.ini"), kFileOk);
  EXPECT_EQ(nul.AutoPlay, 0);  // the number ends at the zero byte
}

TEST(SettingsFile, AFailedWriteLeavesTheOldFileWhole) {
  ScratchFolder folder;
  const std::string path = folder / "viewkqm.ini";
  ASSERT_EQ(Settings_Write(ViewerSettings{}, path), kFileOk);
  ViewerSettings changed;
  changed.Register = 1;
  changed.command_window = {123456, 654321};

  // A disk that fills up after 20 bytes of the new file.
  struct rlimit old_limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit tiny = old_limit;
  tiny.rlim_cur = 20;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  std::string problem;
  int result = Settings_Write(changed, path, &problem);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(result, kFileWriteFailed);
  EXPECT_EQ(problem, "cannot be written: file too large");
  EXPECT_EQ(ReadBytes(path), kDefaultFile);
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1) << "the temporary file was left behind";

  // Missing folders are made for the owner alone, whatever the umask; those there are kept.
  const mode_t umask_before = ::umask(0);
  const int made = Settings_Write(changed, folder / "config/tarvel/viewkqm.ini");
  ::umask(umask_before);
  ASSERT_EQ(made, kFileOk);
  for (const char* made_folder : {"config", "config/tarvel"}) {
    struct stat made_stat {};
    ASSERT_EQ(::stat((folder / made_folder).c_str(), &made_stat), 0);
    EXPECT_EQ(made_stat.st_mode & 0777, 0700u) << made_folder;
  }
  // A new file follows the umask: 077 keeps it to its owner.
  const mode_t umask_open = ::umask(077);
  const int private_made = Settings_Write(changed, folder / "private.ini");
  ::umask(umask_open);
  ASSERT_EQ(private_made, kFileOk);
  struct stat private_stat {};
  ASSERT_EQ(::stat((folder / "private.ini").c_str(), &private_stat), 0);
  EXPECT_EQ(private_stat.st_mode & 0777, 0600u);

  // A folder that cannot exist: its parent is a file.
  WriteBytes(folder / "plain", "x");
  EXPECT_EQ(Settings_Write(changed, folder / "plain/tarvel/viewkqm.ini", &problem),
            kFileWriteFailed);
  EXPECT_EQ(problem, "cannot be written: a file is in the way");
  // A folder in the file's place.
  EXPECT_EQ(Settings_Write(changed, folder.path(), &problem), kFileWriteFailed);
  EXPECT_EQ(problem, "is a folder");
  // A file made read-only (chmod a-w) stays as it is, though its folder may be written.
  ::chmod(path.c_str(), 0444);
  EXPECT_EQ(Settings_Write(changed, path, &problem), kFileWriteFailed);
  EXPECT_EQ(problem, "cannot be written: permission denied");
  EXPECT_EQ(ReadBytes(path), kDefaultFile);
  // Another user's file written by the superuser (sudo keeping the user's $HOME) stays theirs.
  if (::geteuid() == 0) {
    const std::string theirs = folder / "theirs.ini";
    WriteBytes(theirs, "AutoPlay=0\n");
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    ASSERT_EQ(Settings_Write(changed, theirs), kFileOk);
    struct stat their_stat {};
    ASSERT_EQ(::stat(theirs.c_str(), &their_stat), 0);
    EXPECT_EQ(their_stat.st_uid, 65534u);
    EXPECT_EQ(their_stat.st_gid, 65534u);
    // On a first run in their home, the folders and the file made there are theirs too.
    ASSERT_EQ(::mkdir((folder / "home").c_str(), 0755), 0);
    ASSERT_EQ(::chown((folder / "home").c_str(), 65534, 65534), 0);
    ASSERT_EQ(Settings_Write(changed, folder / "home/config/tarvel/viewkqm.ini"), kFileOk);
    for (const char* inside :
         {"home/config", "home/config/tarvel", "home/config/tarvel/viewkqm.ini"}) {
      ASSERT_EQ(::lstat((folder / inside).c_str(), &their_stat), 0) << inside;
      EXPECT_EQ(their_stat.st_uid, 65534u) << inside;
      EXPECT_EQ(their_stat.st_gid, 65534u) << inside;
    }
  }
  // A folder is made in one its user may write and search but not read (a drop box).
  const std::string box = folder / "box";
  ASSERT_EQ(::mkdir(box.c_str(), 0300), 0);
  const auto made_in_box = [&] {
    return Settings_Write(changed, box + "/config/viewkqm.ini") == kFileOk;
  };
  if (::geteuid() != 0) {
    EXPECT_TRUE(made_in_box());
  } else {
    // The superuser may read any folder: the box's owner makes it.
    ASSERT_EQ(::chown(box.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(folder.path().c_str(), 0711), 0);
    EXPECT_EXIT(std::exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && made_in_box() ? 0 : 1),
                testing::ExitedWithCode(0), "");
  }
}

TEST(SettingsFile, WhyAWriteFailedIsWordedAlikeInEveryLocale) {
  // Under a Turkish Latin-5 locale 'I' lowers to a dotless i; the system's words are ASCII.
  struct Locale {
    std::string before = std::setlocale(LC_CTYPE, nullptr);
    bool turkish = std::setlocale(LC_CTYPE, "tr_TR.ISO-8859-9") != nullptr;
    ~Locale() { std::setlocale(LC_CTYPE, before.c_str()); }
  } locale;
  ASSERT_TRUE(locale.turkish) << "no tr_TR.ISO-8859-9 locale: scripts/setup makes it";
  ScratchFolder folder;
  // A NUL byte in the name leaves the temporary file's pattern without its XXXXXX: EINVAL.
  std::string problem;
  EXPECT_EQ(Settings_Write(ViewerSettings{}, folder / std::string("a\0b", 3), &problem),
            kFileWriteFailed);
  EXPECT_EQ(problem, "cannot be written: invalid argument");
}

TEST(SettingsFile, WritingThroughALinkReplacesTheLinkedFile) {
  ScratchFolder folder;
  WriteBytes(folder / "dotfiles/viewkqm.ini", "old");
  std::filesystem::create_symlink(folder / "dotfiles/viewkqm.ini", folder / "viewkqm.ini");
  ASSERT_EQ(Settings_Write(ViewerSettings{}, folder / "viewkqm.ini"), kFileOk);
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "viewkqm.ini"));
  EXPECT_EQ(ReadBytes(folder / "dotfiles/viewkqm.ini"), kDefaultFile);

  // A relative link to a file not made yet, in a folder not made yet: the link stays.
  std::filesystem::create_symlink("new/viewkqm.ini", folder / "dotfiles/next.ini");
  ASSERT_EQ(Settings_Write(ViewerSettings{}, folder / "dotfiles/next.ini"), kFileOk);
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "dotfiles/next.ini"));
  EXPECT_EQ(ReadBytes(folder / "dotfiles/new/viewkqm.ini"), kDefaultFile);
  // A link to itself names no file: nothing is written, and it stays.
  std::filesystem::create_symlink("loop.ini", folder / "loop.ini");
  EXPECT_EQ(Settings_Write(ViewerSettings{}, folder / "loop.ini"), kFileWriteFailed);
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "loop.ini"));
}

TEST(SettingsFile, PlayersWritingAtOnceTakeTurns) {
  ScratchFolder folder;
  const std::string path = folder / "viewkqm.ini";
  ASSERT_EQ(Settings_Write(ViewerSettings{}, path), kFileOk);
  ViewerSettings mine;
  mine.NoSound = 1;
  ViewerSettings written;  // the defaults, as this player read them
  int result = -1;
  std::thread quitting;
  {
    // Another player, quitting at the same moment, is reading and replacing the file.
    const FolderHold other(folder.path(), std::chrono::hours(1));
    ASSERT_TRUE(other.held());
    quitting = std::thread([&] {
      result = Settings_WriteKeepingOthers(mine, written, path, nullptr, std::chrono::hours(1));
    });
    ViewerSettings theirs;
    theirs.Enchaine = 1;
    EXPECT_EQ(Settings_Write(theirs, path), kFileOk);
  }
  quitting.join();
  ASSERT_EQ(result, kFileOk);
  ViewerSettings both;
  ASSERT_EQ(Settings_Read(both, path), kFileOk);
  EXPECT_EQ(both.NoSound, 1);
  EXPECT_EQ(both.Enchaine, 1) << "the other player's change was lost";
  // On a first run there is no folder yet: the first player to quit makes it (readable by its
  // owner alone, as the settings writer makes it) and holds it, and the next one waits its turn.
  const std::string first_run = folder / "config/tarvel";
  const FolderHold first(first_run, std::chrono::hours(1));
  EXPECT_TRUE(first.held());
  EXPECT_FALSE(FolderHold(first_run, std::chrono::milliseconds(0)).held());
  struct stat made {};
  ASSERT_EQ(::stat(first_run.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0700u);
}

TEST(SettingsFile, LinesAfterTheSettingsAreKept) {
  ScratchFolder folder;
  const std::string path = folder / "viewkqm.ini";
  WriteBytes(path, std::string(kDefaultFile) + "Zoom=2\n# my own note\n");
  ViewerSettings mine;
  mine.NoSound = 1;
  ViewerSettings written;  // the defaults, as this player read them
  ASSERT_EQ(Settings_WriteKeepingOthers(mine, written, path), kFileOk);
  EXPECT_EQ(ReadBytes(path),
            "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=1\nEnchaine=0\nRegister=0\n"
            "Wkqm=-1,-1\nWcmd=-1,-1\nWlist=-1,-1\nZoom=2\n# my own note\n");
}

TEST(SettingsLocation, PortableFileBesideTheProgramElseTheConfigFolder) {
  ScratchFolder folder;
  const std::string app = folder / "app";
  std::filesystem::create_directories(app);
  ScopedEnv home("HOME", folder / "home");
  {
    ScopedEnv config("XDG_CONFIG_HOME", folder / "config");
    EXPECT_EQ(SettingsFilePath(app), folder / "config/tarvel/viewkqm.ini");
    // The first write creates the folder.
    ASSERT_EQ(Settings_Write(ViewerSettings{}, SettingsFilePath(app)), kFileOk);
    EXPECT_EQ(ReadBytes(folder / "config/tarvel/viewkqm.ini"), kDefaultFile);
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    // A home folder that does not exist is not made for the settings.
    EXPECT_EQ(SettingsFilePath(app), "");
    EXPECT_EQ(MissingHomeReason(), "the home folder " + (folder / "home") + " does not exist");
    std::filesystem::create_directories(folder / "home");
    EXPECT_EQ(SettingsFilePath(app), folder / "home/.config/tarvel/viewkqm.ini");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", "relative/config");  // ignored: not absolute
    EXPECT_EQ(SettingsFilePath(app), folder / "home/.config/tarvel/viewkqm.ini");
    WriteBytes(app + "/viewkqm.ini", "AutoPlay=0\n");
    EXPECT_EQ(SettingsFilePath(app), app + "/viewkqm.ini");
  }
  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(SettingsFilePath(""), folder / "home/.config/tarvel/viewkqm.ini");
  // A relative home folder names no folder of its own: the current one is not the user's home.
  ScopedEnv relative_home("HOME", ".");
  EXPECT_EQ(SettingsFilePath(""), "");
  EXPECT_EQ(MissingHomeReason(), "the home folder . is not an absolute path");
}

TEST(SettingsRules, PlacementApplyAndOptions) {
  EXPECT_FALSE(PlacementOf({0, 50}));  // "Wcmd=0,50": the program places the window
  EXPECT_TRUE(PlacementOf({1, -300}));

  // Opening Options: Full Screen shows the setting; the working copies go into the settings.
  ViewerSettings s;
  s.FullScreen = 1;
  s.AutoPlay = 0;
  OptionsChecks checks = Options_Open(s, /*muted=*/true, /*auto_play=*/true,
                                      /*free_windows=*/false, /*chain_movies=*/false);
  EXPECT_TRUE(checks.no_sound && checks.auto_play && checks.full_screen);
  EXPECT_FALSE(checks.free_windows || checks.link_next);
  Options_Check(s, kOptionLinkNext, true);
  Options_Check(s, kOptionFreeWindows, true);
  Options_Check(s, kOptionNoSound, false);
  Options_Check(s, 1, true);  // OK is not a check box
  EXPECT_EQ(Settings_Format(s),
            "AutoPlay=1\nFullScreen=1\nFenetreLibre=1\nNoSound=0\nEnchaine=1\nRegister=0\n"
            "Wkqm=-1,-1\nWcmd=-1,-1\nWlist=-1,-1\n");

  ApplyPlan stopped = Settings_PlanApply(s, /*muted=*/true, /*full_screen=*/false, false);
  EXPECT_TRUE(stopped.click_sound_on_off);
  EXPECT_FALSE(stopped.click_full_screen);  // only while playing
  EXPECT_TRUE(stopped.auto_play && stopped.free_windows && stopped.chain_movies);
  EXPECT_TRUE(Settings_PlanApply(s, false, false, true).click_full_screen);
  EXPECT_FALSE(Settings_PlanApply(s, false, true, true).click_full_screen);
}

}  // namespace
}  // namespace tarvel
