// The user's switches and window positions, kept between runs in "viewkqm.ini": defaults, where
// the file lives, reading it by line position, writing it crash-safely, Apply settings and the
// Options dialog's rules.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// A window's outer top-left corner as last recorded; x below 1 means "not placed by the user".
struct WindowPosition {
  std::int32_t x = -1;
  std::int32_t y = -1;
};

// The switches and positions, with their defaults. Field order is the file's line order.
struct ViewerSettings {
  std::uint8_t AutoPlay = 1;       // a newly chosen movie starts from within Stop
  std::uint8_t FullScreen = 0;     // the wanted full-screen state
  std::uint8_t FenetreLibre = 0;   // windows move independently (no docking)
  std::uint8_t NoSound = 0;        // mirrors the Sound On/Off button (1: muted)
  std::uint8_t Enchaine = 0;       // chain to the next playlist movie when one ends
  std::uint8_t Register = 0;       // file association has been offered
  WindowPosition video_window;     // "Wkqm"
  WindowPosition command_window;   // "Wcmd"
  WindowPosition playlist_window;  // "Wlist"
};

inline constexpr char kSettingsFileName[] = "viewkqm.ini";
// A settings file is nine short lines; anything larger than this is not read at all.
inline constexpr std::size_t kSettingsMaxBytes = 64 * 1024;

// Fills `settings` from the text of a settings file. The file is taken as a sequence of
// whitespace-free words, one per line as the program writes it; the n-th word fills the n-th
// setting whatever its key says. A value is the decimal number after the first "=" (0 when there
// is no "=" or no digits); the switches keep its low 8 bits. A position takes its x after the
// first "=" and its y after the first "," that follows (0 for a missing one). Settings beyond
// the last word keep their values. Numbers beyond the 32-bit range saturate. Returns where the
// last word taken ends: words after the ninth are not settings of this version.
std::size_t Settings_Parse(ViewerSettings& settings, std::string_view text);

// The file's text: nine lines in the fields' order ("AutoPlay=1\n" ... "Wlist=-1,-1\n").
std::string Settings_Format(const ViewerSettings& settings);

// Reads the file at `path` into `settings` (kFileOk). A missing, unreadable or oversized file
// leaves `settings` untouched and returns the file result (file_io.h).
int Settings_Read(ViewerSettings& settings, const std::string& path);

// Why the settings file at `path` was not read, given what Settings_Read returned, as the end of
// a message ("is a folder", "permission denied", "is larger than a settings file can be"); empty
// when it was read or is not there yet, which is no problem.
std::string Settings_ReadProblem(int result, const std::string& path);

// Writes the file at `path` crash-safely (a temporary file, then a rename), creating its folder.
// Returns kFileOk or kFileWriteFailed; on failure the previous file stays whole, and `*problem`
// (when given) says why, as the end of a message ("cannot be written: permission denied").
int Settings_Write(const ViewerSettings& settings, const std::string& path,
                   std::string* problem = nullptr);

// Writes the file at `path` as Settings_Write does, but keeps what another player running at the
// same time wrote there meanwhile: a setting whose value is the one in `written` (what this run
// last read from the file or wrote to it) takes the file's value, when the file can be read;
// only those this run changed since are its own. On success `written` becomes `settings`.
// Players that write at the same moment (a session that ends quits them all) take turns: each
// waits for the other's write, at most `patience`, before it reads the file. Lines after the
// nine settings (a newer version's, the user's own) are kept after them.
int Settings_WriteKeepingOthers(const ViewerSettings& settings, ViewerSettings& written,
                                const std::string& path, std::string* problem = nullptr,
                                std::chrono::milliseconds patience = std::chrono::seconds(2));

// Where the settings file lives: `program_directory`/viewkqm.ini when a file of that name is
// already there (a portable install), otherwise $XDG_CONFIG_HOME/tarvel/viewkqm.ini, by default
// ~/.config/tarvel/viewkqm.ini (created by the first write). Empty when neither is known.
std::string SettingsFilePath(std::string_view program_directory);

// Where a recorded position puts a window when it is created: the position when its x is 1 or
// more, otherwise nothing (the program places the window itself).
std::optional<WindowPosition> PlacementOf(const WindowPosition& position);

// The three windows whose positions are kept.
enum class SettingsWindow { kVideo, kCommand, kPlaylist };

// Records a window's new outer position after it moved.
void Settings_RecordPosition(ViewerSettings& settings, SettingsWindow window, std::int32_t x,
                             std::int32_t y);

// Apply settings, as plain decisions. The caller clicks the buttons asked for (Sound On/Off
// first, then Full Screen), copies the three working copies into its state, writes the settings
// file and repaints the panel.
struct ApplyPlan {
  bool click_sound_on_off = false;
  bool click_full_screen = false;
  bool auto_play = true;
  bool free_windows = false;
  bool chain_movies = false;
};
ApplyPlan Settings_PlanApply(const ViewerSettings& settings, bool muted, bool full_screen,
                             bool engine_playing);

// The Options dialog: its texts, check box identifiers and the states they open with.
inline constexpr char kOptionsCaption[] = "Options";
inline constexpr int kOptionNoSound = 1059;
inline constexpr int kOptionFreeWindows = 1060;
inline constexpr int kOptionAutoPlay = 1061;
inline constexpr int kOptionFullScreen = 1062;
inline constexpr int kOptionLinkNext = 1063;
inline constexpr char kOptionNoSoundText[] = "No sound play";
inline constexpr char kOptionFreeWindowsText[] = "Free Windows";
inline constexpr char kOptionAutoPlayText[] = "Auto Play";
inline constexpr char kOptionFullScreenText[] = "Full Screen";
inline constexpr char kOptionLinkNextText[] = "Link next Kqm ";  // the trailing space is part of it

struct OptionsChecks {
  bool no_sound = false;
  bool free_windows = false;
  bool auto_play = false;
  bool full_screen = false;
  bool link_next = false;
};

// Opening the dialog: the check states (Full Screen shows the setting, not the current state),
// and the working copies go back into the settings.
OptionsChecks Options_Open(ViewerSettings& settings, bool muted, bool auto_play, bool free_windows,
                           bool chain_movies);

// A click on check box `id` stores its new state straight into the matching setting (OK then
// applies; the close box keeps the change without applying). Unknown ids change nothing.
void Options_Check(ViewerSettings& settings, int id, bool checked);

// The About dialog's texts.
inline constexpr char kAboutCaption[] = "About Tarvel";
inline constexpr char kAboutTitleText[] = "Viewer KQM6 Beta 2";
inline constexpr char kAboutLineText[] = "Tool can play all Kqm6 file format.";

}  // namespace tarvel
