// Associating the movie extensions with the player: the question asked once at start-up and
// recorded by the "Register" setting, the registry script a Windows build imports, and the
// per-user registration on Linux desktops (a shared-mime-info package, a desktop entry and an
// icon, then the desktop's database tools).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"
#include "ui/logic/viewer_settings.h"

namespace tarvel {

// The question, asked without an owner window, with Yes and No buttons and a question icon.
inline constexpr char kAssociationQuestion[] = "Voulez-vous associer vos fichiers Kqm au viewer ?";
inline constexpr char kAssociationCaption[] = "Tarvel";

enum class AssociationAnswer { kYes, kNo };

// Asks the question (text, caption) and returns the answer. The player shows a message box;
// tests and unattended runs answer directly.
using AssociationQuestion =
    std::function<AssociationAnswer(std::string_view text, std::string_view caption)>;

// Writes the association; returns kAssociationOk or the failure (see below).
using AssociationWriter = std::function<int()>;

// Results of writing an association.
inline constexpr int kAssociationOk = 0;
inline constexpr int kAssociationWriteFailed = 1;  // a file could not be written
inline constexpr int kAssociationBadInput =
    2;  // the program path or icon size cannot go into the files
inline constexpr int kAssociationNotDefault = 3;  // xdg-mime default failed

// What the offer came to.
inline constexpr int kOfferNotAsked = 0;     // Register was set, or asking is switched off
inline constexpr int kOfferDeclined = 1;     // any answer but Yes; Register is set
inline constexpr int kOfferRegistered = 2;   // Yes, and the files were written; Register is set
inline constexpr int kOfferWriteFailed = 3;  // Yes, but writing failed; Register stays clear

// Offers file association once: nothing when Register is set or `ask_allowed` is false (the
// player's --no-associate); otherwise asks, and records in Register that the question was dealt
// with: after No, and after Yes when `write` succeeded. A failed write leaves Register clear so
// the question comes again at the next start. The settings file is written later by the caller.
int OfferFileAssociation(ViewerSettings& settings, bool ask_allowed, const AssociationQuestion& ask,
                         const AssociationWriter& write);

// --- The registry script of a Windows build ---

// The program folder with every backslash doubled, as a registry script's string values need.
std::string EscapeRegistryString(std::string_view program_directory);

// The 27 lines of the script for `program_directory` (a Windows folder without a trailing
// backslash), each ending in "\n" as written to a text-mode stream.
std::string RegistryScript(std::string_view program_directory);

// The script's path: the program folder, a backslash, "viewkqm.reg".
std::string RegistryScriptPath(std::string_view program_directory);

// The command that imports the script silently: regedit.exe -s "<folder>\viewkqm.reg".
std::string RegistryImportCommand(std::string_view program_directory);

// --- Per-user registration on Linux desktops ---

inline constexpr char kMovieMimeType[] = "video/x-kqm";
inline constexpr char kDesktopFileName[] = "tarvel.desktop";
inline constexpr char kMimePackageFileName[] = "tarvel-kqm.xml";
inline constexpr char kIconName[] = "tarvel";

// The shared-mime-info package: type video/x-kqm for *.kqm and *.kqs in both letter cases.
std::string MimePackageXml();

// The per-user desktop entry: the installed one with its Exec line naming `executable_path`
// (and no TryExec), marked as written by a registration. When `build_tree` is not empty (the
// player runs from that build folder) its name and comment say so. Fails (returns false) when
// a path cannot be written into the entry (empty or relative, not UTF-8, or holding control
// characters).
bool DesktopEntry(std::string_view executable_path, std::string_view build_tree, std::string& out);

// The line that marks a desktop entry as written by a per-user registration.
inline constexpr char kPerUserEntryMark[] = "X-Tarvel-Per-User=true";

// The files of a registration, relative to the data folder ($XDG_DATA_HOME, by default
// ~/.local/share).
std::string MimePackageRelativePath();   // mime/packages/tarvel-kqm.xml
std::string DesktopEntryRelativePath();  // applications/tarvel.desktop

// The build folder (the nearest folder above the executable, at most four levels up, that
// holds a CMakeCache.txt) the executable was built in; empty when it is not in one.
std::string BuildTreeOf(std::string_view executable_path);

// The data folders the desktop searches, the user's first: $XDG_DATA_HOME (by default
// ~/.local/share), then those of $XDG_DATA_DIRS (by default /usr/local/share and /usr/share).
std::vector<std::string> DesktopDataFolders();

// The installed data folder (<prefix>/share) of a player installed at <prefix>/bin/tarvel whose
// desktop entry the desktop finds and can start: <prefix>/share/applications/tarvel.desktop
// exists, <prefix>/share is one of `data_folders`, and "tarvel" on `path_variable` is this
// executable. Empty otherwise.
std::string InstalledDataFolder(std::string_view executable_path,
                                const std::vector<std::string>& data_folders,
                                std::string_view path_variable);

struct IconFile {
  std::string theme_path;  // inside the hicolor theme: "64x64/apps/tarvel.png"
  std::string bytes;
};

struct DesktopRegistration {
  std::string executable_path;  // the running player (RunningExecutablePath())
  std::vector<IconFile> icons;  // written for a per-user registration
  std::chrono::milliseconds tool_timeout{30000};
};

struct DesktopRegistrationResult {
  int result = kAssociationOk;
  std::string problem;         // one line naming the file and the problem, when result is not ok
  std::string summary;         // one line saying what movie files now open with
  std::string data_folder;     // where the desktop finds the entry
  bool installed = false;      // the installed entry was made the default
  std::vector<ToolRun> tools;  // update-mime-database, update-desktop-database, xdg-mime
};

// Registers the player as the application for movie files.
//
// Installed (InstalledDataFolder finds it): the installed desktop entry becomes the default for
// video/x-kqm. A per-user entry that an earlier registration wrote (it carries the mark) would
// hide it and is removed; the installed data folder's databases are brought up to date when the
// user can write there (an installation into a prefix of one's own).
//
// Otherwise (a build folder, a portable copy): the MIME package, a desktop entry naming this
// executable and the icons are written under the user's data folder (each file replaced
// crash-safely); the entry says when it points into a build folder.
//
// Then update-mime-database, update-desktop-database and xdg-mime default tarvel.desktop
// video/x-kqm run, the database tools skipped when they are not on PATH. A failure of the
// database tools does not fail the registration (the files are in place and the desktop picks
// them up at its next scan); one of xdg-mime, or its absence, does (kAssociationNotDefault):
// the player was not made the default.
DesktopRegistrationResult RegisterForCurrentUser(const DesktopRegistration& registration);

// What went wrong with a tool run ("xdg-mime ended with status 3"); empty when it ran well or
// was not on PATH.
std::string ToolProblem(const ToolRun& run);

// Registers without asking (the player's --associate and the Options dialog): records in
// Register that the question was dealt with when `write` succeeds. Returns kOfferRegistered or
// kOfferWriteFailed.
int AssociateWithoutAsking(ViewerSettings& settings, const AssociationWriter& write);

}  // namespace tarvel
