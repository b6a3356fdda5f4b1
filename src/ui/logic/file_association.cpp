#include "ui/logic/file_association.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <utility>

#include "platform/user_files.h"
#include "platform/utf8.h"
#include "ui/logic/desktop_files.h"

namespace tarvel {
namespace {

// The program path's registry form, as the script names the executable.
std::string ExecutableValue(std::string_view escaped_folder, std::string_view suffix) {
  return "@=\"" + std::string(escaped_folder) + "\\\\Tarvel.exe" + std::string(suffix) + "\"\n";
}

// True for well-formed UTF-8 without control characters.
bool IsPrintableUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8_SequenceLength(text, i);
    if (length == 0 || Utf8_IsControl(text, i)) return false;
    i += length;
  }
  return true;
}

// Every backslash doubled, as registry scripts and desktop entries write string values.
std::string DoubleBackslashes(std::string_view text) {
  std::string value;
  for (char c : text) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

// One Exec argument: quoted when it holds a character the Exec line reserves, with '"', '`',
// '$' and '\' escaped inside the quotes; '%' doubled; and finally every backslash doubled,
// because a desktop entry's string values are unescaped before the Exec line is split.
std::string ExecArgument(std::string_view argument) {
  static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  bool quote = argument.find_first_of(kReserved) != std::string_view::npos;
  std::string exec;
  if (quote) exec += '"';
  for (char c : argument) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) exec += '\\';
    if (c == '%') exec += '%';
    exec += c;
  }
  if (quote) exec += '"';
  return DoubleBackslashes(exec);
}

// Sets the value of the entry's line `key`=..., or removes the line (nullopt).
void SetEntryValue(std::string& entry, std::string_view key,
                   const std::optional<std::string>& value) {
  // Built by appending: GCC 12 at -O3 takes "\n" + std::string(...) for an overlapping copy.
  std::string start = "\n";
  start.append(key).append("=");
  const std::size_t at = entry.find(start);
  if (at == std::string::npos) return;
  const std::size_t end = entry.find('\n', at + 1);
  const std::string line = value ? start + *value : std::string();
  entry.replace(at, (end == std::string::npos ? entry.size() : end) - at, line);
}

}  // namespace

int OfferFileAssociation(ViewerSettings& settings, bool ask_allowed, const AssociationQuestion& ask,
                         const AssociationWriter& write) {
  if (settings.Register != 0 || !ask_allowed || !ask) return kOfferNotAsked;
  if (ask(kAssociationQuestion, kAssociationCaption) != AssociationAnswer::kYes) {
    settings.Register = 1;
    return kOfferDeclined;
  }
  if (!write || write() != kAssociationOk) return kOfferWriteFailed;
  settings.Register = 1;
  return kOfferRegistered;
}

std::string EscapeRegistryString(std::string_view program_directory) {
  return DoubleBackslashes(program_directory);
}

std::string RegistryScript(std::string_view program_directory) {
  const std::string d = EscapeRegistryString(program_directory);
  const std::string classes = "[HKEY_CLASSES_ROOT\\";
  const std::string machine = "[HKEY_LOCAL_MACHINE\\Software\\CLASSES\\";
  const std::string type_value = "@=\"kqm_auto_file\"\n";
  const std::string type_name = "@=\"fichier KQM\"\n";
  const std::string empty_value = "@=\"\"\n";
  // The file type's keys, the same under both roots.
  auto type_keys = [&](const std::string& root) {
    return root + "kqm_auto_file]\n" + type_name + root + "kqm_auto_file\\DefaultIcon]\n" +
           ExecutableValue(d, ",0") + root + "kqm_auto_file\\shell]\n" + root +
           "kqm_auto_file\\shell\\open]\n" + empty_value + root +
           "kqm_auto_file\\shell\\open\\command]\n" + ExecutableValue(d, " %1");
  };
  auto extension_keys = [&](const std::string& root) {
    return root + ".kqm]\n" + type_value + root + ".kqs]\n" + type_value;
  };
  return "REGEDIT4\n" + extension_keys(classes) + type_keys(classes) + type_keys(machine) +
         extension_keys(machine);
}

std::string RegistryScriptPath(std::string_view program_directory) {
  return std::string(program_directory) + "\\viewkqm.reg";
}

std::string RegistryImportCommand(std::string_view program_directory) {
  return "regedit.exe -s \"" + RegistryScriptPath(program_directory) + "\"";
}

std::string MimePackageXml() {
  return kInstalledMimePackage;
}

bool DesktopEntry(std::string_view executable_path, std::string_view build_tree, std::string& out) {
  out.clear();
  if (executable_path.empty() || executable_path.front() != '/' ||
      !IsPrintableUtf8(executable_path) || !IsPrintableUtf8(build_tree)) {
    return false;
  }
  out = kInstalledDesktopEntry;
  SetEntryValue(out, "TryExec", std::nullopt);
  SetEntryValue(out, "Exec", ExecArgument(executable_path) + " %F");
  if (!build_tree.empty()) {
    SetEntryValue(out, "Name", "Tarvel (build tree)");
    SetEntryValue(out, "Comment",
                  "Play KQM movies with the player built in " + DoubleBackslashes(build_tree));
  }
  out += kPerUserEntryMark;
  out += '\n';
  return true;
}

std::string MimePackageRelativePath() {
  return std::string("mime/packages/") + kMimePackageFileName;
}

std::string DesktopEntryRelativePath() {
  return std::string("applications/") + kDesktopFileName;
}

std::string BuildTreeOf(std::string_view executable_path) {
  std::string folder = ProgramDirectoryOf(executable_path);
  for (int level = 0; level < 5 && !folder.empty(); ++level) {
    std::error_code error;
    if (std::filesystem::is_regular_file(folder + "/CMakeCache.txt", error)) return folder;
    folder = ProgramDirectoryOf(folder);
  }
  return std::string();
}

std::vector<std::string> DesktopDataFolders() {
  std::vector<std::string> folders;
  const std::string home = XdgBaseDirectory("XDG_DATA_HOME", ".local/share");
  if (!home.empty()) folders.push_back(home);
  const char* variable = std::getenv("XDG_DATA_DIRS");
  const std::string_view dirs = variable != nullptr && *variable != '\0'
                                    ? std::string_view(variable)
                                    : std::string_view("/usr/local/share:/usr/share");
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = std::min(dirs.find(':', start), dirs.size());
    // Relative entries are ignored, as the base-directory rules require.
    if (end > start && dirs[start] == '/') folders.emplace_back(dirs.substr(start, end - start));
    start = end + 1;
  }
  return folders;
}

std::string InstalledDataFolder(std::string_view executable_path,
                                const std::vector<std::string>& data_folders,
                                std::string_view path_variable) {
  const std::string bin = ProgramDirectoryOf(executable_path);
  constexpr std::string_view kBin = "/bin";
  if (bin.size() < kBin.size() || bin.compare(bin.size() - kBin.size(), kBin.size(), kBin) != 0)
    return std::string();
  const std::string share = bin.substr(0, bin.size() - kBin.size()) + "/share";
  std::error_code error;
  if (!std::filesystem::is_regular_file(share + "/" + DesktopEntryRelativePath(), error))
    return std::string();
  const auto same = [&error](std::string_view a, std::string_view b) {
    return std::filesystem::equivalent(a, b, error);
  };
  const bool searched = std::any_of(data_folders.begin(), data_folders.end(),
                                    [&](const std::string& f) { return same(f, share); });
  const std::string on_path = FindOnPath("tarvel", path_variable);
  if (!searched || on_path.empty() || !same(on_path, executable_path)) return std::string();
  return share;
}

namespace {

std::string SearchPath() {
  const char* path_variable = std::getenv("PATH");
  return path_variable != nullptr ? path_variable : "/usr/local/bin:/usr/bin:/bin";
}

// Runs each command (its first word a program looked up on PATH) in turn. The tools are told
// the base folders the player uses: a relative $XDG_CONFIG_HOME or $XDG_DATA_HOME, which the
// player ignores, would be a folder under the current one to them (xdg-mime wrote
// relative/mimeapps.list there, where no desktop reads it).
void RunTools(const std::vector<std::vector<std::string>>& commands,
              std::chrono::milliseconds timeout, std::vector<ToolRun>& runs) {
  const std::string search = SearchPath();
  std::vector<std::string> folders;
  for (const auto& [name, fallback] :
       {std::pair{"XDG_CONFIG_HOME", ".config"}, std::pair{"XDG_DATA_HOME", ".local/share"}}) {
    const std::string folder = XdgBaseDirectory(name, fallback);
    if (!folder.empty()) folders.push_back(std::string(name) + "=" + folder);
  }
  for (const std::vector<std::string>& command : commands) {
    std::string full = FindOnPath(command.front(), search);
    ToolRun run;
    if (full.empty()) {
      run.status = kToolAbsent;
    } else {
      std::vector<std::string> argv = command;
      argv.front() = full;
      run = RunAndWait(argv, timeout, folders);
    }
    run.name = command.front();
    runs.push_back(run);
  }
}

// Runs the tools; xdg-mime, run last, makes the player the default, and its failure is the
// registration's. So is its absence (xdg-utils is only recommended by the package): nothing
// would make the player the default.
void RunToolsAndCheck(const std::vector<std::vector<std::string>>& commands,
                      std::chrono::milliseconds timeout, DesktopRegistrationResult& result) {
  RunTools(commands, timeout, result.tools);
  const ToolRun& last = result.tools.back();
  result.problem = last.status == kToolAbsent
                       ? last.name + " was not found on PATH (it comes with xdg-utils)"
                       : ToolProblem(last);
  if (!result.problem.empty()) result.result = kAssociationNotDefault;
}

// False, with the result saying why, when the variable `name` names no folder and the home folder
// is missing: xdg-mime, which keeps the default under $XDG_CONFIG_HOME, would make the home folder.
bool HasBaseFolder(const char* name, std::string_view fallback, std::string_view kind,
                   DesktopRegistrationResult& result) {
  if (!XdgBaseDirectory(name, fallback).empty()) return true;
  result.result = kAssociationWriteFailed;
  result.problem = "$" + std::string(name) + ": no " + std::string(kind) +
                   " folder (it is not set, and " + MissingHomeReason() + ")";
  return false;
}

// Makes the installed entry the default; a per-user entry of an earlier registration would hide
// it (the same name comes first) and goes.
void RegisterInstalled(const DesktopRegistration& registration, const std::string& user_data,
                       DesktopRegistrationResult& result) {
  const std::string& share = result.data_folder;
  std::vector<std::vector<std::string>> commands;
  if (IsWritableFolder(share + "/mime"))
    commands.push_back({"update-mime-database", share + "/mime"});
  if (IsWritableFolder(share + "/applications"))
    commands.push_back({"update-desktop-database", share + "/applications"});
  const std::string user_entry = user_data + "/" + DesktopEntryRelativePath();
  const std::string installed_entry = share + "/" + DesktopEntryRelativePath();
  std::string text;
  std::error_code error;
  const bool per_user =
      ReadSmallFile(user_entry, 1 << 16, text) == kFileOk &&
      text.find(std::string("\n") + kPerUserEntryMark + "\n") != std::string::npos;
  if (std::filesystem::equivalent(user_entry, installed_entry, error)) {
    // Installed into the user's own data folder, where a registration from elsewhere (a build
    // tree) wrote its entry over the installed one: the installed entry is put back.
    std::string problem;
    if (per_user &&
        WriteFileAtomically(installed_entry, kInstalledDesktopEntry, 0644, &problem) != kFileOk) {
      result.result = kAssociationWriteFailed;
      result.problem = installed_entry + ": " + problem;
      return;
    }
  } else if (per_user && std::filesystem::remove(user_entry, error)) {
    commands.push_back({"update-desktop-database", user_data + "/applications"});
  }
  commands.push_back({"xdg-mime", "default", kDesktopFileName, kMovieMimeType});
  RunToolsAndCheck(commands, registration.tool_timeout, result);
  result.summary = "movie files open with the installed player (" + share + "/" +
                   DesktopEntryRelativePath() + ")";
}

}  // namespace

DesktopRegistrationResult RegisterForCurrentUser(const DesktopRegistration& registration) {
  DesktopRegistrationResult result;
  const std::vector<std::string> data_folders = DesktopDataFolders();
  const std::string user_data =
      data_folders.empty() ? std::string() : XdgBaseDirectory("XDG_DATA_HOME", ".local/share");
  result.data_folder =
      InstalledDataFolder(registration.executable_path, data_folders, SearchPath());
  if (!result.data_folder.empty()) {
    if (!HasBaseFolder("XDG_CONFIG_HOME", ".config", "configuration", result)) return result;
    result.installed = true;
    RegisterInstalled(registration, user_data, result);
    return result;
  }

  const std::string build_tree = BuildTreeOf(registration.executable_path);
  std::string entry;
  if (!DesktopEntry(registration.executable_path, build_tree, entry)) {
    result.result = kAssociationBadInput;
    result.problem =
        registration.executable_path + ": the program path cannot be written into a desktop entry";
    return result;
  }
  // The entry would be well formed ("%%"), but the desktop's application library looks for the
  // program by the Exec line's first word before it expands "%%": it finds none, and drops the
  // entry, so that movie files would open with nothing.
  if (registration.executable_path.find('%') != std::string::npos) {
    result.result = kAssociationBadInput;
    result.problem = registration.executable_path +
                     ": desktops do not start a program whose path holds a '%'; move the "
                     "player to a folder without one";
    return result;
  }
  result.data_folder = user_data;
  if (!HasBaseFolder("XDG_DATA_HOME", ".local/share", "data", result) ||
      !HasBaseFolder("XDG_CONFIG_HOME", ".config", "configuration", result))
    return result;
  struct File {
    std::string path;
    std::string_view bytes;
  };
  const std::string mime = MimePackageXml();
  std::vector<File> files = {{user_data + "/" + MimePackageRelativePath(), mime},
                             {user_data + "/" + DesktopEntryRelativePath(), entry}};
  for (const IconFile& icon : registration.icons) {
    if (icon.theme_path.empty() || icon.theme_path.front() == '/' ||
        icon.theme_path.find("..") != std::string::npos) {
      result.result = kAssociationBadInput;
      result.problem = icon.theme_path + ": not a place inside the icon theme";
      return result;
    }
    files.push_back({user_data + "/icons/hicolor/" + icon.theme_path, icon.bytes});
  }
  for (const File& file : files) {
    std::string problem;
    if (WriteFileAtomically(file.path, file.bytes, 0644, &problem) != kFileOk) {
      result.result = kAssociationWriteFailed;
      result.problem = file.path + ": " + problem;
      return result;
    }
  }
  RunToolsAndCheck({{"update-mime-database", user_data + "/mime"},
                    {"update-desktop-database", user_data + "/applications"},
                    {"xdg-mime", "default", kDesktopFileName, kMovieMimeType}},
                   registration.tool_timeout, result);
  result.summary = build_tree.empty()
                       ? "movie files open with " + registration.executable_path
                       : "movie files open with the player in the build tree " + build_tree +
                             " (deleting that folder breaks the association)";
  return result;
}

std::string ToolProblem(const ToolRun& run) {
  if (run.status == kToolDidNotStart) return run.name + " could not be started";
  if (run.status == kToolTimedOut) return run.name + " did not finish in time and was stopped";
  if (run.status == kToolStopped) return run.name + " was stopped: the player was asked to quit";
  if (run.status == kToolRan && run.exit_code != 0)
    return run.name + " ended with status " + std::to_string(run.exit_code);
  return std::string();
}

int AssociateWithoutAsking(ViewerSettings& settings, const AssociationWriter& write) {
  if (!write || write() != kAssociationOk) return kOfferWriteFailed;
  settings.Register = 1;
  return kOfferRegistered;
}

}  // namespace tarvel
