// tarvel [MOVIE]: the desktop player.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/player_context.h"
#include "ui/control_table.h"
#include "ui/resources.h"
#include "ui/viewer.h"

namespace {

// Docking places windows, which Wayland does not let programs do: on a desktop that also runs
// an X server, use it unless the user chose a platform.
void PreferX11() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const char* display = std::getenv("DISPLAY");
  if ((platform == nullptr || *platform == '\0') && display != nullptr && *display != '\0')
    setenv("QT_QPA_PLATFORM", "xcb;wayland", 1);
}

void PrintUsage() {
  std::printf(
      "usage: tarvel [--no-associate] [MOVIE]\n"
      "Plays a KQM6 movie (.kqm, .kqs) with the control panel; without MOVIE it starts "
      "stopped.\n"
      "  --no-associate  do not offer to open .kqm and .kqs files with tarvel\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage();
    return 0;
  }
  PreferX11();
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  tarvel::InitResources();
  QApplication::setWindowIcon(
      QIcon(QString::fromLatin1(tarvel::ResourcePath(tarvel::kIconResource))));

  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  tarvel::ViewerSeams seams;
  // The option goes wherever it is given; everything else is the movie's path.
  seams.no_associate = arguments.removeAll(QStringLiteral("--no-associate")) > 0;
  tarvel::Viewer viewer(tarvel::Player_Instance(), std::move(seams));
  viewer.Startup(arguments);
  return viewer.Run();
}
