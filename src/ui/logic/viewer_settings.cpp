#include "ui/logic/viewer_settings.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/user_files.h"
#include "storage/file_open.h"

namespace tarvel {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The decimal number at the start of `text`: an optional sign, then digits; 0 when there are no
// digits. Saturates at the 32-bit limits instead of overflowing.
std::int32_t LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
  std::int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > limit) value = limit;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

// The number after the first "=" of a word; 0 when there is none.
std::int32_t ValueOf(std::string_view word) {
  std::size_t equals = word.find('=');
  return equals == std::string_view::npos ? 0 : LeadingNumber(word.substr(equals + 1));
}

WindowPosition PairOf(std::string_view word) {
  WindowPosition p{0, 0};
  std::size_t equals = word.find('=');
  if (equals == std::string_view::npos) return p;
  std::string_view rest = word.substr(equals + 1);
  p.x = LeadingNumber(rest);
  std::size_t comma = rest.find(',');
  if (comma != std::string_view::npos) p.y = LeadingNumber(rest.substr(comma + 1));
  return p;
}

std::uint8_t LowByte(std::int32_t value) {
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
}

// What follows the settings in a file's `text`, from the line after the one that ends at
// `end`: lines another version or the user put there, kept as they are. (A word left on the
// last setting's line starts the kept text.)
std::string LinesAfterSettings(std::string_view text, std::size_t end) {
  while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
  if (end < text.size() && text[end] == '\r') ++end;
  if (end < text.size() && text[end] == '\n') ++end;
  return std::string(text.substr(end));
}

}  // namespace

std::size_t Settings_Parse(ViewerSettings& settings, std::string_view text) {
  std::array<std::uint8_t*, 6> switches = {&settings.AutoPlay,     &settings.FullScreen,
                                           &settings.FenetreLibre, &settings.NoSound,
                                           &settings.Enchaine,     &settings.Register};
  std::array<WindowPosition*, 3> positions = {&settings.video_window, &settings.command_window,
                                              &settings.playlist_window};
  std::size_t line = 0;
  std::size_t i = 0;
  while (line < switches.size() + positions.size()) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    if (i == text.size()) break;
    std::size_t start = i;
    while (i < text.size() && !IsSpace(text[i])) ++i;
    std::string_view word = text.substr(start, i - start);
    if (line < switches.size()) {
      *switches[line] = LowByte(ValueOf(word));
    } else {
      *positions[line - switches.size()] = PairOf(word);
    }
    ++line;
  }
  return i;
}

std::string Settings_Format(const ViewerSettings& s) {
  auto flag = [](const char* key, std::uint8_t v) {
    return std::string(key) + "=" + std::to_string(v) + "\n";
  };
  auto pair = [](const char* key, const WindowPosition& p) {
    return std::string(key) + "=" + std::to_string(p.x) + "," + std::to_string(p.y) + "\n";
  };
  return flag("AutoPlay", s.AutoPlay) + flag("FullScreen", s.FullScreen) +
         flag("FenetreLibre", s.FenetreLibre) + flag("NoSound", s.NoSound) +
         flag("Enchaine", s.Enchaine) + flag("Register", s.Register) +
         pair("Wkqm", s.video_window) + pair("Wcmd", s.command_window) +
         pair("Wlist", s.playlist_window);
}

int Settings_Read(ViewerSettings& settings, const std::string& path) {
  if (path.empty()) return kFileMissing;
  std::string text;
  int result = ReadSmallFile(path, kSettingsMaxBytes, text);
  if (result != kFileOk) return result;
  Settings_Parse(settings, text);
  return kFileOk;
}

std::string Settings_ReadProblem(int result, const std::string& path) {
  if (result == kFileTooLarge) return "is larger than a settings file can be (64 KiB)";
  if (result != kFileUnreadable) return std::string();
  std::int32_t problem = kFileOpenFailed;
  if (std::FILE* file = OpenRegularFile(path.c_str(), "rb", &problem)) {
    std::fclose(file);
    return "cannot be read";
  }
  return FileOpenProblemText(problem);
}

int Settings_Write(const ViewerSettings& settings, const std::string& path, std::string* problem) {
  return WriteFileAtomically(path, Settings_Format(settings), 0644, problem);
}

int Settings_WriteKeepingOthers(const ViewerSettings& settings, ViewerSettings& written,
                                const std::string& path, std::string* problem,
                                std::chrono::milliseconds patience) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const FolderHold turn(folder.empty() ? std::string(".") : folder, patience);
  // A setting missing from the file (one cut short) stays this run's.
  ViewerSettings merged = settings;
  std::string text;
  std::string kept_lines;
  if (!path.empty() && ReadSmallFile(path, kSettingsMaxBytes, text) == kFileOk) {
    kept_lines = LinesAfterSettings(text, Settings_Parse(merged, text));
    for (std::uint8_t ViewerSettings::*field :
         {&ViewerSettings::AutoPlay, &ViewerSettings::FullScreen, &ViewerSettings::FenetreLibre,
          &ViewerSettings::NoSound, &ViewerSettings::Enchaine, &ViewerSettings::Register}) {
      if (settings.*field != written.*field) merged.*field = settings.*field;
    }
    for (WindowPosition ViewerSettings::*field :
         {&ViewerSettings::video_window, &ViewerSettings::command_window,
          &ViewerSettings::playlist_window}) {
      const WindowPosition& now = settings.*field;
      const WindowPosition& before = written.*field;
      if (now.x != before.x || now.y != before.y) merged.*field = now;
    }
  }
  std::string contents = Settings_Format(merged);
  // Never grow the file past what a reader takes: its settings would be lost with the rest.
  if (contents.size() + kept_lines.size() <= kSettingsMaxBytes) contents += kept_lines;
  const int result = WriteFileAtomically(path, contents, 0644, problem);
  if (result == kFileOk) written = settings;
  return result;
}

std::string SettingsFilePath(std::string_view program_directory) {
  std::string portable = std::string(program_directory) + "/" + kSettingsFileName;
  // The program folder counts only when it is known: an empty one would mean the root.
  if (!program_directory.empty()) {
    std::error_code ec;
    if (std::filesystem::exists(portable, ec)) return portable;
  }
  std::string config = XdgBaseDirectory("XDG_CONFIG_HOME", ".config");
  if (config.empty()) return std::string();
  return config + "/tarvel/" + kSettingsFileName;
}

std::optional<WindowPosition> PlacementOf(const WindowPosition& position) {
  if (position.x < 1) return std::nullopt;
  return position;
}

void Settings_RecordPosition(ViewerSettings& settings, SettingsWindow window, std::int32_t x,
                             std::int32_t y) {
  WindowPosition& p = window == SettingsWindow::kVideo     ? settings.video_window
                      : window == SettingsWindow::kCommand ? settings.command_window
                                                           : settings.playlist_window;
  p.x = x;
  p.y = y;
}

ApplyPlan Settings_PlanApply(const ViewerSettings& settings, bool muted, bool full_screen,
                             bool engine_playing) {
  ApplyPlan plan;
  plan.click_sound_on_off = muted != (settings.NoSound != 0);
  plan.click_full_screen = engine_playing && full_screen != (settings.FullScreen != 0);
  plan.auto_play = settings.AutoPlay != 0;
  plan.free_windows = settings.FenetreLibre != 0;
  plan.chain_movies = settings.Enchaine != 0;
  return plan;
}

OptionsChecks Options_Open(ViewerSettings& settings, bool muted, bool auto_play, bool free_windows,
                           bool chain_movies) {
  OptionsChecks checks;
  checks.no_sound = muted;
  checks.auto_play = auto_play;
  checks.full_screen = settings.FullScreen != 0;
  checks.free_windows = free_windows;
  checks.link_next = chain_movies;
  settings.AutoPlay = auto_play ? 1 : 0;
  settings.FenetreLibre = free_windows ? 1 : 0;
  settings.NoSound = muted ? 1 : 0;
  settings.Enchaine = chain_movies ? 1 : 0;
  return checks;
}

void Options_Check(ViewerSettings& settings, int id, bool checked) {
  std::uint8_t value = checked ? 1 : 0;
  switch (id) {
    case kOptionNoSound:
      settings.NoSound = value;
      break;
    case kOptionFreeWindows:
      settings.FenetreLibre = value;
      break;
    case kOptionAutoPlay:
      settings.AutoPlay = value;
      break;
    case kOptionFullScreen:
      settings.FullScreen = value;
      break;
    case kOptionLinkNext:
      settings.Enchaine = value;
      break;
    default:
      break;
  }
}

}  // namespace tarvel
