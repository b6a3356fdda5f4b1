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

std::string ExpectedDesktopEntry(const std::string& exec) {
  return "[Desktop Entry]\nType=Application\nName=Tarvel\nGenericName=Movie Player\n"
         "Comment=Play KQM movies\nExec=" +
         exec +
         " %f\nIcon=tarvel\nTerminal=false\nMimeType=video/x-kqm;\n"
         "Categories=AudioVideo;Video;Player;\n";
}

TEST(DesktopRegistration, FilesInTheHomeDataFolderWithoutTheTools) {
  ScratchFolder scratch;
  std::filesystem::create_directories(scratch / "empty-bin");
  ScopedEnv home("HOME", scratch / "home");
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  ScopedEnv path("PATH", scratch / "empty-bin");

  DesktopRegistration input;
  input.executable_path = "/opt/tarvel/bin/tarvel";
  input.icon_png = std::string("\x89PNG\r\n\x1a\n\0\0icon", 14);
  input.icon_size = 64;
  DesktopRegistrationResult r = RegisterForCurrentUser(input);
  ASSERT_EQ(r.result, kAssociationOk) << r.problem;
  const std::string share = scratch / "home/.local/share";
  EXPECT_EQ(r.data_folder, share);
  EXPECT_EQ(ReadBytes(share + "/mime/packages/tarvel-kqm.xml"), kExpectedMimePackage);
  EXPECT_EQ(ReadBytes(share + "/applications/tarvel.desktop"),
            ExpectedDesktopEntry("/opt/tarvel/bin/tarvel"));
  EXPECT_EQ(ReadBytes(share + "/icons/hicolor/64x64/apps/tarvel.png"), input.icon_png);
  ASSERT_EQ(r.tools.size(), 3u);
  for (const ToolRun& tool : r.tools) EXPECT_EQ(tool.status, kToolAbsent) << tool.name;
}

TEST(DesktopRegistration, ToolsOnThePathRunInOrderWithTheirArguments) {
  ScratchFolder scratch;
  const std::string bin = scratch / "bin";
  const std::string log = scratch / "tools.log";
  for (const char* tool : {"update-mime-database", "update-desktop-database", "xdg-mime"}) {
    // Each fake tool appends its name and bracketed arguments to the log; xdg-mime fails.
    WriteBytes(bin + "/" + tool, "#!/bin/sh\nprintf '%s' \"${0##*/}\" >> '" + log +
                                     "'\nfor a in \"$@\"; do printf ' [%s]' \"$a\" >> '" + log +
                                     "'; done\necho >> '" + log + "'\n" +
                                     (std::string(tool) == "xdg-mime" ? "exit 3\n" : "exit 0\n"));
    ::chmod((bin + "/" + tool).c_str(), 0755);
  }
  ScopedEnv home("HOME", scratch / "home");
  ScopedEnv data("XDG_DATA_HOME", scratch / "data");
  ScopedEnv path("PATH", ":relative-bin:" + bin);

  DesktopRegistration input;
  input.executable_path = "/opt/My Apps/tar$vel";
  DesktopRegistrationResult r = RegisterForCurrentUser(input);
  ASSERT_EQ(r.result, kAssociationOk) << r.problem;
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

TEST(DesktopRegistration, PathsThatCannotBeRegisteredAndFailedWrites) {
  std::string entry;
  EXPECT_TRUE(DesktopEntry("/opt/100%/tarvel", entry));
  EXPECT_NE(entry.find("\nExec=/opt/100%%/tarvel %f\n"), std::string::npos);
  EXPECT_TRUE(DesktopEntry("/opt/caf\xc3\xa9/tarvel", entry));
  EXPECT_FALSE(DesktopEntry("/opt/a\nb/tarvel", entry));
  EXPECT_FALSE(DesktopEntry("/opt/\xff/tarvel", entry));
  EXPECT_FALSE(DesktopEntry("/opt/\xc0\xaf/tarvel", entry));  // overlong "/"
  EXPECT_FALSE(DesktopEntry("tarvel", entry));
  EXPECT_FALSE(DesktopEntry("", entry));

  ScratchFolder scratch;
  WriteBytes(scratch / "file", "x");
  ScopedEnv data("XDG_DATA_HOME", scratch / "file/share");
  ScopedEnv path("PATH", scratch.path());
  DesktopRegistration input;
  input.executable_path = "/usr/bin/tarvel";
  DesktopRegistrationResult r = RegisterForCurrentUser(input);
  EXPECT_EQ(r.result, kAssociationWriteFailed);
  EXPECT_NE(r.problem.find(scratch / "file/share/mime/packages/tarvel-kqm.xml"), std::string::npos);
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
}

}  // namespace
}  // namespace tarvel
