#include "ui/logic/playlist_model.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include "storage/file_open.h"

namespace tarvel {
namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// A folder path without trailing separators; the root becomes "".
std::string WithoutTrailingSlashes(std::string_view folder) {
  while (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
  return std::string(folder);
}

std::string FolderPart(std::string_view path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return std::string(path.substr(0, slash));
}

std::string NamePart(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  path += '/';
  path += name;
  return path;
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

bool Full(const PlaylistModel& model) {
  return model.file_count >= std::numeric_limits<std::int32_t>::max();
}

void AddLine(PlaylistModel& model, std::string name) {
  model.lines.push_back(std::move(name));
  ++model.file_count;
}

void AddFolderEntry(PlaylistModel& model, std::string folder) {
  model.folders.push_back(FolderEntry{model.file_count, std::move(folder)});
}

void ClearList(PlaylistModel& model) {
  model.folders.clear();
  model.lines.clear();
}

// Create playlist: a new, empty playlist window.
void CreatePlaylist(PlaylistModel& model, PlaylistActions& actions) {
  ClearList(model);
  model.file_count = 0;
  model.window_open = true;
  actions.create_window = true;
  actions.destroy_window = false;
}

void DestroyPlaylist(PlaylistModel& model, PlaylistActions& actions) {
  if (model.window_open || actions.create_window) actions.destroy_window = true;
  actions.create_window = false;
  actions.lines_changed = false;
  model.window_open = false;
  ClearList(model);
}

void Merge(PlaylistActions& into, PlaylistActions from) {
  if (from.select_line >= 0) into.select_line = from.select_line;
  if (from.current_path) into.current_path = std::move(from.current_path);
  if (from.folder_label) into.folder_label = std::move(from.folder_label);
  into.play_request = into.play_request || from.play_request;
  into.update_buttons = into.update_buttons || from.update_buttons;
}

// After a new list was made: fewer than two lines give no playlist; otherwise the first line is
// selected and plays.
void FinishList(PlaylistModel& model, PlaylistActions& actions) {
  if (model.file_count < 2) {
    DestroyPlaylist(model, actions);
    return;
  }
  Merge(actions, Playlist_Select(model, 0));
}

}  // namespace

int MovieKind(std::string_view path) {
  std::size_t dot = path.find_last_of("./");
  if (dot == std::string_view::npos || path[dot] != '.') return kNotAMovie;
  std::string_view extension = path.substr(dot + 1);
  if (EqualsIgnoringCase(extension, "kqm")) return kMovieKindKqm;
  if (EqualsIgnoringCase(extension, "kqs")) return kMovieKindKqs;
  return kNotAMovie;
}

int CompareNamesNaturally(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t end_a = i;
      while (end_a < a.size() && IsDigit(a[end_a])) ++end_a;
      std::size_t end_b = j;
      while (end_b < b.size() && IsDigit(b[end_b])) ++end_b;
      std::size_t start_a = i;
      while (start_a < end_a && a[start_a] == '0') ++start_a;
      std::size_t start_b = j;
      while (start_b < end_b && b[start_b] == '0') ++start_b;
      // Without leading zeros, a longer run is a larger number; equal lengths compare by digits.
      std::size_t length_a = end_a - start_a;
      std::size_t length_b = end_b - start_b;
      if (length_a != length_b) return length_a < length_b ? -1 : 1;
      int digits = a.substr(start_a, length_a).compare(b.substr(start_b, length_b));
      if (digits != 0) return digits < 0 ? -1 : 1;
      i = end_a;
      j = end_b;
      continue;
    }
    unsigned char ca = static_cast<unsigned char>(LowerAscii(a[i]));
    unsigned char cb = static_cast<unsigned char>(LowerAscii(b[j]));
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  bool a_left = i < a.size();
  bool b_left = j < b.size();
  if (a_left != b_left) return a_left ? 1 : -1;
  int bytes = a.compare(b);
  return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

std::string FolderOfLine(const PlaylistModel& model, std::int32_t line) {
  if (model.folders.empty()) return std::string();
  std::size_t i = 0;
  while (i + 1 < model.folders.size() && line >= model.folders[i + 1].first_index) ++i;
  return model.folders[i].folder;
}

std::string PathOfLine(const PlaylistModel& model, std::int32_t line) {
  if (line < 0 || static_cast<std::size_t>(line) >= model.lines.size()) return std::string();
  return JoinPath(FolderOfLine(model, line), model.lines[static_cast<std::size_t>(line)]);
}

std::int32_t Playlist_ListFolder(PlaylistModel& model, std::string_view folder_text,
                                 std::error_code* failure) {
  if (folder_text.empty()) return 0;
  std::string folder = WithoutTrailingSlashes(folder_text);
  AddFolderEntry(model, folder);

  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder.empty() ? std::string("/") : folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (MovieKind(name) == kNotAMovie) continue;
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec)) continue;  // folders, pipes, devices, broken links
    names.push_back(std::move(name));
  }
  if (ec && failure) *failure = ec;
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return CompareNamesNaturally(a, b) < 0;
  });
  std::int32_t added = 0;
  for (std::string& name : names) {
    if (Full(model)) break;
    AddLine(model, std::move(name));
    ++added;
  }
  return added;
}

namespace {

// Appends one dropped or named path: a folder is listed; a movie file is added under a new
// folder entry when its folder differs from `last_folder`'s; anything else is skipped.
void AddPath(PlaylistModel& model, const std::string& path, std::optional<std::string>& last_folder,
             PlaylistActions* actions) {
  if (IsDirectory(path)) {
    std::error_code failure;
    Playlist_ListFolder(model, path, &failure);
    if (failure && actions && actions->unlisted_folder.empty()) {
      actions->unlisted_folder = path;
      actions->unlisted_reason = failure.message();
    }
    last_folder.reset();
  } else if (MovieKind(path) != kNotAMovie && !Full(model)) {
    std::string folder = FolderPart(path);
    if (!last_folder || *last_folder != folder) {
      last_folder = folder;
      AddFolderEntry(model, folder);
    }
    AddLine(model, NamePart(path));
  }
}

// A list of a single movie is no playlist: the list goes and that movie plays alone.
void PlayOnlyLine(PlaylistModel& model, PlaylistActions& actions) {
  std::string only = PathOfLine(model, 0);
  DestroyPlaylist(model, actions);
  model.file_count = 1;
  actions.current_path = std::move(only);
  actions.play_request = true;
}

}  // namespace

void Playlist_AddDroppedFiles(PlaylistModel& model, const std::vector<std::string>& paths,
                              PlaylistActions* actions) {
  std::optional<std::string> last_folder;
  for (std::size_t k = paths.size(); k-- > 0;) AddPath(model, paths[k], last_folder, actions);
}

void Playlist_AddSelection(PlaylistModel& model, std::string_view folder,
                           const std::vector<std::string>& names) {
  AddFolderEntry(model, WithoutTrailingSlashes(folder));
  for (const std::string& name : names) {
    if (name.empty() || Full(model)) break;
    AddLine(model, name);
  }
}

PlaylistActions Playlist_Dropped(PlaylistModel& model, const std::vector<std::string>& paths,
                                 bool on_playlist) {
  PlaylistActions actions;
  actions.update_buttons = true;
  if (paths.empty()) return actions;
  const bool append = on_playlist && model.window_open;
  const bool had_movie = model.file_count > 0;
  const std::int32_t count_before = append ? model.file_count : 0;
  const std::string& path = paths.front();
  const bool one_file = paths.size() == 1 && !IsDirectory(path);
  if (one_file && MovieKind(path) == kNotAMovie) {
    // Anything else is ignored: the list, the current movie and what plays stay as they are.
    return actions;
  }
  if (one_file && !append) {
    model.file_count = 1;
    actions.current_path = path;
    actions.play_request = true;
  } else {
    // A movie dropped on the playlist joins it as a folder or several files do, rather than
    // playing alone and giving up the list.
    if (!append) CreatePlaylist(model, actions);
    Playlist_AddDroppedFiles(model, paths, &actions);
    actions.lines_changed = true;
  }
  actions.listed_no_movie = model.file_count == count_before;
  if (append && actions.listed_no_movie) {
    // Nothing joined the playlist: its selection and what plays stay as they are.
    actions.lines_changed = false;
    return actions;
  }
  if (!one_file && !append && model.file_count == 1) {
    // A folder of one movie, or one movie among other files: it plays, as from the command line.
    PlayOnlyLine(model, actions);
    return actions;
  }
  FinishList(model, actions);
  // A drop that listed no movie leaves the movie there was one to play, as the close box does;
  // a count of 0 would disable Play, Full Screen and Zoom Off under a movie still shown.
  if (model.file_count == 0 && had_movie) model.file_count = 1;
  return actions;
}

PlaylistActions Playlist_CommandLine(PlaylistModel& model, const std::vector<std::string>& paths) {
  PlaylistActions actions;
  actions.update_buttons = true;
  CreatePlaylist(model, actions);
  std::optional<std::string> last_folder;
  for (const std::string& path : paths) {
    const std::int32_t before = model.file_count;
    AddPath(model, path, last_folder, &actions);
    if (model.file_count != before || !actions.missing_path.empty() || path.empty()) continue;
    std::error_code lookup;
    const auto type = std::filesystem::status(path, lookup).type();
    if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none) {
      actions.missing_path = path;
      const std::int32_t problem = FileLookupProblem(lookup);
      actions.missing_reason =
          problem == kFileNotFound ? "no such file or folder" : FileOpenProblemText(problem);
    }
  }
  actions.lines_changed = true;
  if (model.file_count == 1) {
    // A single movie among the paths plays alone.
    PlayOnlyLine(model, actions);
    return actions;
  }
  FinishList(model, actions);
  return actions;
}

PlaylistActions Playlist_OpenFiles(PlaylistModel& model, const std::vector<std::string>& paths) {
  PlaylistActions actions;
  actions.repaint_panel = true;
  if (paths.empty()) return actions;
  if (paths.size() > 1) {
    CreatePlaylist(model, actions);
    // One folder entry per run of names from the same folder.
    std::size_t k = 0;
    while (k < paths.size()) {
      std::string folder = FolderPart(paths[k]);
      std::vector<std::string> names;
      while (k < paths.size() && FolderPart(paths[k]) == folder)
        names.push_back(NamePart(paths[k++]));
      Playlist_AddSelection(model, folder, names);
    }
    actions.lines_changed = true;
    FinishList(model, actions);
  } else {
    // One movie plays alone: a list left from before would no longer match file_count.
    DestroyPlaylist(model, actions);
    model.file_count = 1;
    actions.current_path = paths.front();
  }
  actions.play_request = true;
  actions.update_buttons = true;
  return actions;
}

std::string OpenDialogFolder(std::string_view current_path, std::string_view program_directory) {
  if (current_path.empty()) return std::string(program_directory);
  if (IsDirectory(std::string(current_path))) return std::string(current_path);
  std::string folder = FolderPart(current_path);
  return folder.empty() ? std::string("/") : folder;
}

PlaylistActions Playlist_Select(PlaylistModel& model, std::int32_t line) {
  PlaylistActions actions;
  if (!model.window_open || line < 0 || static_cast<std::size_t>(line) >= model.lines.size()) {
    return actions;
  }
  model.list_index = line;
  actions.select_line = line;
  actions.current_path = PathOfLine(model, line);
  actions.folder_label = FolderOfLine(model, line);
  actions.play_request = true;
  actions.update_buttons = true;
  return actions;
}

PlaylistActions Playlist_Previous(PlaylistModel& model) {
  if (!model.window_open || model.list_index <= 0) return PlaylistActions{};
  return Playlist_Select(model, model.list_index - 1);
}

PlaylistActions Playlist_Next(PlaylistModel& model) {
  if (!model.window_open || model.lines.empty()) return PlaylistActions{};
  std::int32_t count = std::min(model.file_count, static_cast<std::int32_t>(model.lines.size()));
  std::int32_t next = model.list_index + 1;
  if (next >= count || next < 0) next = 0;
  return Playlist_Select(model, next);
}

PlaylistActions Playlist_CloseBox(PlaylistModel& model) {
  PlaylistActions actions;
  DestroyPlaylist(model, actions);
  model.file_count = 1;
  actions.update_buttons = true;
  return actions;
}

StopFollowUp Stop_FollowUp(bool play_request, bool auto_play, bool chain_movies,
                           std::int32_t file_count, std::int32_t failed_in_a_row) {
  if (play_request && auto_play) return StopFollowUp::kClickPlay;
  if (chain_movies && file_count > 1 && failed_in_a_row < file_count)
    return StopFollowUp::kClickNext;
  return StopFollowUp::kNothing;
}

}  // namespace tarvel
