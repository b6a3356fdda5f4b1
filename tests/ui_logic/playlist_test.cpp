#include "ui/logic/playlist_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "support/scratch.h"

namespace tarvel {
namespace {

using test::ScratchFolder;
using test::WriteBytes;
using Lines = std::vector<std::string>;

// A folder holding the given files (empty contents) and, for names ending in "/", sub-folders.
std::string MakeFolder(const ScratchFolder& scratch, const std::string& name, const Lines& files) {
  std::string folder = scratch / name;
  std::filesystem::create_directories(folder);
  for (const std::string& file : files) {
    if (file.back() == '/') {
      std::filesystem::create_directories(folder + "/" + file);
    } else {
      WriteBytes(folder + "/" + file, "");
    }
  }
  return folder;
}

TEST(MovieKind, WholeExtensionsInAnyCaseAndThePathIsLeftAlone) {
  std::string path = "/films/MOVIE.KQS";
  EXPECT_EQ(MovieKind(path), kMovieKindKqs);
  EXPECT_EQ(path, "/films/MOVIE.KQS");
  EXPECT_EQ(MovieKind("a.kqm"), kMovieKindKqm);
  EXPECT_EQ(MovieKind("a.Kqm"), kMovieKindKqm);
  EXPECT_EQ(MovieKind("a.kQs"), kMovieKindKqs);
  for (const char* other : {"x.kqz", "a.kq", "a.m", "a.k", "a.", "a.kqmm", "a.kqm.txt", "kqm",
                            "/films.kqm/readme", "/films.kqm/", ""}) {
    EXPECT_EQ(MovieKind(other), kNotAMovie) << other;
  }
}

TEST(Playlist, FolderIsListedInNaturalOrderWithoutOtherEntries) {
  ScratchFolder scratch;
  std::string folder = MakeFolder(scratch, "films",
                                  {"m10.kqm", "m2.kqm", "M1.kqm", "m02.kqm", "intro.kqs", "m2.KQM",
                                   "x.kqz", "notes.txt", "sub.kqm/", "m100000000000000000000.kqm"});
  std::filesystem::create_symlink(folder + "/nowhere", folder + "/broken.kqm");
  PlaylistModel model;
  EXPECT_EQ(Playlist_ListFolder(model, folder + "/"), 7);
  EXPECT_EQ(model.lines, (Lines{"intro.kqs", "M1.kqm", "m02.kqm", "m2.KQM", "m2.kqm", "m10.kqm",
                                "m100000000000000000000.kqm"}));
  EXPECT_EQ(model.file_count, 7);
  ASSERT_EQ(model.folder_count(), 1);
  EXPECT_EQ(model.folders[0].folder, folder);  // no trailing separator
  EXPECT_EQ(PathOfLine(model, 1), folder + "/M1.kqm");

  // The comparison is a strict order: any shuffle sorts to the same list.
  Lines shuffled = model.lines;
  std::mt19937 random(7);
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  std::sort(shuffled.begin(), shuffled.end(), [](const std::string& a, const std::string& b) {
    return CompareNamesNaturally(a, b) < 0;
  });
  EXPECT_EQ(shuffled, model.lines);
  EXPECT_LT(CompareNamesNaturally("m2", "m10"), 0);
  EXPECT_GT(CompareNamesNaturally("b", "A"), 0);
  EXPECT_EQ(CompareNamesNaturally("same", "same"), 0);

  // A folder that does not exist keeps its empty entry and says why; an empty text does nothing.
  std::error_code failure;
  EXPECT_EQ(Playlist_ListFolder(model, scratch / "missing", &failure), 0);
  EXPECT_EQ(failure, std::errc::no_such_file_or_directory);
  EXPECT_EQ(Playlist_ListFolder(model, ""), 0);
  EXPECT_EQ(model.folder_count(), 2);
}

TEST(Playlist, DroppingOneFile) {
  ScratchFolder scratch;
  std::string folder = MakeFolder(scratch, "films", {"a.kqm", "notes.txt"});
  PlaylistModel model;
  PlaylistActions movie = Playlist_Dropped(model, {folder + "/a.kqm"}, false);
  EXPECT_TRUE(movie.play_request);
  EXPECT_EQ(movie.current_path, folder + "/a.kqm");
  EXPECT_FALSE(movie.create_window);
  EXPECT_FALSE(movie.destroy_window);
  EXPECT_EQ(model.file_count, 1);
  EXPECT_FALSE(model.window_open);

  PlaylistActions text = Playlist_Dropped(model, {folder + "/notes.txt"}, false);
  EXPECT_FALSE(text.play_request);
  EXPECT_FALSE(text.current_path);
  EXPECT_FALSE(text.create_window || text.destroy_window);
  EXPECT_EQ(model.file_count, 1);
}

TEST(Playlist, DroppingAFolder) {
  ScratchFolder scratch;
  std::string three = MakeFolder(scratch, "three", {"c.kqm", "a.kqm", "b.kqs"});
  std::string one = MakeFolder(scratch, "one", {"only.kqm", "cover.png"});
  PlaylistModel model;
  PlaylistActions a = Playlist_Dropped(model, {three}, false);
  EXPECT_TRUE(a.create_window);
  EXPECT_TRUE(a.lines_changed);
  EXPECT_EQ(model.lines, (Lines{"a.kqm", "b.kqs", "c.kqm"}));
  EXPECT_EQ(model.file_count, 3);
  EXPECT_EQ(a.select_line, 0);
  EXPECT_EQ(model.list_index, 0);
  EXPECT_EQ(a.current_path, three + "/a.kqm");
  EXPECT_EQ(a.folder_label, three);
  EXPECT_TRUE(a.play_request);

  // A folder with a single movie: the playlist goes again and that movie plays alone, as from
  // the command line; so does the one movie among several files dropped.
  PlaylistActions b = Playlist_Dropped(model, {one}, false);
  EXPECT_TRUE(b.destroy_window);
  EXPECT_FALSE(b.create_window);
  EXPECT_TRUE(b.play_request);
  EXPECT_EQ(b.current_path, one + "/only.kqm");
  EXPECT_FALSE(b.listed_no_movie);
  EXPECT_EQ(model.file_count, 1);
  EXPECT_FALSE(model.window_open);
  PlaylistActions b2 = Playlist_Dropped(model, {one + "/cover.png", three + "/c.kqm"}, false);
  EXPECT_TRUE(b2.play_request);
  EXPECT_EQ(b2.current_path, three + "/c.kqm");
  EXPECT_EQ(model.file_count, 1);

  // Dropped files or a folder without a movie: the playlist goes, but the movie there was stays
  // one to play (Play, Full Screen and Zoom Off go by the count), as after the close box.
  std::string none = MakeFolder(scratch, "none", {"notes.txt", "cover.png"});
  Playlist_Dropped(model, {three}, false);
  for (const Lines& paths : {Lines{none}, Lines{none + "/notes.txt", none + "/cover.png"}}) {
    PlaylistActions c = Playlist_Dropped(model, paths, false);
    EXPECT_TRUE(c.destroy_window);
    EXPECT_FALSE(c.play_request || c.current_path);
    EXPECT_TRUE(c.listed_no_movie);
    EXPECT_EQ(model.file_count, 1);
  }
  PlaylistModel empty;  // nothing chosen yet: still nothing to play
  Playlist_Dropped(empty, {none}, false);
  EXPECT_EQ(empty.file_count, 0);
}

TEST(Playlist, DroppingSeveralFilesListsTheLastFirst) {
  ScratchFolder scratch;
  std::string d1 = MakeFolder(scratch, "d1", {"A.kqm", "B.kqm", "C.kqm", "skip.txt"});
  std::string d2 = MakeFolder(scratch, "d2", {"x.kqs", "y.kqm"});
  PlaylistModel model;
  Playlist_Dropped(model, {d1 + "/A.kqm", d1 + "/B.kqm", d1 + "/skip.txt", d1 + "/C.kqm"}, false);
  EXPECT_EQ(model.lines, (Lines{"C.kqm", "B.kqm", "A.kqm"}));
  EXPECT_EQ(model.folder_count(), 1);

  // Files from two folders, dropped in the order d1, d1, d2, d2: d2's come first.
  PlaylistActions two =
      Playlist_Dropped(model, {d1 + "/A.kqm", d1 + "/B.kqm", d2 + "/x.kqs", d2 + "/y.kqm"}, false);
  EXPECT_TRUE(two.create_window);
  EXPECT_EQ(model.lines, (Lines{"y.kqm", "x.kqs", "B.kqm", "A.kqm"}));
  ASSERT_EQ(model.folder_count(), 2);
  EXPECT_EQ(model.folders[1].first_index, 2);
  EXPECT_EQ(FolderOfLine(model, 0), d2);
  EXPECT_EQ(FolderOfLine(model, 1), d2);
  EXPECT_EQ(FolderOfLine(model, 2), d1);
  EXPECT_EQ(FolderOfLine(model, 3), d1);
  EXPECT_EQ(PathOfLine(model, 3), d1 + "/A.kqm");

  // Dropped on the playlist they are appended; the first line plays again.
  model.list_index = 3;
  PlaylistActions more = Playlist_Dropped(model, {d1 + "/C.kqm", d2}, true);
  EXPECT_FALSE(more.create_window);
  EXPECT_TRUE(more.lines_changed);
  EXPECT_EQ(model.lines, (Lines{"y.kqm", "x.kqs", "B.kqm", "A.kqm", "x.kqs", "y.kqm", "C.kqm"}));
  EXPECT_EQ(FolderOfLine(model, 4), d2);
  EXPECT_EQ(PathOfLine(model, 6), d1 + "/C.kqm");
  EXPECT_EQ(more.current_path, d2 + "/y.kqm");
  EXPECT_EQ(model.list_index, 0);
}

TEST(Playlist, FilesAroundADroppedFolderKeepTheirOwnFolder) {
  ScratchFolder scratch;
  std::string d1 = MakeFolder(scratch, "d1", {"a.kqm", "b.kqm"});
  std::string d2 = MakeFolder(scratch, "d2", {"m.kqm"});
  PlaylistModel model;
  // Reversed: b (d1), the folder d2, then a, which must not be taken as one of d2's movies.
  Playlist_Dropped(model, {d1 + "/a.kqm", d2, d1 + "/b.kqm"}, false);
  EXPECT_EQ(model.lines, (Lines{"b.kqm", "m.kqm", "a.kqm"}));
  EXPECT_EQ(PathOfLine(model, 1), d2 + "/m.kqm");
  EXPECT_EQ(PathOfLine(model, 2), d1 + "/a.kqm");
}

TEST(Playlist, CommandLinePathsInTheOrderGiven) {
  ScratchFolder scratch;
  std::string d1 = MakeFolder(scratch, "d1", {"a.kqm", "notes.txt"});
  std::string d2 = MakeFolder(scratch, "d2", {"m10.kqm", "m2.KQS"});
  PlaylistModel model;
  PlaylistActions list =
      Playlist_CommandLine(model, {d1 + "/a.kqm", d1 + "/notes.txt", d2, d1 + "/a.kqm"});
  EXPECT_TRUE(list.create_window);
  EXPECT_EQ(model.lines, (Lines{"a.kqm", "m2.KQS", "m10.kqm", "a.kqm"}));
  EXPECT_EQ(PathOfLine(model, 3), d1 + "/a.kqm");
  EXPECT_EQ(list.current_path, d1 + "/a.kqm");
  EXPECT_TRUE(list.play_request);
  EXPECT_EQ(model.file_count, 4);

  // One movie among the paths plays alone; none leaves nothing to play.
  PlaylistActions one = Playlist_CommandLine(model, {d1 + "/notes.txt", d1 + "/a.kqm"});
  EXPECT_TRUE(one.destroy_window);
  EXPECT_FALSE(one.create_window);
  EXPECT_EQ(one.current_path, d1 + "/a.kqm");
  EXPECT_TRUE(one.play_request);
  EXPECT_EQ(model.file_count, 1);
  PlaylistActions none = Playlist_CommandLine(model, {d1 + "/notes.txt", scratch / "x.txt"});
  EXPECT_FALSE(none.play_request);
  EXPECT_FALSE(none.current_path);
  EXPECT_EQ(model.file_count, 0);
}

TEST(Playlist, FolderOfLineWithAnEmptyFolderBetween) {
  PlaylistModel model;
  model.window_open = true;
  Playlist_AddSelection(model, "/a", {"1.kqm", "2.kqm"});
  Playlist_ListFolder(model, "/nonexistent-folder-for-test");
  Playlist_AddSelection(model, "/c/", {"3.kqm", "readme.txt", "", "never"});
  EXPECT_EQ(model.lines, (Lines{"1.kqm", "2.kqm", "3.kqm", "readme.txt"}));
  EXPECT_EQ(FolderOfLine(model, 1), "/a");
  EXPECT_EQ(FolderOfLine(model, 2), "/c");
  EXPECT_EQ(PathOfLine(model, 3), "/c/readme.txt");
  EXPECT_EQ(FolderOfLine(PlaylistModel{}, 0), "");
}

TEST(Playlist, PreviousNextCloseAndChaining) {
  PlaylistModel model;
  model.window_open = true;
  Playlist_AddSelection(model, "/films", {"a.kqm", "b.kqm", "c.kqm"});

  EXPECT_FALSE(Playlist_Previous(model).play_request);  // on the first line
  EXPECT_EQ(Playlist_Next(model).current_path, "/films/b.kqm");
  EXPECT_EQ(Playlist_Next(model).current_path, "/films/c.kqm");
  PlaylistActions wrap = Playlist_Next(model);
  EXPECT_EQ(wrap.current_path, "/films/a.kqm");
  EXPECT_EQ(wrap.select_line, 0);
  EXPECT_EQ(Playlist_Previous(model).current_path, std::nullopt);
  EXPECT_EQ(Playlist_Select(model, 2).current_path, "/films/c.kqm");
  PlaylistActions back = Playlist_Previous(model);
  EXPECT_EQ(back.current_path, "/films/b.kqm");
  EXPECT_EQ(back.folder_label, "/films");
  EXPECT_TRUE(back.play_request);
  EXPECT_EQ(model.list_index, 1);
  EXPECT_FALSE(Playlist_Select(model, 3).play_request);
  EXPECT_FALSE(Playlist_Select(model, -1).play_request);

  // With "Enchaine" on, each end of a movie stops and moves on to the next one.
  std::vector<std::string> played;
  Playlist_Select(model, 0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(Stop_FollowUp(false, true, true, model.file_count, 0), StopFollowUp::kClickNext);
    played.push_back(*Playlist_Next(model).current_path);
  }
  EXPECT_EQ(played, (Lines{"/films/b.kqm", "/films/c.kqm", "/films/a.kqm", "/films/b.kqm"}));
  EXPECT_EQ(Stop_FollowUp(true, true, true, 3, 0), StopFollowUp::kClickPlay);
  EXPECT_EQ(Stop_FollowUp(true, false, true, 3, 0), StopFollowUp::kClickNext);
  EXPECT_EQ(Stop_FollowUp(false, true, false, 3, 0), StopFollowUp::kNothing);
  EXPECT_EQ(Stop_FollowUp(false, true, true, 1, 0), StopFollowUp::kNothing);

  // The close box: the current movie stays playable alone; Previous and Next then do nothing.
  PlaylistActions closed = Playlist_CloseBox(model);
  EXPECT_TRUE(closed.destroy_window);
  EXPECT_EQ(model.file_count, 1);
  EXPECT_FALSE(Playlist_Next(model).play_request);
  EXPECT_FALSE(Playlist_Previous(model).play_request);
}

TEST(Playlist, OpenFileDialogChoices) {
  PlaylistModel model;
  PlaylistActions cancelled = Playlist_OpenFiles(model, {});
  EXPECT_TRUE(cancelled.repaint_panel);
  EXPECT_FALSE(cancelled.play_request);

  PlaylistActions several =
      Playlist_OpenFiles(model, {"/films/b.kqm", "/films/notes.txt", "/films/a.kqm"});
  EXPECT_TRUE(several.create_window);
  EXPECT_EQ(model.lines, (Lines{"b.kqm", "notes.txt", "a.kqm"}));  // as chosen, not tested
  EXPECT_EQ(model.folder_count(), 1);
  EXPECT_EQ(several.current_path, "/films/b.kqm");
  EXPECT_TRUE(several.play_request);

  PlaylistActions one = Playlist_OpenFiles(model, {"/other/x.kqs"});
  EXPECT_TRUE(one.destroy_window);
  EXPECT_EQ(one.current_path, "/other/x.kqs");
  EXPECT_TRUE(one.play_request);
  EXPECT_EQ(model.file_count, 1);
  EXPECT_FALSE(Playlist_Next(model).play_request);

  EXPECT_EQ(OpenDialogFolder("", "/opt/tarvel"), "/opt/tarvel");
  EXPECT_EQ(OpenDialogFolder("/films/x.kqm", "/opt/tarvel"), "/films");
}

}  // namespace
}  // namespace tarvel
