// The playlist's model and rules: which files are movies, listing a folder, dropped files and
// the open-file dialog's choice, selecting a line, Previous and Next, chaining, and the close
// box. Each operation changes the model and returns what the windows must do, so the widget side
// only carries the decisions out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarvel {

// Movie kinds of a path.
inline constexpr int kMovieKindKqm = 0;
inline constexpr int kMovieKindKqs = 1;
inline constexpr int kNotAMovie = -1;

// One run of playlist lines that come from the same folder.
struct FolderEntry {
  std::int32_t first_index = 0;  // the list line at which this folder's movies begin
  std::string folder;            // without a trailing separator ("" is the root)
};

struct PlaylistModel {
  // The playlist window exists.
  bool window_open = false;
  // In increasing first_index order.
  std::vector<FolderEntry> folders;
  // The list's lines: file names, in the order they were added.
  std::vector<std::string> lines;
  // Movies available: the number of lines, or 1 for a single movie.
  std::int32_t file_count = 0;
  // The current line.
  std::int32_t list_index = 0;

  std::int32_t folder_count() const { return static_cast<std::int32_t>(folders.size()); }
};

// What the widget side must do after an operation, in this order:
// 1. destroy_window: destroy the playlist window if it exists.
//    create_window: destroy any playlist window, then create an empty one (at the "Wlist"
//    position when it applies, otherwise docked at the video window).
// 2. lines_changed (or create_window): make the list show model.lines.
// 3. select_line >= 0: select that line in the list, without treating it as a user selection.
// 4. current_path: the movie to open; folder_label: the text of the folder label.
// 5. play_request: set the viewer's play request.
// 6. update_buttons, repaint_panel.
// The model's file_count and list_index are the viewer's.
struct PlaylistActions {
  bool destroy_window = false;
  bool create_window = false;
  bool lines_changed = false;
  std::int32_t select_line = -1;
  std::optional<std::string> current_path;
  std::optional<std::string> folder_label;
  bool play_request = false;
  bool update_buttons = false;
  bool repaint_panel = false;
  // A folder or files were dropped and no movie was listed from them.
  bool listed_no_movie = false;
  // A folder among those given that could not be listed (the first met: for a drop, listed from
  // the last dropped, the last such folder), and the system's reason.
  std::string unlisted_folder;
  std::string unlisted_reason;
  // The first path given on the command line that names nothing (no file, folder or link's
  // target of that name) or cannot be looked up (a folder on its way that may not be searched,
  // a loop of links), and was skipped for it; empty when there is none. With why: "no such file
  // or folder", "permission denied", "is a loop of symbolic links"...
  std::string missing_path;
  std::string missing_reason;
};

// The movie kind of a path from its extension: ".kqm" gives kMovieKindKqm, ".kqs" gives
// kMovieKindKqs, in any letter case; anything else (".kq", ".kqz", no extension, a dot in a
// folder name) gives kNotAMovie. The path is not changed.
int MovieKind(std::string_view path);

// Orders file names as a person expects: letters without regard to case, runs of digits by
// their value ("m2" before "m10"); names that still tie are ordered by their bytes, so the order
// is the same every time. Returns a negative number, 0 or a positive number.
int CompareNamesNaturally(std::string_view a, std::string_view b);

// The folder of playlist line `line`: the last folder entry whose first_index is at or below it
// (the first entry for lines before every entry); "" when there is no entry.
std::string FolderOfLine(const PlaylistModel& model, std::int32_t line);

// The full path of a line: its folder, "/", and the line's text.
std::string PathOfLine(const PlaylistModel& model, std::int32_t line);

// Appends a folder entry for `folder` and the movies in it, sorted naturally. Only regular files
// (or links to them) with a movie extension are listed; sub-folders and everything else are
// skipped. An empty folder text does nothing; a folder without movies, or one that cannot be
// read, keeps its empty entry; `failure`, when given, is set to why a folder could not be read
// (through to its end). Returns the number of lines added.
std::int32_t Playlist_ListFolder(PlaylistModel& model, std::string_view folder,
                                 std::error_code* failure = nullptr);

// Appends dropped files, the last dropped first: a folder is listed; a movie file is added under
// a new folder entry whenever its folder differs from the previous file's; other files are
// skipped. A folder that cannot be read is named in `actions`, when given.
void Playlist_AddDroppedFiles(PlaylistModel& model, const std::vector<std::string>& paths,
                              PlaylistActions* actions = nullptr);

// Appends an open-file dialog's multiple selection: one folder entry for `folder`, then every
// name as a line. The names are not tested for their kind.
void Playlist_AddSelection(PlaylistModel& model, std::string_view folder,
                           const std::vector<std::string>& names);

// Files dropped on any window of the player; `on_playlist` when they were dropped on the
// playlist window itself (they are then appended to its list; anywhere else they replace it).
// One movie plays without a playlist (dropped on the playlist, it joins the list); one other
// file changes nothing; a folder, or several files, make a list that plays its first line, or no
// playlist when it has fewer than two lines: one movie listed plays alone; one that lists no
// movie leaves the movie there was, if any, the one to play, and, dropped on the playlist, the
// list and its selection as they were.
PlaylistActions Playlist_Dropped(PlaylistModel& model, const std::vector<std::string>& paths,
                                 bool on_playlist);

// Several paths named on the command line, in the order given: folders are listed (their
// movies in natural order), movie files are added, anything else is skipped (the first that
// names nothing at all, or cannot be looked up, is noted in missing_path). Two movies or more
// make a playlist that plays its first line; a single one plays alone; none leaves no playlist
// and nothing to play (file_count 0).
PlaylistActions Playlist_CommandLine(PlaylistModel& model, const std::vector<std::string>& paths);

// The open-file dialog's answer (full paths; empty when cancelled). Several files make a
// playlist that plays its first line; one file plays alone, without a playlist.
PlaylistActions Playlist_OpenFiles(PlaylistModel& model, const std::vector<std::string>& paths);

// Where the open-file dialog starts: the folder of `current_path`, or `program_directory` when no
// movie was chosen yet.
std::string OpenDialogFolder(std::string_view current_path, std::string_view program_directory);

inline constexpr char kOpenDialogTitle[] = "Choice Kqm file";
inline constexpr char kOpenDialogDefaultSuffix[] = "kqm";
inline constexpr char kOpenDialogKqmFilterName[] = "Fichier KQM (*.KQM)";
inline constexpr char kOpenDialogKqmFilterPattern[] = "*.KQM";
inline constexpr char kOpenDialogKqsFilterName[] = "Fichier KQS (*.KQS)";
inline constexpr char kOpenDialogKqsFilterPattern[] = "*.KQS";

// A line was selected (by the user, or by the operations below): it becomes the current line and
// the movie to play. A line outside the list changes nothing.
PlaylistActions Playlist_Select(PlaylistModel& model, std::int32_t line);

// Previous: the line before the current one; nothing on the first line or without a list.
PlaylistActions Playlist_Previous(PlaylistModel& model);

// Next: the line after the current one, wrapping to the first after the last; nothing without a
// list.
PlaylistActions Playlist_Next(PlaylistModel& model);

// The playlist window's close box: the window goes and the current movie stays playable on its
// own (file_count 1).
PlaylistActions Playlist_CloseBox(PlaylistModel& model);

// What Stop does once playback has stopped: start the newly chosen movie when one is waiting and
// AutoPlay is on, otherwise move on to the next movie when chaining is on, there is more than
// one, and not every one of them failed just now (`failed_in_a_row`: movies in a row that
// stopped without showing a picture), which would try them all again without end.
enum class StopFollowUp { kNothing, kClickPlay, kClickNext };
StopFollowUp Stop_FollowUp(bool play_request, bool auto_play, bool chain_movies,
                           std::int32_t file_count, std::int32_t failed_in_a_row);

}  // namespace tarvel
