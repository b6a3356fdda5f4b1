#include "ui/logic/file_association.h"

#include <cstdlib>

#include "platform/user_files.h"
#include "ui/logic/desktop_files.h"

namespace tarvel {
namespace {

// The program path's registry form, as the script names the executable.
std::string ExecutableValue(std::string_view escaped_folder, std::string_view suffix) {
  return "@=\"" + std::string(escaped_folder) + "\\\\Tarvel.exe" + std::string(suffix) + "\"\n";
}

// True for well-formed UTF-8 without control characters.
bool IsPrintableUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t code;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
      code = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      code = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      code = c & 0x07u;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    // Overlong forms, surrogates and values past the last code point are not UTF-8.
    static constexpr std::uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    if (code >= 0x80 && code < 0xA0) return false;  // C1 controls
    i += length;
  }
  return true;
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
  std::string value;
  for (char c : exec) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

bool ValidIconSize(int size) {
  return size >= 1 && size <= 4096;
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
  std::string escaped;
  for (char c : program_directory) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
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

bool DesktopEntry(std::string_view executable_path, std::string& out) {
  out.clear();
  if (executable_path.empty() || executable_path.front() != '/' ||
      !IsPrintableUtf8(executable_path)) {
    return false;
  }
  out =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Tarvel\n"
      "GenericName=Movie Player\n"
      "Comment=Play KQM movies\n"
      "Exec=" +
      ExecArgument(executable_path) +
      " %f\n"
      "Icon=tarvel\n"
      "Terminal=false\n"
      "MimeType=video/x-kqm;\n"
      "Categories=AudioVideo;Video;Player;\n";
  return true;
}

std::string MimePackageRelativePath() {
  return std::string("mime/packages/") + kMimePackageFileName;
}

std::string DesktopEntryRelativePath() {
  return std::string("applications/") + kDesktopFileName;
}

std::string IconRelativePath(int icon_size) {
  std::string size = std::to_string(icon_size);
  return "icons/hicolor/" + size + "x" + size + "/apps/" + kIconName + ".png";
}

DesktopRegistrationResult RegisterForCurrentUser(const DesktopRegistration& registration) {
  DesktopRegistrationResult result;
  std::string entry;
  if (!DesktopEntry(registration.executable_path, entry)) {
    result.result = kAssociationBadInput;
    result.problem =
        registration.executable_path + ": the program path cannot be written into a desktop entry";
    return result;
  }
  if (!registration.icon_png.empty() && !ValidIconSize(registration.icon_size)) {
    result.result = kAssociationBadInput;
    result.problem = "icon: size " + std::to_string(registration.icon_size) + " is not usable";
    return result;
  }
  result.data_folder = XdgBaseDirectory("XDG_DATA_HOME", ".local/share");
  if (result.data_folder.empty()) {
    result.result = kAssociationWriteFailed;
    result.problem = "$XDG_DATA_HOME: no data folder (neither it nor a home folder is known)";
    return result;
  }
  const std::string& data = result.data_folder;
  struct File {
    std::string path;
    std::string_view bytes;
  };
  const std::string mime = MimePackageXml();
  std::vector<File> files = {{data + "/" + MimePackageRelativePath(), mime},
                             {data + "/" + DesktopEntryRelativePath(), entry}};
  if (!registration.icon_png.empty()) {
    files.push_back({data + "/" + IconRelativePath(registration.icon_size), registration.icon_png});
  }
  for (const File& file : files) {
    if (WriteFileAtomically(file.path, file.bytes) != kFileOk) {
      result.result = kAssociationWriteFailed;
      result.problem = file.path + ": cannot be written";
      return result;
    }
  }

  const char* path_variable = std::getenv("PATH");
  const std::string search =
      path_variable != nullptr ? path_variable : "/usr/local/bin:/usr/bin:/bin";
  const std::vector<std::vector<std::string>> commands = {
      {"update-mime-database", data + "/mime"},
      {"update-desktop-database", data + "/applications"},
      {"xdg-mime", "default", kDesktopFileName, kMovieMimeType}};
  for (const std::vector<std::string>& command : commands) {
    std::string full = FindOnPath(command.front(), search);
    ToolRun run;
    if (full.empty()) {
      run.status = kToolAbsent;
    } else {
      std::vector<std::string> argv = command;
      argv.front() = full;
      run = RunAndWait(argv, registration.tool_timeout);
    }
    run.name = command.front();
    result.tools.push_back(run);
  }
  return result;
}

}  // namespace tarvel
