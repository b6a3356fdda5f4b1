// The playlist window, the Options and About dialogs, the open-file dialog, the settings file
// as the viewer reads and writes it, window positions kept between runs, and the association
// offer at start-up; ends with a folder of demo movies chained one after another.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/deadline_audio_device.h"
#include "support/scratch.h"
#include "support/stuck_device.h"
#include "ui/dialogs.h"
#include "ui/viewer_fixture.h"

namespace tarvel::test {
namespace {

QString ReadText(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("<missing>");
  return QString::fromLatin1(file.readAll());
}

bool WriteText(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// A copy of the short silent conformance movie under another name.
void CopyMovie(const QString& to) {
  QDir().mkpath(QFileInfo(to).path());
  ASSERT_TRUE(QFile::copy(Conformance(kSilentMovie), to)) << to.toStdString();
}

// A folder of `scratch` holding copies of the short silent movie, its name and theirs taken byte
// for byte (names that are not UTF-8, or hold control characters).
std::string MovieFolder(const ScratchFolder& scratch, const char* name,
                        std::initializer_list<const char*> movies) {
  const std::string folder = scratch.path() + name;
  std::filesystem::create_directory(folder);
  for (const char* movie : movies)
    std::filesystem::copy_file(Conformance(kSilentMovie).toStdString(), folder + movie);
  return folder;
}

// Keeps a picture of `widget` in the artifacts folder.
void SaveShot(QWidget& widget, const char* name) {
  const QString folder = QString::fromLatin1(TARVEL_ARTIFACT_DIR);
  QDir().mkpath(folder);
  EXPECT_TRUE(widget.grab().save(folder + QLatin1Char('/') + QLatin1String(name) + ".png"));
}

// Files dropped on `target` as a file manager drops them.
void Drop(QWidget* target, const QMimeData& data) {
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
}

void Drop(QWidget* target, const QStringList& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& path : paths) urls.append(QUrl::fromLocalFile(path));
  data.setUrls(urls);
  Drop(target, data);
}

class PlaylistTest : public ViewerTest {
 protected:
  PlaylistWindow* Window() { return viewer->playlist_window(); }
  void ClickLine(int line) {
    QListWidget* list = Window()->list();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                      list->visualItemRect(list->item(line)).center());
  }
  std::string In(const QString& folder, const char* name) {
    return (folder + QLatin1Char('/') + QLatin1String(name)).toStdString();
  }
};

TEST_F(PlaylistTest, CommandLineMovieAndFolderMakeAPlaylist) {
  QTemporaryDir folder;
  const QString f = folder.path();
  CopyMovie(f + QStringLiteral("/sub/b10.kqm"));
  CopyMovie(f + QStringLiteral("/sub/b9.kqs"));
  CopyMovie(f + QStringLiteral("/a.kqm"));
  // `tarvel --loop a.kqm notes.txt sub`
  PlayerOptions options;
  options.loop = true;
  Start(
      {f + QStringLiteral("/a.kqm"), f + QStringLiteral("/notes.txt"), f + QStringLiteral("/sub")},
      options);
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->LineTexts(), (QStringList{QStringLiteral("a.kqm"), QStringLiteral("b9.kqs"),
                                                QStringLiteral("b10.kqm")}));
  EXPECT_EQ(state().file_count, 3);
  EXPECT_TRUE(state().loop_on);
  EXPECT_TRUE(Button(kIdLoopPlay)->checked());
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
  EXPECT_EQ(state().current_path, In(f, "a.kqm"));
  EXPECT_TRUE(Enabled(kIdNext));
  // An option is for this run only: the settings file knows nothing of it.
  EXPECT_EQ(viewer->settings().FenetreLibre, 0);
}

TEST_F(PlaylistTest, CommandLineFolderWhoseNameIsNotUtf8) {
  // A folder named in another encoding (Latin-1 "films\xe9") alone on the command line. The
  // scratch folder is removed by its names' bytes (Qt's temporary folder leaves such names).
  ScratchFolder scratch;
  const std::string folder = MovieFolder(scratch, "/films\xe9", {"/a.kqm", "/b.kqm"});
  // Under a Latin-1 locale the name is shown in it, as the user's terminal does.
  struct Locale {
    std::string before = std::setlocale(LC_CTYPE, nullptr);
    bool latin1 = std::setlocale(LC_CTYPE, "de_DE.ISO-8859-1") != nullptr;
    ~Locale() { std::setlocale(LC_CTYPE, before.c_str()); }
  } locale;
  ASSERT_TRUE(locale.latin1) << "no de_DE.ISO-8859-1 locale: scripts/setup makes it";
  viewer = std::make_unique<Viewer>(player, Seams(), PlayerOptions{});
  viewer->Startup({folder});
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(state().file_count, 2);
  EXPECT_TRUE(notices.empty()) << notices.join(u'|').toStdString();
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
  EXPECT_EQ(state().current_path, folder + "/a.kqm");
  // Every byte of the path is a Latin-1 letter, the temporary folder's included.
  const QString shown = QString::fromLatin1(scratch.path()) + QStringLiteral("/films\u00e9");
  EXPECT_EQ(Window()->FolderText(), shown);
  EXPECT_EQ(viewer->video().video_window()->windowTitle(), shown + QStringLiteral("/a.kqm"));
}

TEST_F(PlaylistTest, DroppedNamesAreTakenByteForByte) {
  // As a file manager may send them: a Latin-1 name's byte escaped, and URLs of this machine,
  // by the name "localhost" and by its own.
  ScratchFolder scratch;
  const std::string folder = scratch.path();
  for (const char* name : {"/caf\xe9.kqm", "/b c.kqm", "/d.kqm"})
    std::filesystem::copy_file(Conformance(kSilentMovie).toStdString(), folder + name);
  Start();
  // Escaped byte by byte: the temporary folder's name need not be UTF-8 either.
  const QByteArray url = "file://" + QByteArray::fromStdString(folder).toPercentEncoding("/");
  const auto on_host = [&url](const QString& host) {
    return url.sliced(0, 7) + QUrl::toAce(host) + url.sliced(7);
  };
  QMimeData data;
  data.setData(QStringLiteral("text/uri-list"),
               on_host(QSysInfo::machineHostName()) + "/d.kqm\r\n" + url + "/caf%E9.kqm\r\n" +
                   on_host(QStringLiteral("localhost")) + "/b%20c.kqm\r\n" + url +
                   "/d.kqm%00/c.kqm\r\n");  // no file's name: it is not cut at the zero byte
  Drop(&panel(), data);
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(state().file_count, 3);
  EXPECT_EQ(state().current_path, folder + "/b c.kqm");  // the last dropped comes first
  ClickLine(1);
  EXPECT_EQ(state().current_path, folder + "/caf\xe9.kqm");
  ClickLine(2);
  EXPECT_EQ(state().current_path, folder + "/d.kqm");
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
}

TEST_F(PlaylistTest, ALineFeedInANameIsShownOnItsLine) {
  // A line of the list is one line of text: a line feed in a file's or a folder's name shows
  // as the status bar and standard error write it.
  ScratchFolder scratch;
  const std::string folder = MovieFolder(scratch, "/two\nlines", {"/line\nfeed.kqm", "/plain.kqm"});
  viewer = std::make_unique<Viewer>(player, Seams(), PlayerOptions{});
  viewer->Startup({folder});  // as bytes: the temporary folder's name need not be UTF-8
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->LineTexts(), QStringList({"line\\x0Afeed.kqm", "plain.kqm"}));
  EXPECT_EQ(Window()->FolderText(), InTheLocale(scratch.path()) + "/two\\x0Alines");
  EXPECT_EQ(state().current_path, folder + "/line\nfeed.kqm");
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_EQ(viewer->video().video_window()->windowTitle(),
            Window()->FolderText() + "/line\\x0Afeed.kqm");
}

TEST_F(PlaylistTest, ScreenReadersHearTheWholeFolderTheLabelShortens) {
  QTemporaryDir folder;
  const QString f = folder.path() + QStringLiteral("/a folder whose name is far too long to fit");
  for (const char* name : {"m1.kqm", "m2.kqm"}) CopyMovie(f + "/" + name);
  Start();
  Drop(&panel(), {f});
  ASSERT_NE(Window(), nullptr);
  ASSERT_NE(Window()->folder_label()->text(), f);
  EXPECT_EQ(
      QAccessible::queryAccessibleInterface(Window()->folder_label())->text(QAccessible::Name), f);
}

TEST_F(PlaylistTest, FolderDropListsItsMoviesAndPlaysThemByLine) {
  QTemporaryDir folder;
  const QString f = folder.path();
  // Natural order without regard to case: M1, m2, m10. The rest is not listed.
  for (const char* name : {"m10.kqm", "m2.kqm", "M1.KQS"}) CopyMovie(f + "/" + name);
  ASSERT_TRUE(WriteText(f + "/notes.txt", "notes"));
  ASSERT_TRUE(WriteText(f + "/x.kqz", "not a movie"));
  ASSERT_TRUE(QDir(f).mkdir(QStringLiteral("sub.kqm")));
  Start();
  Drop(&panel(), {f});

  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->windowTitle(), QStringLiteral("PlayList"));
  EXPECT_TRUE((Window()->windowFlags() & Qt::Tool) == Qt::Tool);
  EXPECT_FALSE(Window()->isHidden());
  // 136 x 257 dialog units at 6/4 and 13/8 pixels, rounded (257 x 13 / 8 = 417.6 -> 418); the
  // label at (12, 0) 124 x 20 (20 x 13 / 8 = 32.5 -> 33), the list at (0, 20) 136 x 236
  // (383.5 -> 384), the decoration at (0, 0) 15 x 13 (22.5 -> 23, 21.1 -> 21).
  EXPECT_EQ(Window()->size(), QSize(204, 418));
  EXPECT_EQ(Window()->folder_label()->geometry(), QRect(18, 0, 186, 33));
  EXPECT_EQ(Window()->list()->geometry(), QRect(0, 33, 204, 384));
  EXPECT_EQ(Window()->decoration()->geometry(), QRect(0, 0, 23, 21));
  EXPECT_FALSE(Window()->decoration()->pixmap().isNull());
  // The folder's name begins past the picture that the label's left end lies under.
  const QLabel* label = Window()->folder_label();
  EXPECT_GE(label->x() + label->contentsRect().left(), 23);

  EXPECT_EQ(Window()->LineTexts(), QStringList({"M1.KQS", "m2.kqm", "m10.kqm"}));
  EXPECT_EQ(Window()->SelectedLine(), 0);
  EXPECT_EQ(Window()->FolderText(), f);
  EXPECT_EQ(state().current_path, In(f, "M1.KQS"));
  EXPECT_TRUE(state().play_request);
  EXPECT_EQ(state().file_count, 3);
  EXPECT_EQ(state().list_index, 0);
  EXPECT_TRUE(Enabled(kIdNext));
  EXPECT_TRUE(Enabled(kIdPrevious));
  EXPECT_TRUE(Enabled(kIdPlay));

  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_EQ(viewer->video().video_window()->windowTitle().toStdString(), In(f, "M1.KQS"));
  // Docked: the playlist to the right of the video window, the panel under it.
  TurnFor(20);
  const QRect video = viewer->video().video_window()->frameGeometry();
  EXPECT_EQ(Window()->frameGeometry().topLeft(), QPoint(video.right() + 1, video.top()));
  EXPECT_EQ(panel().pos(), QPoint(video.left(), video.bottom() + 1));

  // The user picks the last line: it plays in place of the first.
  ClickLine(2);
  EXPECT_EQ(state().list_index, 2);
  EXPECT_EQ(state().current_path, In(f, "m10.kqm"));
  EXPECT_TRUE(state().play_request);
  Turn();
  EXPECT_TRUE(Playing());
  EXPECT_FALSE(state().play_request);
  EXPECT_EQ(viewer->video().video_window()->windowTitle().toStdString(), In(f, "m10.kqm"));

  // Page Down on the last line wraps to the first; Page Up there does nothing.
  Key(Qt::Key_PageDown);
  EXPECT_EQ(state().list_index, 0);
  EXPECT_EQ(Window()->SelectedLine(), 0);
  EXPECT_EQ(state().current_path, In(f, "M1.KQS"));
  Key(Qt::Key_PageUp);
  EXPECT_EQ(state().list_index, 0);
  Key(Qt::Key_PageDown);
  Key(Qt::Key_PageDown);
  Key(Qt::Key_PageUp);
  EXPECT_EQ(state().list_index, 1);
  EXPECT_EQ(Window()->SelectedLine(), 1);
  EXPECT_EQ(state().current_path, In(f, "m2.kqm"));

  // In the list that has the focus, the player's keys do what they do elsewhere (Page Down the
  // next movie, not a page further; End the last frame, not the last line); Up still moves.
  ClickLine(0);
  QTest::keyClick(Window()->list(), Qt::Key_PageDown);
  EXPECT_EQ(state().list_index, 1);
  QTest::keyClick(Window()->list(), Qt::Key_End);
  EXPECT_EQ(state().list_index, 1);
  QTest::keyClick(Window()->list(), Qt::Key_Up);
  EXPECT_EQ(state().list_index, 0);

  // Moving the playlist pulls the other two along.
  Window()->move(600, 300);
  TurnFor(20);
  const QSize video_size = viewer->video().video_window()->frameGeometry().size();
  EXPECT_EQ(viewer->video().video_window()->frameGeometry().topLeft(),
            QPoint(600 - video_size.width(), 300));
  EXPECT_EQ(panel().pos(), QPoint(600 - video_size.width(), 300 + video_size.height()));
  EXPECT_EQ(viewer->settings().playlist_window.x, 600);
  EXPECT_EQ(viewer->settings().playlist_window.y, 300);
}

TEST_F(PlaylistTest, RepeatsLeftWaitingByABusyPlayerMoveOneLine) {
  QTemporaryDir folder;
  const QString f = folder.path();
  for (const char* name : {"/a.kqm", "/b.kqm", "/c.kqm", "/d.kqm"})
    CopyMovie(f + QLatin1String(name));
  Start({f});
  Turn();
  ASSERT_EQ(state().list_index, 0);
  // On a starved player the repeats of a held key pile up with no turn between them: they move
  // one line, not one each, long after the key was let go.
  Key(Qt::Key_PageDown);
  KeyRepeat(Qt::Key_PageDown);
  KeyRepeat(Qt::Key_PageDown);
  EXPECT_EQ(state().list_index, 1);
  Turn();
  KeyRepeat(Qt::Key_PageDown);
  KeyRepeat(Qt::Key_PageDown);
  EXPECT_EQ(state().list_index, 2);
  Turn();
  KeyRepeat(Qt::Key_PageUp);
  KeyRepeat(Qt::Key_PageUp);
  EXPECT_EQ(state().list_index, 1);
  // So do the list's own Down and Up.
  Turn();
  for (int i = 0; i < 2; ++i) {
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(Window()->list(), &down);
  }
  EXPECT_EQ(state().list_index, 2);
  EXPECT_EQ(state().current_path, In(f, "c.kqm"));
}

TEST_F(PlaylistTest, DropsAppendReplaceOrPlayAlone) {
  QTemporaryDir folder;
  const QString one = folder.filePath(QStringLiteral("one"));
  const QString first = folder.filePath(QStringLiteral("first"));
  const QString second = folder.filePath(QStringLiteral("second"));
  CopyMovie(one + "/only.kqm");
  for (const char* name : {"/A.kqm", "/B.kqm"}) CopyMovie(first + name);
  CopyMovie(second + "/C.kqm");
  Start();

  // A folder with one movie plays it alone, as on the command line.
  Drop(&panel(), {one});
  EXPECT_EQ(Window(), nullptr);
  EXPECT_EQ(state().file_count, 1);
  EXPECT_EQ(state().current_path, In(one, "only.kqm"));
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }));

  // A text file changes nothing.
  Drop(&panel(), {folder.filePath(QStringLiteral("notes.txt"))});
  EXPECT_FALSE(state().play_request);
  // A web browser's link is no file to play: refused as it comes, so the pointer says so.
  QMimeData link;
  link.setUrls({QUrl(QStringLiteral("https://example.org/movie.kqm"))});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &link, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&panel(), &enter);
  EXPECT_FALSE(enter.isAccepted());
  // A folder without movies says so, dropped anywhere.
  const QString none = folder.filePath(QStringLiteral("none"));
  ASSERT_TRUE(QDir().mkpath(none));
  Drop(&panel(), {none});
  EXPECT_EQ(notices, QStringList{none + QStringLiteral(": no movies in this folder")});
  // So do several files among which there is none.
  Drop(&panel(), {folder.filePath(QStringLiteral("notes.txt")), none});
  EXPECT_EQ(notices.back(),
            folder.filePath(QStringLiteral("notes.txt: no movies among the 2 files dropped")));

  // A, B, C dropped in that order are listed C, B, A, under two folders.
  Drop(&panel(), {first + "/A.kqm", first + "/B.kqm", second + "/C.kqm"});
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->LineTexts(), QStringList({"C.kqm", "B.kqm", "A.kqm"}));
  EXPECT_EQ(Window()->FolderText(), second);
  EXPECT_EQ(state().current_path, In(second, "C.kqm"));
  ClickLine(1);
  EXPECT_EQ(Window()->FolderText(), first);
  EXPECT_EQ(state().current_path, In(first, "B.kqm"));

  // Dropped on the playlist, a folder is added to the list, which starts again at its top.
  PlaylistWindow* window = Window();
  Drop(window, {first});
  EXPECT_EQ(Window(), window);
  EXPECT_EQ(Window()->LineTexts(), QStringList({"C.kqm", "B.kqm", "A.kqm", "A.kqm", "B.kqm"}));
  EXPECT_EQ(state().file_count, 5);
  EXPECT_EQ(Window()->SelectedLine(), 0);
  ClickLine(3);
  EXPECT_EQ(state().current_path, In(first, "A.kqm"));
  // A drop there that adds no movie leaves the list and its movie as they are.
  state().play_request = false;
  Drop(window, {none});
  EXPECT_EQ(Window()->LineTexts().size(), 5);
  EXPECT_EQ(Window()->SelectedLine(), 3);
  EXPECT_EQ(state().current_path, In(first, "A.kqm"));
  EXPECT_FALSE(state().play_request);

  // Dropped anywhere else, files make a new list.
  Drop(&panel(), {first + "/A.kqm", second + "/C.kqm"});
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->LineTexts(), QStringList({"C.kqm", "A.kqm"}));
  EXPECT_EQ(state().file_count, 2);

  // The close box: the list goes, the current movie stays the one to play.
  Window()->close();
  EXPECT_EQ(Window(), nullptr);
  EXPECT_EQ(state().file_count, 1);
  EXPECT_EQ(state().current_path, In(second, "C.kqm"));
  EXPECT_FALSE(Enabled(kIdNext));
  EXPECT_TRUE(Enabled(kIdPlay));

  // One movie dropped plays on its own.
  state().play_request = false;
  Drop(&panel(), {one + "/only.kqm"});
  EXPECT_EQ(Window(), nullptr);
  EXPECT_EQ(state().current_path, In(one, "only.kqm"));
  EXPECT_TRUE(state().play_request);
  QApplication::processEvents();  // windows given up during the drops go now
}

TEST_F(PlaylistTest, OneMovieDroppedOnThePlaylistJoinsIt) {
  QTemporaryDir folder;
  const QString first = folder.filePath(QStringLiteral("first"));
  const QString other = folder.filePath(QStringLiteral("other"));
  for (const char* name : {"/A.kqm", "/B.kqm"}) CopyMovie(first + name);
  CopyMovie(other + "/C.kqm");
  Start();
  Drop(&panel(), {first});
  ASSERT_NE(Window(), nullptr);
  ClickLine(1);

  // The list gets one more line, from its own folder, and starts again at its top as a folder
  // dropped there does; it is not given up for the one movie.
  PlaylistWindow* window = Window();
  Drop(window, {other + "/C.kqm"});
  EXPECT_EQ(Window(), window);
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->LineTexts(), QStringList({"A.kqm", "B.kqm", "C.kqm"}));
  EXPECT_EQ(state().file_count, 3);
  EXPECT_EQ(Window()->SelectedLine(), 0);
  EXPECT_EQ(state().current_path, In(first, "A.kqm"));
  ClickLine(2);
  EXPECT_EQ(state().current_path, In(other, "C.kqm"));
  EXPECT_EQ(Window()->FolderText(), other);
}

TEST_F(PlaylistTest, OpenFilesDialog) {
  QTemporaryDir folder;
  const QString f = folder.path();
  for (const char* name : {"/z.kqm", "/a.kqm", "/m.kqs"}) CopyMovie(f + name);
  Start();

  // Cancelled: nothing changes. With no movie chosen yet it opens in the program's folder.
  viewer->Click(kIdOpenFiles);
  ASSERT_EQ(open_dialog_folders.size(), 1);
  EXPECT_EQ(open_dialog_folders[0], QCoreApplication::applicationDirPath());
  EXPECT_EQ(state().file_count, 0);
  EXPECT_FALSE(state().play_request);

  // One file plays alone.
  chosen_files = {f + "/a.kqm"};
  viewer->Click(kIdOpenFiles);
  EXPECT_EQ(Window(), nullptr);
  EXPECT_EQ(state().file_count, 1);
  EXPECT_EQ(state().current_path, In(f, "a.kqm"));
  EXPECT_TRUE(state().play_request);

  // Several make a playlist in the order chosen; the next dialog opens in their folder.
  state().play_request = false;
  chosen_files = {f + "/z.kqm", f + "/a.kqm", f + "/m.kqs"};
  viewer->Click(kIdOpenFiles);
  EXPECT_EQ(open_dialog_folders.last(), f);
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->LineTexts(), QStringList({"z.kqm", "a.kqm", "m.kqs"}));
  EXPECT_EQ(state().file_count, 3);
  EXPECT_EQ(state().current_path, In(f, "z.kqm"));
  EXPECT_TRUE(state().play_request);
  EXPECT_TRUE(Enabled(kIdNext));
}

// The files the open-file dialog offers in its folder (enabled entries that are not folders).
QStringList Offered(QFileDialog& dialog) {
  QStringList names;
  const QListView* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
  if (view == nullptr) return {QStringLiteral("<no list>")};
  const QAbstractItemModel* model = view->model();
  for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
    const QModelIndex index = model->index(row, 0, view->rootIndex());
    if ((model->flags(index) & Qt::ItemIsEnabled) && !model->hasChildren(index))
      names.append(index.data().toString());
  }
  names.sort();
  return names;
}

TEST(NoticeBoxTest, ComesBesideThePanelNotOverIt) {
  QWidget panel(nullptr, Qt::Window | Qt::FramelessWindowHint);
  panel.resize(474, 111);
  // A control of the panel, which the X server draws into the panel's own window.
  QWidget counter(&panel);
  const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
  // Room only below the panel, then above it.
  for (const int y : {room.top(), room.bottom() + 1 - 111}) {
    panel.move(room.left(), y);
    panel.show();
    QPointer<QMessageBox> box;
    ShowNoticeBox(box, &panel, QStringLiteral("m.kqm: no such file"));
    ASSERT_FALSE(box.isNull());
    EXPECT_FALSE(box->frameGeometry().intersects(panel.frameGeometry())) << y;
    EXPECT_TRUE(room.contains(box->frameGeometry())) << y;
    // It stays drawn in the panel's window, not in a window of its own over what is drawn there.
    EXPECT_FALSE(counter.testAttribute(Qt::WA_NativeWindow)) << y;
    delete box;
  }
}

TEST(NoticeBoxTest, PassesThePlayersKeysOnToThePanel) {
  struct Panel : QWidget {
    QList<int> keys;
    void keyPressEvent(QKeyEvent* event) override { keys.append(event->key()); }
  } panel;
  panel.show();
  QPointer<QMessageBox> box;
  ShowNoticeBox(box, &panel, QStringLiteral("m.kqm: no such file"));
  ASSERT_FALSE(box.isNull());
  QAbstractButton* ok = box->buttons().front();
  // Typed with its OK button in focus, which takes the arrows for itself otherwise.
  QTest::keyClick(ok, Qt::Key_PageDown);
  QTest::keyClick(ok, Qt::Key_Left);
  EXPECT_EQ(panel.keys, QList<int>({Qt::Key_PageDown, Qt::Key_Left}));
  // Its own keys stay with it: Escape closes it rather than quitting.
  QTest::keyClick(ok, Qt::Key_Escape);
  EXPECT_EQ(panel.keys.size(), 2);
  EXPECT_TRUE(box.isNull() || !box->isVisible());
  delete box;
}

TEST(NoticeBoxTest, AProblemSaidWhileItIsOpenJoinsTheLastOnes) {
  QWidget panel(nullptr, Qt::Window | Qt::FramelessWindowHint);
  panel.resize(474, 111);
  // Room above the panel only: the box, growing, stays above it.
  const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
  panel.move(room.left(), room.bottom() + 1 - 111);
  panel.show();
  QPointer<QMessageBox> box;
  // At start-up: the settings file, then the movie of the command line.
  ShowNoticeBox(box, &panel, QStringLiteral("viewkqm.ini: cannot be read"));
  ShowNoticeBox(box, &panel, QStringLiteral("a.kqm: no such file"));
  ASSERT_FALSE(box.isNull());
  EXPECT_EQ(box->text().toStdString(), "viewkqm.ini: cannot be read\na.kqm: no such file");
  // The same problem again is not said twice; only the last three are kept.
  for (const char* line : {"b.kqm: no such file", "a.kqm: no such file", "c.kqm: no such file"})
    ShowNoticeBox(box, &panel, QString::fromLatin1(line));
  EXPECT_EQ(box->text().toStdString(),
            "b.kqm: no such file\na.kqm: no such file\nc.kqm: no such file");
  EXPECT_FALSE(box->frameGeometry().intersects(panel.frameGeometry()));
  delete box;
}

TEST(NoticeBoxTest, ANameThatLooksLikeMarkupIsShownAsItIs) {
  QWidget panel;
  panel.show();
  QPointer<QMessageBox> box;
  const QString text = QStringLiteral("/m/<b>x</b> &amp; <img src=y>.kqm: no such file");
  ShowNoticeBox(box, &panel, text);
  ASSERT_FALSE(box.isNull());
  auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
  ASSERT_NE(label, nullptr);
  // What a screen reader reads is what the box shows.
  EXPECT_EQ(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name).toStdString(),
            text.toStdString());
  delete box;
}

// The notice takes no keys, so screen readers, which read a dialog when it takes them, are told
// of it as a notification, read as it appears.
TEST(NoticeBoxTest, ScreenReadersAreToldOfItAsANotification) {
  QWidget panel;
  panel.show();
  QPointer<QMessageBox> box;
  ShowNoticeBox(box, &panel, QStringLiteral("/m/a.kqm: no such file"));
  ASSERT_FALSE(box.isNull());
  EXPECT_EQ(QAccessible::queryAccessibleInterface(box)->role(), QAccessible::Notification);
  delete box;
}

TEST(OpenDialogTest, FiltersMatchEitherLetterCase) {
  QTemporaryDir folder;
  for (const char* name : {"/a.kqm", "/B.KQM", "/c.kqs", "/D.KQS", "/notes.txt"})
    ASSERT_TRUE(WriteText(folder.path() + name, "x"));
  const std::unique_ptr<QFileDialog> dialog = MakeOpenDialog(nullptr, folder.path());
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Choice Kqm file"));
  EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
  EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("kqm"));
  EXPECT_EQ(dialog->nameFilters(), QStringList({"Fichier KQM (*.KQM)", "Fichier KQS (*.KQS)"}));
  dialog->show();
  const QStringList kqm = {"B.KQM", "a.kqm"};
  EXPECT_TRUE(QTest::qWaitFor([&] { return Offered(*dialog) == kqm; }, 5000))
      << Offered(*dialog).join(' ').toStdString();
  dialog->selectNameFilter(dialog->nameFilters()[1]);
  const QStringList kqs = {"D.KQS", "c.kqs"};
  EXPECT_TRUE(QTest::qWaitFor([&] { return Offered(*dialog) == kqs; }, 5000))
      << Offered(*dialog).join(' ').toStdString();
  dialog->reject();
}

TEST_F(ViewerTest, OptionsDialogOkAppliesTheCloseBoxOnlyKeeps) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  const QString written = ReadText(SettingsFile());

  // First time: check the boxes the user clicks, then the close box.
  on_dialog = [](QDialog& dialog) {
    auto& options = dynamic_cast<OptionsDialog&>(dialog);
    EXPECT_EQ(options.size(), QSize(168, 219));
    const std::pair<int, const char*> texts[] = {{1059, "No sound play"},
                                                 {1060, "Free Windows"},
                                                 {1061, "Auto Play"},
                                                 {1062, "Full Screen"},
                                                 {1063, "Link next Kqm "}};
    for (const auto& [id, text] : texts) {
      QCheckBox* box = options.CheckBox(id);
      if (box == nullptr) {
        ADD_FAILURE() << id;
        continue;
      }
      EXPECT_EQ(box->text(), QString::fromLatin1(text)) << id;
      // Opened from the working copies: only Auto Play is on.
      EXPECT_EQ(box->isChecked(), id == 1061) << id;
    }
    options.show();
    for (int id : {1059, 1060, 1063}) QTest::mouseClick(options.CheckBox(id), Qt::LeftButton);
    SaveShot(options, "options");
    options.close();
    return options.result();
  };
  viewer->Click(kIdOptions);
  EXPECT_EQ(dialogs_run, QStringList{QStringLiteral("Options")});
  // The switches changed, the working copies did not, and nothing was written.
  EXPECT_EQ(viewer->settings().NoSound, 1);
  EXPECT_EQ(viewer->settings().FenetreLibre, 1);
  EXPECT_EQ(viewer->settings().Enchaine, 1);
  EXPECT_FALSE(state().muted);
  EXPECT_FALSE(state().free_windows);
  EXPECT_FALSE(state().chain_movies);
  EXPECT_EQ(ReadText(SettingsFile()), written);

  // Second time it opens from the working copies again; Full Screen and Link next, then OK.
  on_dialog = [](QDialog& dialog) {
    auto& options = dynamic_cast<OptionsDialog&>(dialog);
    EXPECT_FALSE(options.CheckBox(1063)->isChecked());
    EXPECT_FALSE(options.CheckBox(1059)->isChecked());
    options.show();
    QTest::mouseClick(options.CheckBox(1062), Qt::LeftButton);
    QTest::mouseClick(options.CheckBox(1063), Qt::LeftButton);
    QTest::mouseClick(options.ok_button(), Qt::LeftButton);
    return options.result();
  };
  viewer->Click(kIdOptions);
  EXPECT_TRUE(state().chain_movies);
  EXPECT_FALSE(state().muted);
  // Confirmed during playback, Full Screen takes effect at once.
  EXPECT_TRUE(viewer->video().full_screen());
  EXPECT_TRUE(Button(kIdFullScreen)->checked());
  const QString text = ReadText(SettingsFile());
  EXPECT_TRUE(text.startsWith(QStringLiteral(
      "AutoPlay=1\nFullScreen=1\nFenetreLibre=0\nNoSound=0\nEnchaine=1\nRegister=1\n")))
      << text.toStdString();
}

TEST_F(ViewerTest, AboutDialogClosesOnlyWithOk) {
  Start();
  bool checked = false;
  on_dialog = [&checked](QDialog& dialog) {
    auto& about = dynamic_cast<AboutDialog&>(dialog);
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Tarvel"));
    EXPECT_FALSE(about.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(about.size(), QSize(420, 203));
    QStringList texts;
    for (const QLabel* label : about.findChildren<QLabel*>())
      if (!label->text().isEmpty()) texts.append(label->text());
    texts.sort();
    EXPECT_EQ(texts, QStringList({"Tool can play all Kqm6 file format.", "Viewer KQM6 Beta 2"}));
    EXPECT_EQ(about.picture()->geometry(), QRect(12, 20, 84, 91));  // 12 x 13 / 8 = 19.5 -> 20
    EXPECT_EQ(about.picture()->pixmap().size(), QSize(84, 91));
    about.show();
    SaveShot(about, "about");
    QTest::keyClick(&about, Qt::Key_Escape);
    EXPECT_TRUE(about.isVisible());
    about.close();
    EXPECT_TRUE(about.isVisible());
    QTest::mouseClick(about.ok_button(), Qt::LeftButton);
    EXPECT_FALSE(about.isVisible());
    checked = true;
    return about.result();
  };
  QTest::mouseClick(&panel(), Qt::RightButton, Qt::NoModifier, QPoint(200, 4));
  EXPECT_TRUE(checked);
}

TEST_F(ViewerTest, SettingsFileIsReadAtStartAndWrittenAtEveryPlay) {
  // In another order than the program writes it would be read by position; here every line is
  // in place, with values that differ from the defaults.
  const QByteArray file =
      "AutoPlay=0\nFullScreen=0\nFenetreLibre=1\nNoSound=1\nEnchaine=1\nRegister=1\n"
      "Wkqm=120,80\nWcmd=100,200\nWlist=0,50\n";
  ASSERT_TRUE(WriteText(SettingsFile(), file));
  Start();
  EXPECT_EQ(viewer->settings_path(), SettingsFile().toStdString());
  EXPECT_TRUE(questions.empty());  // Register is set
  EXPECT_TRUE(state().muted);
  EXPECT_FALSE(Button(kIdSoundOnOff)->checked());
  EXPECT_FALSE(state().auto_play);
  EXPECT_TRUE(state().free_windows);
  EXPECT_TRUE(state().chain_movies);
  EXPECT_EQ(panel().pos(), QPoint(100, 200));
  // The first Apply wrote it back unchanged.
  EXPECT_EQ(ReadText(SettingsFile()).toLatin1(), file);

  ASSERT_TRUE(QFile::remove(SettingsFile()));
  state().current_path = Conformance(kSilentMovie).toStdString();
  state().file_count = 1;
  state().play_request = true;
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_EQ(viewer->video().video_window()->frameGeometry().topLeft(), QPoint(120, 80));
  EXPECT_EQ(ReadText(SettingsFile()).toLatin1(), file);  // written again by Play
}

// The settings of a player whose sound was turned off last time.
constexpr char kSoundOffSettings[] =
    "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=1\nEnchaine=0\nRegister=1\n"
    "Wkqm=-1,-1\nWcmd=-1,-1\nWlist=-1,-1\n";

TEST_F(ViewerTest, ASoundCardOpensAtThePlayersVolume) {
  // The sound was turned off last time: the card is silent before it opens, since the engine
  // lets it play before a volume set after the start could reach it.
  ASSERT_TRUE(WriteText(SettingsFile(), kSoundOffSettings));
  Start({Conformance(kSoundMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  const std::vector<std::string> events = log->Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], "volume 0x00000000");
  EXPECT_EQ(events[1], "open");
}

TEST_F(ViewerTest, AMissingSoundCardIsNotToldWhileTheSoundIsOff) {
  // A machine without a sound card, on which the user turned the sound off.
  player.services.make_audio_device = [](void*) -> std::unique_ptr<AudioDevice> {
    CaptureOptions options;
    options.refuse_open = true;
    return std::make_unique<CaptureAudioDevice>(std::make_shared<CaptureLog>(), options);
  };
  ASSERT_TRUE(WriteText(SettingsFile(), kSoundOffSettings));
  Start({Conformance(kSoundMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_TRUE(notices.isEmpty());
  EXPECT_TRUE(viewer->video().status_bar()->problem().isEmpty());
  // Turned on, the sound cannot be heard: now that is said.
  QTest::mouseClick(panel().Control(kIdSoundOnOff), Qt::LeftButton);
  ASSERT_EQ(notices.size(), 1);
  EXPECT_TRUE(notices[0].startsWith(Conformance(kSoundMovie) +
                                    QStringLiteral(": the sound device could not be opened")));
  EXPECT_TRUE(notices[0].endsWith(QStringLiteral("; playing without sound")));
  EXPECT_EQ(viewer->video().status_bar()->problem(), notices[0]);
}

// A sound server that takes the connection and never answers: the player waited on the card's
// open for good, its windows unpainted, Stop and Close unheard, until it was killed.
TEST_F(ViewerTest, ASoundDeviceThatDoesNotAnswerLeavesThePlayerPlayingSilently) {
  static std::shared_ptr<StuckGate> gate;
  gate = std::make_shared<StuckGate>();
  player.services.make_audio_device = [](void*) -> std::unique_ptr<AudioDevice> {
    return std::make_unique<DeadlineAudioDevice>(
        std::make_unique<StuckDevice>(gate, StuckDevice::Stuck::kOpen),
        std::chrono::milliseconds(0));
  };
  PlayerOptions looping;
  looping.loop = true;
  Start({Conformance(kSoundMovie)}, looping);
  Turn();
  ASSERT_TRUE(Playing());
  // The frame clock plays it on while the open still waits.
  ASSERT_TRUE(TurnUntil([this] { return Status().pictures_presented >= 3; }));
  ASSERT_EQ(notices.size(), 1);
  EXPECT_EQ(notices[0], Conformance(kSoundMovie) +
                            QStringLiteral(": the sound device could not be opened: the sound "
                                           "device does not answer; playing without sound"));
  viewer->Click(kIdStop);
  EXPECT_TRUE(EngineIdle());
  // The next playback neither waits on it again nor says it again.
  viewer->Click(kIdPlay);
  ASSERT_TRUE(Playing());
  EXPECT_EQ(gate->Read(&StuckGate::opens), 1);
  EXPECT_EQ(notices.size(), 1);
  ASSERT_TRUE(QFile::remove(SettingsFile()));
  viewer->Click(kIdClose);
  EXPECT_TRUE(state().quit_requested);
  viewer.reset();
  EXPECT_TRUE(EngineIdle());
  EXPECT_TRUE(QFile::exists(SettingsFile()));
  // The open answers at last: the card is closed and freed then.
  gate->Release();
  DeadlineAudioDevice::WaitForLetGo();
  EXPECT_EQ(gate->Read(&StuckGate::closes), 1);
  EXPECT_EQ(gate->Read(&StuckGate::ends), 1);
}

TEST_F(ViewerTest, ASoundCardThatStopsWhileTheSoundIsOffIsToldWhenItIsTurnedOn) {
  // A sound card unplugged at once, on a player whose sound is turned off.
  player.services.make_audio_device = [](void*) -> std::unique_ptr<AudioDevice> {
    CaptureOptions options;
    options.timing = CaptureTiming::kSampleClock;
    options.lost_after = 0;
    return std::make_unique<CaptureAudioDevice>(std::make_shared<CaptureLog>(), options);
  };
  ASSERT_TRUE(WriteText(SettingsFile(), kSoundOffSettings));
  PlayerOptions looping;
  looping.loop = true;  // still playing whenever the card's loss is seen
  Start({Conformance(kSoundMovie)}, looping);
  ASSERT_TRUE(TurnUntil([this] { return Status().sound_lost; }));
  viewer->Click(kIdPause);
  Turn();
  EXPECT_TRUE(viewer->video().status_bar()->problem().isEmpty());
  QTest::mouseClick(panel().Control(kIdSoundOnOff), Qt::LeftButton);
  Turn();
  EXPECT_EQ(viewer->video().status_bar()->problem(),
            Conformance(kSoundMovie) +
                QStringLiteral(": the sound device stopped playing; going on without sound"));
}

TEST_F(ViewerTest, OnlyMovesOfThePanelAfterItsPlacementAreRecorded) {
  Start();
  TurnFor(20);
  // Centred by the program: nothing to keep, so the next start centres it again.
  EXPECT_EQ(viewer->settings().command_window.x, -1);
  EXPECT_TRUE(ReadText(SettingsFile()).contains(QStringLiteral("\nWcmd=-1,-1\n")));
  panel().move(40, 30);
  TurnFor(20);
  EXPECT_EQ(viewer->settings().command_window.x, 40);
  EXPECT_EQ(viewer->settings().command_window.y, 30);
}

TEST_F(ViewerTest, OnlyMovesOfTheVideoWindowFromWhereItWasCentredAreRecorded) {
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  TurnFor(20);
  // Its place taken before a window manager framed it is not kept: a window made again (after
  // full screen, at the next start) is centred again, frame and all.
  EXPECT_EQ(viewer->settings().video_window.x, -1);
  EXPECT_EQ(viewer->video().saved_position().x(), -1);
  viewer->video().video_window()->move(40, 30);
  TurnFor(20);
  EXPECT_EQ(viewer->settings().video_window.x, 40);
  EXPECT_EQ(viewer->settings().video_window.y, 30);
  EXPECT_EQ(viewer->video().saved_position(), QPoint(40, 30));
}

TEST_F(ViewerTest, PositionsAreKeptWhereTheDesktopAlonePlacesWindows) {
  const std::string file =
      "AutoPlay=1\nFullScreen=0\nFenetreLibre=1\nNoSound=0\nEnchaine=0\nRegister=1\n"
      "Wkqm=120,80\nWcmd=100,200\nWlist=5000,50\n";  // the playlist on a screen not here
  ASSERT_TRUE(WriteText(SettingsFile(), QByteArray::fromStdString(file)));
  ViewerSeams compositor = Seams();
  compositor.program_places_windows = [] { return false; };
  Start({Conformance(kSilentMovie)}, compositor);
  Turn();
  ASSERT_TRUE(Playing());
  // The places Qt reports there, which are not where the windows are.
  viewer->video().video_window()->move(-3, -30);
  panel().move(0, 0);
  TurnFor(20);
  viewer.reset();
  EXPECT_EQ(ReadText(SettingsFile()).toStdString(), file);
}

TEST_F(PlaylistTest, PositionsOffEveryScreenAreBroughtBack) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const int right = screen.x() + screen.width();
  const int bottom = screen.y() + screen.height();
  ASSERT_TRUE(WriteText(SettingsFile(),
                        "AutoPlay=1\nFullScreen=0\nFenetreLibre=1\nNoSound=0\nEnchaine=0\n"
                        "Register=1\nWkqm=5000,30\nWcmd=2147483647,2147483647\n"
                        "Wlist=1,-2147483648\n"));
  Start();
  // A 100 x 40 corner of each comes back onto the screen; the playlist's title bar comes down.
  // The largest numbers a file may hold, too (their windows' far corners overflowed).
  EXPECT_EQ(panel().pos(), QPoint(right - 100, bottom - 40));
  EXPECT_EQ(ReadText(SettingsFile()).section(QLatin1Char('\n'), 6, 8),
            QStringLiteral("Wkqm=%1,30\nWcmd=%2,%3\nWlist=1,%4")
                .arg(right - 100)
                .arg(right - 100)
                .arg(bottom - 40)
                .arg(screen.y()));
  QTemporaryDir folder;
  for (const char* name : {"/a.kqm", "/b.kqm"}) CopyMovie(folder.path() + name);
  Drop(&panel(), {folder.path()});
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->frameGeometry().topLeft(), QPoint(1, screen.y()));
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_EQ(viewer->video().video_window()->frameGeometry().topLeft(), QPoint(right - 100, 30));
}

TEST_F(PlaylistTest, ADockedPanelStaysWithinReach) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const int bottom = screen.y() + screen.height();
  // The video window's saved place leaves room for its title bar only: the panel docked under
  // it would be below the screen.
  ASSERT_TRUE(WriteText(SettingsFile(),
                        "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=0\nEnchaine=0\n"
                        "Register=1\nWkqm=100," +
                            QByteArray::number(bottom - 60) + "\nWcmd=10,10\nWlist=10,10\n"));
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  TurnFor(20);
  EXPECT_EQ(viewer->video().video_window()->frameGeometry().topLeft(), QPoint(100, bottom - 60));
  EXPECT_EQ(panel().x(), 100);
  EXPECT_EQ(panel().y(), bottom - 40);  // its 100 x 40 corner on the screen
}

TEST_F(ViewerTest, WindowsLeftOffAScreenMadeSmallerComeBack) {
  PlayerOptions options;
  options.free_windows = true;
  Start({Conformance(kSilentMovie)}, options);
  Turn();
  ASSERT_TRUE(Playing());
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen->availableGeometry();
  const int right = area.x() + area.width();
  const int bottom = area.y() + area.height();
  // Where they stood on the larger screen there was before its resolution was changed.
  QWidget* video = viewer->video().video_window();
  video->move(right + 900, area.y() + 10);
  panel().move(right + 600, bottom + 400);
  emit screen->geometryChanged(screen->geometry());
  // A 100 x 40 corner of each comes back onto the screen.
  EXPECT_EQ(video->frameGeometry().topLeft(), QPoint(right - 100, area.y() + 10));
  EXPECT_EQ(panel().frameGeometry().topLeft(), QPoint(right - 100, bottom - 40));
}

TEST_F(ViewerTest, SettingsThatCannotBeSavedAreToldOnce) {
  // The configuration folder would have to go inside a file.
  ASSERT_TRUE(WriteText(home.filePath(QStringLiteral("file")), "x"));
  qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("file/config")).toLocal8Bit());
  testing::internal::CaptureStderr();
  Start({Conformance(kSilentMovie)});
  Turn();  // Play writes the settings again
  ASSERT_TRUE(Playing());
  const std::string errors = testing::internal::GetCapturedStderr();
  const QString expected = home.filePath(QStringLiteral("file/config/tarvel/viewkqm.ini")) +
                           QStringLiteral(
                               ": cannot be written: a file is in the way; settings will "
                               "not be kept after this run");
  EXPECT_EQ(notices, QStringList{expected});
  EXPECT_NE(errors.find("tarvel: " + expected.toStdString() + "\n"), std::string::npos);
}

TEST_F(ViewerTest, AnotherPlayersSettingsWrittenMeanwhileAreKept) {
  ASSERT_TRUE(WriteText(SettingsFile(), kSoundOffSettings));
  Start();
  // A second player, started from the same file, turns Link next on and moves its playlist.
  ASSERT_TRUE(WriteText(SettingsFile(),
                        "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=1\nEnchaine=1\n"
                        "Register=1\nWkqm=-1,-1\nWcmd=-1,-1\nWlist=700,100\n"));
  // This one turns its sound on and quits: that is its only change.
  QTest::mouseClick(panel().Control(kIdSoundOnOff), Qt::LeftButton);
  ASSERT_FALSE(state().muted);
  viewer.reset();
  EXPECT_EQ(ReadText(SettingsFile()),
            QStringLiteral("AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=0\nEnchaine=1\n"
                           "Register=1\nWkqm=-1,-1\nWcmd=-1,-1\nWlist=700,100\n"));
}

TEST_F(ViewerTest, ASettingsFileThatCannotBeReadIsSaidAndLeftAsItIs) {
  // Too large to be one the player wrote: the user's own text, say, which no write replaces.
  const QByteArray large = "AutoPlay=0\n" + QByteArray(kSettingsMaxBytes, ' ');
  ASSERT_TRUE(WriteText(SettingsFile(), large));
  testing::internal::CaptureStderr();
  Start({Conformance(kSilentMovie)});
  Turn();  // Play writes the settings
  ASSERT_TRUE(Playing());
  viewer.reset();  // and so does the end
  const std::string errors = testing::internal::GetCapturedStderr();
  const QString expected = SettingsFile() + QStringLiteral(
                                                ": is larger than a settings file can be (64 KiB); "
                                                "this run uses the default settings and leaves the "
                                                "file as it is");
  EXPECT_EQ(notices, QStringList{expected});
  EXPECT_NE(errors.find("tarvel: " + expected.toStdString() + "\n"), std::string::npos) << errors;
  EXPECT_EQ(ReadText(SettingsFile()).toLatin1(), large);
}

TEST_F(PlaylistTest, SwitchesAndPositionsComeBackAtTheNextStart) {
  QTemporaryDir folder;
  for (const char* name : {"/a.kqm", "/b.kqm"}) CopyMovie(folder.path() + name);
  Start({Conformance(kSilentMovie)});
  Turn();
  ASSERT_TRUE(Playing());
  on_dialog = [](QDialog& dialog) {
    auto& options = dynamic_cast<OptionsDialog&>(dialog);
    options.show();
    for (int id : {1059, 1060, 1063}) QTest::mouseClick(options.CheckBox(id), Qt::LeftButton);
    QTest::mouseClick(options.ok_button(), Qt::LeftButton);
    return options.result();
  };
  viewer->Click(kIdOptions);
  ASSERT_TRUE(state().free_windows);
  Drop(&panel(), {folder.path()});
  ASSERT_NE(Window(), nullptr);
  // Free windows: each goes where it is put.
  viewer->video().video_window()->move(300, 150);
  Window()->move(700, 100);
  panel().move(60, 500);
  TurnFor(20);
  viewer.reset();  // quits: the settings are written at the end
  EXPECT_EQ(ReadText(SettingsFile()),
            QStringLiteral("AutoPlay=1\nFullScreen=0\nFenetreLibre=1\nNoSound=1\nEnchaine=1\n"
                           "Register=1\nWkqm=300,150\nWcmd=60,500\nWlist=700,100\n"));

  // The next start in the same home.
  Start();
  EXPECT_TRUE(state().muted);
  EXPECT_TRUE(state().free_windows);
  EXPECT_TRUE(state().chain_movies);
  EXPECT_TRUE(state().auto_play);
  EXPECT_EQ(panel().pos(), QPoint(60, 500));
  Drop(&panel(), {folder.path()});
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->frameGeometry().topLeft(), QPoint(700, 100));
  Turn();
  ASSERT_TRUE(Playing());
  EXPECT_EQ(viewer->video().video_window()->frameGeometry().topLeft(), QPoint(300, 150));
  EXPECT_EQ(panel().pos(), QPoint(60, 500));
}

TEST_F(ViewerTest, AssociationIsOfferedOnceAndRecorded) {
  const std::string question = "Tarvel: Voulez-vous associer vos fichiers Kqm au viewer ?";
  auto register_line = [this] {
    const QStringList lines = ReadText(SettingsFile()).split(QLatin1Char('\n'));
    return lines.size() > 5 ? lines[5] : QString();
  };
  // Yes, but the files cannot be written: asked again at the next start.
  association_answer = AssociationAnswer::kYes;
  association_result = kAssociationWriteFailed;
  Start();
  EXPECT_EQ(questions, std::vector<std::string>{question});
  EXPECT_EQ(registrations, 1);
  EXPECT_EQ(viewer->association_offer(), kOfferWriteFailed);
  EXPECT_EQ(register_line(), QStringLiteral("Register=0"));
  // Said on the screen too, not only on standard error.
  ASSERT_EQ(notices.size(), 1);
  EXPECT_TRUE(notices.front().startsWith(QStringLiteral("Movie files could not be associated")));
  viewer.reset();

  // Started with --associate: registered without a question.
  PlayerOptions yes;
  yes.associate = true;
  association_result = kAssociationOk;
  Start({}, yes);
  EXPECT_EQ(questions.size(), 1u);
  EXPECT_EQ(registrations, 2);
  EXPECT_EQ(viewer->association_offer(), kOfferRegistered);
  EXPECT_EQ(viewer->settings().Register, 1);
  viewer.reset();
  ASSERT_TRUE(WriteText(SettingsFile(), "AutoPlay=1\n"));
  association_result = kAssociationWriteFailed;

  // Started with --no-associate: not asked.
  PlayerOptions quiet;
  quiet.no_associate = true;
  Start({}, quiet);
  EXPECT_EQ(questions.size(), 1u);
  viewer.reset();

  // No: recorded, never asked again, nothing registered.
  association_answer = AssociationAnswer::kNo;
  Start();
  EXPECT_EQ(questions.size(), 2u);
  EXPECT_EQ(registrations, 2);
  EXPECT_EQ(register_line(), QStringLiteral("Register=1"));
  viewer.reset();
  Start();
  EXPECT_EQ(questions.size(), 2u);
  EXPECT_EQ(viewer->association_offer(), kOfferNotAsked);
}

// After No, the Options dialog's button registers at any later time, and says how it went.
TEST_F(ViewerTest, OptionsDialogAssociatesAfterNo) {
  association_answer = AssociationAnswer::kNo;
  Start();
  ASSERT_EQ(viewer->association_offer(), kOfferDeclined);
  on_dialog = [](QDialog& dialog) {
    auto& options = dynamic_cast<OptionsDialog&>(dialog);
    options.show();
    QTest::mouseClick(options.associate_button(), Qt::LeftButton);
    QTest::mouseClick(options.associate_button(), Qt::LeftButton);
    return options.result();
  };
  association_result = kAssociationWriteFailed;
  viewer->Click(kIdOptions);
  association_result = kAssociationOk;
  viewer->Click(kIdOptions);
  EXPECT_EQ(registrations, 4);
  EXPECT_EQ(viewer->association_offer(), kOfferRegistered);
  EXPECT_EQ(viewer->settings().Register, 1);
  EXPECT_EQ(notices.size(), 4);
  EXPECT_TRUE(notices.front().startsWith(QStringLiteral("Movie files could not be associated")));
  EXPECT_EQ(notices.back(), QStringLiteral("Movie files (.kqm, .kqs) now open with Tarvel."));
}

// The desktop's tools may take seconds: the windows go on meanwhile, and the Options dialog
// waits for the result with OK and its button disabled, Escape ignored.
TEST_F(ViewerTest, TheWindowsGoOnWhileTheAssociationToolsRun) {
  // An xdg-mime that waits for the test's word (at most 5 s, where the windows stand still).
  const QString tools = home.filePath(QStringLiteral("tools"));
  const QString word = home.filePath(QStringLiteral("word"));
  ASSERT_TRUE(QDir().mkpath(tools));
  ASSERT_EQ(::mkfifo(QFile::encodeName(word).constData(), 0600), 0);
  const QString xdg_mime = tools + QStringLiteral("/xdg-mime");
  ASSERT_TRUE(WriteText(xdg_mime, "#!/bin/bash\nread -r -t 5 line <> '" + QFile::encodeName(word) +
                                      "' && [ \"$line\" = go ]\n"));
  ASSERT_TRUE(QFile::setPermissions(xdg_mime, QFile::ReadOwner | QFile::ExeOwner));
  // Held open from here, so that the word waits in the pipe for the tool to read it.
  const int pipe = ::open(QFile::encodeName(word).constData(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(pipe, 0);
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", tools.toLocal8Bit());
  association_answer = AssociationAnswer::kNo;
  ViewerSeams seams = Seams();
  seams.register_association = nullptr;  // the player's own registration
  Start({}, std::move(seams));
  bool went_on = false;
  on_dialog = [&](QDialog& dialog) {
    auto& options = dynamic_cast<OptionsDialog&>(dialog);
    options.show();
    QTimer::singleShot(0, &options, [&] {
      went_on = true;
      EXPECT_FALSE(options.associate_button()->isEnabled());
      EXPECT_FALSE(options.ok_button()->isEnabled());
      QTest::keyClick(&options, Qt::Key_Escape);
      EXPECT_TRUE(options.isVisible());
      EXPECT_EQ(::write(pipe, "go\n", 3), 3);
    });
    QTest::mouseClick(options.associate_button(), Qt::LeftButton);
    EXPECT_TRUE(options.associate_button()->isEnabled());
    EXPECT_TRUE(options.ok_button()->isEnabled());
    return options.result();
  };
  viewer->Click(kIdOptions);
  qputenv("PATH", path);
  ::close(pipe);
  EXPECT_TRUE(went_on);
  EXPECT_EQ(viewer->association_offer(), kOfferRegistered);
}

// With no thread to spare, the tools run on the window thread: the registration is made all the
// same, where the thread's failure ended the player.
TEST_F(ViewerTest, ARegistrationWithNoThreadToSpareRunsInPlace) {
  const QString tools = home.filePath(QStringLiteral("tools"));
  ASSERT_TRUE(QDir().mkpath(tools));
  const QString xdg_mime = tools + QStringLiteral("/xdg-mime");
  ASSERT_TRUE(WriteText(xdg_mime, "#!/bin/sh\nexit 0\n"));
  ASSERT_TRUE(QFile::setPermissions(xdg_mime, QFile::ReadOwner | QFile::ExeOwner));
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", tools.toLocal8Bit());
  association_answer = AssociationAnswer::kNo;
  ViewerSeams seams = Seams();
  seams.register_association = nullptr;  // the player's own registration
  seams.start_thread = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  Start({}, std::move(seams));
  on_dialog = [](QDialog& dialog) {
    QTest::mouseClick(dynamic_cast<OptionsDialog&>(dialog).associate_button(), Qt::LeftButton);
    return static_cast<int>(QDialog::Rejected);
  };
  viewer->Click(kIdOptions);
  qputenv("PATH", path);
  EXPECT_EQ(viewer->association_offer(), kOfferRegistered);
}

TEST_F(ViewerTest, ARegistrationThatFailsSaysWhyInItsNotice) {
  // The data folder would have to go inside a file.
  ASSERT_TRUE(WriteText(home.filePath(QStringLiteral("file")), "x"));
  qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("file/share")).toLocal8Bit());
  association_answer = AssociationAnswer::kYes;
  ViewerSeams seams = Seams();
  seams.register_association = nullptr;  // the player's own registration
  testing::internal::CaptureStderr();
  Start({}, std::move(seams));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(viewer->association_offer(), kOfferWriteFailed);
  const QString reason = home.filePath(QStringLiteral("file/share/mime/packages/tarvel-kqm.xml")) +
                         QStringLiteral(": cannot be written: a file is in the way");
  EXPECT_EQ(
      notices,
      QStringList{QStringLiteral("Movie files could not be associated with Tarvel: ") + reason});
  // Standard error says what failed too, not the reason alone.
  EXPECT_NE(
      said.find("tarvel: movie files could not be associated: " + reason.toStdString() + "\n"),
      std::string::npos)
      << said;
}

// A player whose program file was removed while it ran (uninstalled) is not registered: the
// desktop would drop an entry naming no program, and the movie files would open with nothing.
TEST_F(ViewerTest, AProgramRemovedSinceItStartedIsNotRegistered) {
  const std::string removed = home.filePath(QStringLiteral("bin/tarvel")).toStdString();
  std::string problem;
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegisterRunningPlayer(&problem, nullptr, removed), kAssociationBadInput);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(problem, removed +
                         ": the program has been removed since it started; start the player "
                         "again from where it is installed now");
  EXPECT_FALSE(QFileInfo::exists(DataFolder() + QStringLiteral("/applications")));
}

// One that is there, in a folder named in Latin-1, was taken for one removed: it is refused for
// what its path is, which a desktop entry cannot hold.
TEST_F(ViewerTest, AProgramAtAPathThatIsNotUtf8IsNotTakenForOneRemoved) {
  const std::string program = home.path().toStdString() + "/caf\xe9";
  std::FILE* file = std::fopen(program.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(::chmod(program.c_str(), 0755), 0);
  std::string problem;
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegisterRunningPlayer(&problem, nullptr, program), kAssociationBadInput);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(problem, program + ": the program path cannot be written into a desktop entry");
  std::remove(program.c_str());  // a name the temporary folder's removal cannot take
}

TEST_F(ViewerTest, YesRegistersThePlayerForTheCurrentUser) {
  association_answer = AssociationAnswer::kYes;
  ViewerSeams seams = Seams();
  seams.register_association = nullptr;  // the player's own registration
  Start({}, std::move(seams));
  EXPECT_EQ(viewer->association_offer(), kOfferRegistered);
  const QString data = DataFolder();
  const QString entry = ReadText(data + "/applications/tarvel.desktop");
  EXPECT_TRUE(entry.contains(QStringLiteral("\nMimeType=video/x-kqm;\n"))) << entry.toStdString();
  // The test program stands for the player here. A build folder with a space in its path gets
  // the program quoted (association_test covers the other characters the Exec line reserves).
  QString program = QCoreApplication::applicationFilePath();
  if (program.contains(QLatin1Char(' '))) program = QLatin1Char('"') + program + QLatin1Char('"');
  EXPECT_TRUE(entry.contains(QStringLiteral("\nExec=") + program + QStringLiteral(" %F\n")))
      << entry.toStdString();
  // It runs from the build folder, and the entry says so.
  EXPECT_TRUE(entry.contains(QStringLiteral("\nName=Tarvel (build tree)\n")))
      << entry.toStdString();
  EXPECT_TRUE(ReadText(data + "/mime/packages/tarvel-kqm.xml").contains("*.KQS"));
  const QImage icon(data + "/icons/hicolor/64x64/apps/tarvel.png");
  EXPECT_EQ(icon.size(), QSize(64, 64));
  // Where the desktop's mime database tool is installed, it ran on the new package.
  if (!QStandardPaths::findExecutable(QStringLiteral("update-mime-database")).isEmpty()) {
    EXPECT_TRUE(ReadText(data + "/mime/globs2").contains(QStringLiteral("video/x-kqm:*.kqm")));
  }
  // Where the desktop's default-application tool is installed, the player is the default.
  const QString xdg_mime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
  if (!xdg_mime.isEmpty()) {
    QProcess query;
    query.start(xdg_mime, {"query", "default", "video/x-kqm"});
    ASSERT_TRUE(query.waitForFinished(30000));
    EXPECT_EQ(query.readAllStandardOutput().trimmed(), QByteArray("tarvel.desktop"));
  }
  EXPECT_TRUE(ReadText(SettingsFile()).contains(QStringLiteral("\nRegister=1\n")));
}

class ChainTest : public PlaylistTest {};

TEST_F(ChainTest, FolderDroppedOnTheVideoWindowPlaysItsMoviesInTurn) {
#ifndef TARVEL_KQM
  GTEST_SKIP() << "the kqm tool is not built";
#else
  QTemporaryDir folder;
  const QString f = folder.path();
  const QStringList names = {"clip1.kqm", "clip2.kqm", "clip3.kqm"};
  for (const QString& name : names) {
    QProcess kqm;
    kqm.start(QString::fromLatin1(TARVEL_KQM),
              {"demo", "-o", f + "/" + name, "--size", "64x48", "--seconds", "1", "-q"});
    ASSERT_TRUE(kqm.waitForFinished(60000));
    ASSERT_EQ(kqm.exitCode(), 0) << kqm.readAllStandardError().toStdString();
  }
  // "Enchaine" on from the settings file.
  ASSERT_TRUE(WriteText(SettingsFile(),
                        "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=0\nEnchaine=1\n"
                        "Register=1\nWkqm=-1,-1\nWcmd=-1,-1\nWlist=-1,-1\n"));
  Start({Conformance(kSilentMovie)});
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
  Drop(viewer->video().picture_window(), {f});
  ASSERT_NE(Window(), nullptr);

  // Each start of playback: which movie and its line; each end: the frame counter.
  std::vector<std::string> played;
  std::vector<std::string> ended_at;
  std::vector<int> selected;
  bool was_playing = false;
  ASSERT_TRUE(TurnUntil(
      [&] {
        const bool now = Playing();
        if (now && !was_playing) {
          played.push_back(state().current_path);
          selected.push_back(Window() != nullptr ? Window()->SelectedLine() : -1);
        }
        if (!now && was_playing) ended_at.push_back(Counter());
        was_playing = now;
        return played.size() == 4;
      },
      15000));
  // One after another, from the top of the list, and round again after the last.
  const std::vector<std::string> expected = {In(f, "clip1.kqm"), In(f, "clip2.kqm"),
                                             In(f, "clip3.kqm"), In(f, "clip1.kqm")};
  EXPECT_EQ(played, expected);
  EXPECT_EQ(selected, (std::vector<int>{0, 1, 2, 0}));
  // 25 frames each, every one played to its last frame: the counter shows all 25.
  EXPECT_EQ(ended_at, (std::vector<std::string>{"00025", "00025", "00025"}));
  EXPECT_EQ(Window()->FolderText(), f);
  SaveShot(*Window(), "playlist");
#endif
}

TEST_F(ChainTest, MoviesThatAllFailAreTriedOnceEach) {
  // Two movies cut short inside their first frame: each opens, and fails to start.
  QTemporaryDir folder;
  QFile source(Conformance(kSilentMovie));
  ASSERT_TRUE(source.open(QIODevice::ReadOnly));
  const QByteArray cut = source.read(64 + 10);
  const QStringList movies = {folder.filePath("cut1.kqm"), folder.filePath("cut2.kqm")};
  for (const QString& movie : movies) ASSERT_TRUE(WriteText(movie, cut));
  ASSERT_TRUE(WriteText(SettingsFile(),
                        "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=0\nEnchaine=1\n"
                        "Register=1\nWkqm=-1,-1\nWcmd=-1,-1\nWlist=-1,-1\n"));
  Start(movies);
  for (int turn = 0; turn < 20; ++turn) Turn();
  EXPECT_EQ(notices.size(), 2) << notices.join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(state().stopped);
  EXPECT_FALSE(state().play_request);
}

TEST_F(ChainTest, AFileThatCannotBeOpenedIsFollowedByTheNext) {
  QTemporaryDir folder;
  ASSERT_TRUE(WriteText(folder.filePath("a.kqm"), "not a movie"));
  ASSERT_TRUE(QFile::copy(Conformance(kSilentMovie), folder.filePath("b.kqm")));
  ASSERT_TRUE(WriteText(SettingsFile(),
                        "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=0\nEnchaine=1\n"
                        "Register=1\nWkqm=-1,-1\nWcmd=-1,-1\nWlist=-1,-1\n"));
  Start({folder.filePath("a.kqm"), folder.filePath("b.kqm")});
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
  EXPECT_EQ(state().current_path, In(folder.path(), "b.kqm"));
  EXPECT_EQ(notices.size(), 1) << notices.join(QLatin1Char('\n')).toStdString();
}

TEST_F(ChainTest, StopStopsRatherThanPlayingTheNext) {
  ASSERT_TRUE(WriteText(SettingsFile(),
                        "AutoPlay=1\nFullScreen=0\nFenetreLibre=0\nNoSound=0\nEnchaine=1\n"
                        "Register=1\nWkqm=-1,-1\nWcmd=-1,-1\nWlist=-1,-1\n"));
  const QString first = Conformance(kSoundMovie);
  Start({first, Conformance(kSilentMovie)});
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
  Key(Qt::Key_Delete);
  for (int turn = 0; turn < 5; ++turn) Turn();
  EXPECT_TRUE(state().stopped);
  EXPECT_FALSE(state().play_request);
  EXPECT_EQ(state().current_path, first.toStdString());
  // The Stop button as well.
  Key(Qt::Key_Space);
  ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
  QTest::mouseClick(panel().Control(kIdStop), Qt::LeftButton);
  for (int turn = 0; turn < 5; ++turn) Turn();
  EXPECT_TRUE(state().stopped);
  EXPECT_EQ(state().current_path, first.toStdString());
}

TEST_F(PlaylistTest, AMovieThatFailsAfterAnotherShowsNoneOfItsPosition) {
  QTemporaryDir folder;
  const QString good = folder.filePath("a.kqm");
  CopyMovie(good);
  // A good header followed by ten bytes of a frame: it opens, and fails to start.
  const QString cut = folder.filePath("c.kqm");
  {
    QFile source(Conformance(kSilentMovie));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    ASSERT_TRUE(WriteText(cut, source.read(64 + 10)));
  }
  Start({good, folder.filePath("b.kqm"), good, cut});
  auto play_to_the_end = [this] {
    ASSERT_TRUE(TurnUntil([this] { return Playing(); }, 5000));
    ASSERT_TRUE(TurnUntil([this] { return state().stopped; }, 5000));
    ASSERT_EQ(Counter(), "00006");
  };
  play_to_the_end();
  // b.kqm is missing: no frame, no time, an empty bar, as when it is the first movie.
  Key(Qt::Key_PageDown);
  for (int turn = 0; turn < 5; ++turn) Turn();
  ASSERT_EQ(notices.size(), 1);
  EXPECT_EQ(Counter(), "00000");
  EXPECT_EQ(TimeCodeText(), "00:00:00");
  EXPECT_EQ(panel().Progress()->count(), 0);
  // The picture still shown is a.kqm's: so the window made again for it is called.
  viewer->Click(kIdZoomOff);
  EXPECT_EQ(viewer->video().video_window()->windowTitle().toStdString(), good.toStdString());
  Key(Qt::Key_PageDown);
  play_to_the_end();
  // c.kqm opens but cannot start: its bar and counter stand at its frame 0.
  Key(Qt::Key_PageDown);
  for (int turn = 0; turn < 5; ++turn) Turn();
  ASSERT_EQ(notices.size(), 2);
  EXPECT_EQ(Counter(), "00000");
  EXPECT_EQ(TimeCodeText(), "00:00:00");
  EXPECT_EQ(panel().State(kIdProgress), 0);
}

}  // namespace
}  // namespace tarvel::test
