#include "ui/logic/file_association.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/user_files.h"
#include "support/scratch.h"

namespace tarvel {
namespace {

using test::ReadBytes;
using test::ScopedEnv;
using test::ScratchFolder;
using test::WriteBytes;

// The script for C:\Tools\Player, one registry line per entry, as the registry editor reads it.
const std::vector<std::string> kToolsPlayerScript = {
    R"(REGEDIT4)",
    R"([HKEY_CLASSES_ROOT\.kqm])",
    R"(@="kqm_auto_file")",
    R"([HKEY_CLASSES_ROOT\.kqs])",
    R"(@="kqm_auto_file")",
    R"([HKEY_CLASSES_ROOT\kqm_auto_file])",
    R"(@="fichier KQM")",
    R"([HKEY_CLASSES_ROOT\kqm_auto_file\DefaultIcon])",
    R"(@="C:\\Tools\\Player\\Tarvel.exe,0")",
    R"([HKEY_CLASSES_ROOT\kqm_auto_file\shell])",
    R"([HKEY_CLASSES_ROOT\kqm_auto_file\shell\open])",
    R"(@="")",
    R"([HKEY_CLASSES_ROOT\kqm_auto_file\shell\open\command])",
    R"(@="C:\\Tools\\Player\\Tarvel.exe %1")",
    R"([HKEY_LOCAL_MACHINE\Software\CLASSES\kqm_auto_file])",
    R"(@="fichier KQM")",
    R"([HKEY_LOCAL_MACHINE\Software\CLASSES\kqm_auto_file\DefaultIcon])",
    R"(@="C:\\Tools\\Player\\Tarvel.exe,0")",
    R"([HKEY_LOCAL_MACHINE\Software\CLASSES\kqm_auto_file\shell])",
    R"([HKEY_LOCAL_MACHINE\Software\CLASSES\kqm_auto_file\shell\open])",
    R"(@="")",
    R"([HKEY_LOCAL_MACHINE\Software\CLASSES\kqm_auto_file\shell\open\command])",
    R"(@="C:\\Tools\\Player\\Tarvel.exe %1")",
    R"([HKEY_LOCAL_MACHINE\Software\CLASSES\.kqm])",
    R"(@="kqm_auto_file")",
    R"([HKEY_LOCAL_MACHINE\Software\CLASSES\.kqs])",
    R"(@="kqm_auto_file")",
};

TEST(RegistryScript, ToolsPlayerByteForByte) {
  ASSERT_EQ(kToolsPlayerScript.size(), 27u);
  std::string expected;
  for (const std::string& line : kToolsPlayerScript) expected += line + "\n";
  EXPECT_EQ(RegistryScript(R"(C:\Tools\Player)"), expected);
  EXPECT_EQ(EscapeRegistryString(R"(C:\Tools\Player)"), R"(C:\\Tools\\Player)");
  EXPECT_EQ(RegistryScriptPath(R"(C:\Tools\Player)"), R"(C:\Tools\Player\viewkqm.reg)");
  EXPECT_EQ(RegistryImportCommand(R"(C:\Tools\Player)"),
            R"(regedit.exe -s "C:\Tools\Player\viewkqm.reg")");
  // An empty folder gives an empty escaped folder.
  std::string empty = RegistryScript("");
  EXPECT_NE(empty.find("\n"
                       R"(@="\\Tarvel.exe,0")"
                       "\n"),
            std::string::npos);
  EXPECT_EQ(std::count(empty.begin(), empty.end(), '\n'), 27);
}

struct QuestionLog {
  int asked = 0;
  int writes = 0;
};

TEST(AssociationOffer, RegisterRecordsThatTheQuestionWasDealtWith) {
  QuestionLog log;
  auto answer = [&log](AssociationAnswer a) {
    return [&log, a](std::string_view text, std::string_view caption) {
      EXPECT_EQ(text, "Voulez-vous associer vos fichiers Kqm au viewer ?");
      EXPECT_EQ(caption, "Tarvel");
      ++log.asked;
      return a;
    };
  };
  auto writer = [&log](int result) {
    return [&log, result] {
      ++log.writes;
      return result;
    };
  };

  ViewerSettings s;
  EXPECT_EQ(OfferFileAssociation(s, true, answer(AssociationAnswer::kNo), writer(kAssociationOk)),
            kOfferDeclined);
  EXPECT_EQ(s.Register, 1);
  EXPECT_EQ(log.writes, 0);
  // Asked once: with Register set, nothing happens.
  EXPECT_EQ(OfferFileAssociation(s, true, answer(AssociationAnswer::kYes), writer(kAssociationOk)),
            kOfferNotAsked);
  EXPECT_EQ(log.asked, 1);

  ViewerSettings failed;
  EXPECT_EQ(OfferFileAssociation(failed, true, answer(AssociationAnswer::kYes),
                                 writer(kAssociationWriteFailed)),
            kOfferWriteFailed);
  EXPECT_EQ(failed.Register, 0);

  ViewerSettings yes;
  EXPECT_EQ(
      OfferFileAssociation(yes, true, answer(AssociationAnswer::kYes), writer(kAssociationOk)),
      kOfferRegistered);
  EXPECT_EQ(yes.Register, 1);
  EXPECT_EQ(log.asked, 3);
  EXPECT_EQ(log.writes, 2);

  // --no-associate: not asked, and asked again at a later start.
  ViewerSettings quiet;
  EXPECT_EQ(
      OfferFileAssociation(quiet, false, answer(AssociationAnswer::kYes), writer(kAssociationOk)),
      kOfferNotAsked);
  EXPECT_EQ(quiet.Register, 0);
  EXPECT_EQ(log.asked, 3);
}

const char kExpectedMimePackage[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">
  <mime-type type="video/x-kqm">
    <comment>KQM movie</comment>
    <glob pattern="*.kqm"/>
    <glob pattern="*.kqs"/>
    <glob pattern="*.KQM"/>
    <glob pattern="*.KQS"/>
  </mime-type>
</mime-info>
)";

// The per-user entry: the installed entry's lines with the executable's Exec and no TryExec.
std::string ExpectedDesktopEntry(const std::string& exec, const std::string& name = "Tarvel",
                                 const std::string& comment = "Play KQM movies") {
  return "[Desktop Entry]\nType=Application\nName=" + name +
         "\nGenericName=Movie Player\nComment=" + comment + "\nIcon=tarvel\nExec=" + exec +
         " %F\nTerminal=false\nMimeType=video/x-kqm;\nCategories=AudioVideo;Video;Player;\n"
         "Keywords=movie;video;player;kqm;kqs;\nX-Tarvel-Per-User=true\n";
}

// The Exec line's word for a program in the scratch folder, whose name comes from TMPDIR and
// may hold a space: desktop entry rules quote a word holding a reserved character, escape '"',
// '`', '$' and '\' inside the quotes, and the file then doubles every backslash.
std::string ExecWord(const std::string& path) {
  if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) return path;
  std::string word = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$') word += "\\\\";
    if (c == '\\') word += "\\\\\\";
    word += c;
  }
  return word + '"';
}

// Fake desktop tools that append their name and bracketed arguments to `log`.
void FakeTools(const std::string& bin, const std::string& log, int xdg_mime_status = 0) {
  for (const char* tool : {"update-mime-database", "update-desktop-database", "xdg-mime"}) {
    WriteBytes(bin + "/" + tool,
               "#!/bin/sh\nprintf '%s' \"${0##*/}\" >> '" + log +
                   "'\nfor a in \"$@\"; do printf ' [%s]' \"$a\" >> '" + log +
                   "'; done\necho >> '" + log + "'\nexit " +
                   std::to_string(std::string(tool) == "xdg-mime" ? xdg_mime_status : 0) + "\n");
    ::chmod((bin + "/" + tool).c_str(), 0755);
  }
}

TEST(DesktopRegistration, FilesInTheHomeDataFolderWithoutTheTools) {
  ScratchFolder scratch;
  std::filesystem::create_directories(scratch / "empty-bin");
  std::filesystem::create_directories(scratch / "home");
  ScopedEnv home("HOME", scratch / "home");
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  ScopedEnv path("PATH", scratch / "empty-bin");

  DesktopRegistration input;
  input.executable_path = "/opt/tarvel/bin/tarvel";
  input.icons = {{"64x64/apps/tarvel.png", std::string("\x89PNG\r\n\x1a\n\0\0icon", 14)},
                 {"scalable/apps/tarvel.svg", "<svg/>"}};
  DesktopRegistrationResult r = RegisterForCurrentUser(input);
  // The files are written, but without xdg-mime nothing makes the player the default.
  EXPECT_EQ(r.result, kAssociationNotDefault);
  EXPECT_EQ(r.problem, "xdg-mime was not found on PATH (it comes with xdg-utils)");
  // What the player says where xdg-mime runs.
  EXPECT_EQ(r.summary, "movie files open with /opt/tarvel/bin/tarvel");
  const std::string share = scratch / "home/.local/share";
  EXPECT_EQ(r.data_folder, share);
  EXPECT_FALSE(r.installed);
  EXPECT_EQ(ReadBytes(share + "/mime/packages/tarvel-kqm.xml"), kExpectedMimePackage);
  EXPECT_EQ(ReadBytes(share + "/applications/tarvel.desktop"),
            ExpectedDesktopEntry("/opt/tarvel/bin/tarvel"));
  EXPECT_EQ(ReadBytes(share + "/icons/hicolor/64x64/apps/tarvel.png"), input.icons[0].bytes);
  EXPECT_EQ(ReadBytes(share + "/icons/hicolor/scalable/apps/tarvel.svg"), "<svg/>");
  ASSERT_EQ(r.tools.size(), 3u);
  for (const ToolRun& tool : r.tools) EXPECT_EQ(tool.status, kToolAbsent) << tool.name;
}

TEST(DesktopRegistration, ToolsOnThePathRunInOrderWithTheirArguments) {
  ScratchFolder scratch;
  const std::string bin = scratch / "bin";
  const std::string log = scratch / "tools.log";
  FakeTools(bin, log, 3);
  std::filesystem::create_directories(scratch / "home");
  ScopedEnv home("HOME", scratch / "home");
  ScopedEnv data("XDG_DATA_HOME", scratch / "data");
  ScopedEnv path("PATH", ":relative-bin:" + bin);

  DesktopRegistration input;
  input.executable_path = "/opt/My Apps/tar$vel";
  DesktopRegistrationResult r = RegisterForCurrentUser(input);
  // The files are written, but the player was not made the default: a failure.
  EXPECT_EQ(r.result, kAssociationNotDefault);
  EXPECT_EQ(r.problem, "xdg-mime ended with status 3");
  const std::string data_folder = scratch / "data";
  EXPECT_EQ(ReadBytes(log), "update-mime-database [" + data_folder +
                                "/mime]\nupdate-desktop-database [" + data_folder +
                                "/applications]\nxdg-mime [default] [tarvel.desktop] "
                                "[video/x-kqm]\n");
  ASSERT_EQ(r.tools.size(), 3u);
  EXPECT_EQ(r.tools[0].status, kToolRan);
  EXPECT_EQ(r.tools[0].exit_code, 0);
  EXPECT_EQ(r.tools[2].name, "xdg-mime");
  EXPECT_EQ(r.tools[2].exit_code, 3);
  // A quoted Exec argument with its "$" escaped, the backslash then doubled for the file.
  EXPECT_EQ(ReadBytes(data_folder + "/applications/tarvel.desktop"),
            ExpectedDesktopEntry(R"("/opt/My Apps/tar\\$vel")"));
  EXPECT_FALSE(std::filesystem::exists(data_folder + "/icons"));  // no icon given
}

// Base folders given relative, which the player ignores, reach the tools as the folders the
// player used, so that none writes under the current folder.
TEST(DesktopRegistration, ToolsAreToldTheBaseFoldersUsed) {
  ScratchFolder scratch;
  const std::string log = scratch / "env.log";
  WriteBytes(scratch / "bin/xdg-mime",
             "#!/bin/sh\necho \"$XDG_CONFIG_HOME $XDG_DATA_HOME\" > '" + log + "'\n");
  ::chmod((scratch / "bin/xdg-mime").c_str(), 0755);
  std::filesystem::create_directories(scratch / "home");
  ScopedEnv home("HOME", scratch / "home");
  ScopedEnv config("XDG_CONFIG_HOME", "config");
  ScopedEnv data("XDG_DATA_HOME", "data");
  ScopedEnv path("PATH", scratch / "bin");

  DesktopRegistration input;
  input.executable_path = "/opt/tarvel/bin/tarvel";
  ASSERT_EQ(RegisterForCurrentUser(input).result, kAssociationOk);
  EXPECT_EQ(ReadBytes(log), scratch / "home/.config " + (scratch / "home/.local/share\n"));
}

// From a build folder the entry says where it points; run from an installation that the
// desktop finds, the installed entry becomes the default and nothing is written for the user.
TEST(DesktopRegistration, BuildTreeEntryAndInstalledEntry) {
  ScratchFolder scratch;
  const std::string log = scratch / "tools.log";
  FakeTools(scratch / "tools", log);
  std::filesystem::create_directories(scratch / "home");
  ScopedEnv home("HOME", scratch / "home");
  ScopedEnv data("XDG_DATA_HOME", scratch / "data");
  const std::string user_entry = scratch / "data/applications/tarvel.desktop";

  const std::string tree = scratch / "src/build";
  WriteBytes(tree + "/CMakeCache.txt", "");
  const std::string built = tree + "/src/ui/tarvel";
  EXPECT_EQ(BuildTreeOf(built), tree);
  EXPECT_EQ(BuildTreeOf(scratch / "src/other/tarvel"), "");
  DesktopRegistration input;
  input.executable_path = built;
  {
    ScopedEnv path("PATH", scratch / "tools");
    DesktopRegistrationResult r = RegisterForCurrentUser(input);
    ASSERT_EQ(r.result, kAssociationOk) << r.problem;
    EXPECT_EQ(ReadBytes(user_entry), ExpectedDesktopEntry(ExecWord(built), "Tarvel (build tree)",
                                                          "Play KQM movies with the player "
                                                          "built in " +
                                                              tree));
    EXPECT_EQ(r.summary, "movie files open with the player in the build tree " + tree +
                             " (deleting that folder breaks the association)");
  }

  // An installation into a prefix of one's own.
  const std::string prefix = scratch / "prefix";
  const std::string installed = prefix + "/bin/tarvel";
  WriteBytes(installed, "#!/bin/sh\n");
  ::chmod(installed.c_str(), 0755);
  WriteBytes(prefix + "/share/applications/tarvel.desktop", "[Desktop Entry]\n");
  std::filesystem::create_directories(prefix + "/share/mime");
  input.executable_path = installed;
  ScopedEnv path("PATH", prefix + "/bin:" + (scratch / "tools"));
  {
    // Its share folder is not one the desktop searches: registered like a portable copy.
    ScopedEnv dirs("XDG_DATA_DIRS", scratch / "elsewhere");
    EXPECT_EQ(InstalledDataFolder(installed, DesktopDataFolders(), prefix + "/bin"), "");
    DesktopRegistrationResult r = RegisterForCurrentUser(input);
    EXPECT_FALSE(r.installed);
    EXPECT_EQ(ReadBytes(user_entry), ExpectedDesktopEntry(ExecWord(installed)));
  }
  ScopedEnv dirs("XDG_DATA_DIRS", prefix + "/share:/usr/share");
  EXPECT_EQ(InstalledDataFolder(installed, DesktopDataFolders(), "/usr/bin"), "");  // not on PATH
  std::filesystem::remove(log);
  DesktopRegistrationResult r = RegisterForCurrentUser(input);
  ASSERT_EQ(r.result, kAssociationOk) << r.problem;
  EXPECT_TRUE(r.installed);
  EXPECT_EQ(r.data_folder, prefix + "/share");
  EXPECT_EQ(r.summary, "movie files open with the installed player (" + prefix +
                           "/share/applications/tarvel.desktop)");
  // The earlier per-user entry would hide the installed one: it is gone.
  EXPECT_FALSE(std::filesystem::exists(user_entry));
  const std::string user_data = scratch / "data";
  // The prefix is the user's: its databases are brought up to date.
  EXPECT_EQ(ReadBytes(log), "update-mime-database [" + prefix +
                                "/share/mime]\nupdate-desktop-database [" + prefix +
                                "/share/applications]\nupdate-desktop-database [" + user_data +
                                "/applications]\nxdg-mime [default] [tarvel.desktop] "
                                "[video/x-kqm]\n");

  // An entry the user wrote (without the mark) stays.
  WriteBytes(user_entry, "[Desktop Entry]\nName=Mine\n");
  EXPECT_EQ(RegisterForCurrentUser(input).result, kAssociationOk);
  EXPECT_EQ(ReadBytes(user_entry), "[Desktop Entry]\nName=Mine\n");

  // Installed into the user's own data folder, where a registration from the build tree wrote
  // its entry over the installed one: the installed entry is put back, not said to be there.
  ScopedEnv own_data("XDG_DATA_HOME", prefix + "/share");
  input.executable_path = built;
  ASSERT_EQ(RegisterForCurrentUser(input).result, kAssociationOk);
  input.executable_path = installed;
  r = RegisterForCurrentUser(input);
  ASSERT_EQ(r.result, kAssociationOk) << r.problem;
  EXPECT_TRUE(r.installed);
  const std::string restored = ReadBytes(prefix + "/share/applications/tarvel.desktop");
  EXPECT_NE(restored.find("\nName=Tarvel\n"), std::string::npos) << restored;
  EXPECT_NE(restored.find("\nExec=tarvel %F\n"), std::string::npos) << restored;
  EXPECT_EQ(restored.find(kPerUserEntryMark), std::string::npos) << restored;
}

TEST(DesktopRegistration, PathsThatCannotBeRegisteredAndFailedWrites) {
  std::string entry;
  EXPECT_TRUE(DesktopEntry("/opt/100%/tarvel", "", entry));
  EXPECT_NE(entry.find("\nExec=/opt/100%%/tarvel %F\n"), std::string::npos);
  EXPECT_TRUE(DesktopEntry("/opt/caf\xc3\xa9/tarvel", "", entry));
  EXPECT_FALSE(DesktopEntry("/opt/a\nb/tarvel", "", entry));
  EXPECT_FALSE(DesktopEntry("/opt/\xff/tarvel", "", entry));
  EXPECT_FALSE(DesktopEntry("/opt/\xc0\xaf/tarvel", "", entry));  // overlong "/"
  EXPECT_FALSE(DesktopEntry("tarvel", "", entry));
  EXPECT_FALSE(DesktopEntry("", "", entry));
  // A build folder's backslash is doubled in the comment, as string values want.
  EXPECT_TRUE(DesktopEntry("/b\\x/tarvel", "/b\\x", entry));
  EXPECT_NE(entry.find("\nComment=Play KQM movies with the player built in /b\\\\x\n"),
            std::string::npos);

  ScratchFolder scratch;
  WriteBytes(scratch / "file", "x");
  ScopedEnv data("XDG_DATA_HOME", scratch / "file/share");
  ScopedEnv path("PATH", scratch.path());
  DesktopRegistration input;
  input.executable_path = "/usr/bin/tarvel";
  DesktopRegistrationResult r = RegisterForCurrentUser(input);
  EXPECT_EQ(r.result, kAssociationWriteFailed);
  EXPECT_EQ(r.problem, (scratch / "file/share/mime/packages/tarvel-kqm.xml") +
                           ": cannot be written: a file is in the way");
  EXPECT_TRUE(r.tools.empty());

  // A failed write answers Yes without setting Register.
  ViewerSettings s;
  int offer = OfferFileAssociation(
      s, true, [](std::string_view, std::string_view) { return AssociationAnswer::kYes; },
      [&input] { return RegisterForCurrentUser(input).result; });
  EXPECT_EQ(offer, kOfferWriteFailed);
  EXPECT_EQ(s.Register, 0);
  input.executable_path = "relative/tarvel";
  EXPECT_EQ(RegisterForCurrentUser(input).result, kAssociationBadInput);
  // Written as "%%", such a path is not found by the desktop: refused, nothing written.
  input.executable_path = "/opt/100%/tarvel";
  r = RegisterForCurrentUser(input);
  EXPECT_EQ(r.result, kAssociationBadInput);
  EXPECT_EQ(r.problem,
            "/opt/100%/tarvel: desktops do not start a program whose path holds a '%'; move the "
            "player to a folder without one");
  EXPECT_TRUE(r.tools.empty());

  // A missing home folder is not made, not even by xdg-mime for the default it keeps.
  FakeTools(scratch / "tools", scratch / "tools.log");
  ScopedEnv tools("PATH", scratch / "tools");
  ScopedEnv home("HOME", scratch / "none");
  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv other_data("XDG_DATA_HOME", scratch / "data");
  input.executable_path = "/usr/bin/tarvel";
  r = RegisterForCurrentUser(input);
  EXPECT_EQ(r.result, kAssociationWriteFailed);
  EXPECT_EQ(r.problem,
            "$XDG_CONFIG_HOME: no configuration folder (it is not set, and the home "
            "folder " +
                (scratch / "none") + " does not exist)");
  EXPECT_FALSE(std::filesystem::exists(scratch / "none"));
}

}  // namespace
}  // namespace tarvel
