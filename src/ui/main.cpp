// tarvel [MOVIE]: the desktop player.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
      "usage: tarvel [MOVIE]\n"
      "Plays a KQM6 movie (.kqm, .kqs) with the control panel; without MOVIE it starts "
      "stopped.\n");
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

  tarvel::Viewer viewer(tarvel::Player_Instance());
  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  viewer.Startup(arguments);
  return viewer.Run();
}
