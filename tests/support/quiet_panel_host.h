// A control panel host that ignores everything the panel reports, for tests that look only at
// what the panel draws.
#pragma once

#include "ui/command_window.h"

namespace tarvel::test {

class QuietPanelHost : public CommandHost {
 public:
  void Command(int) override {}
  void Scroll(int, int, int) override {}
  void Seek(std::int32_t) override {}
  void PanelKeyPressed(QKeyEvent*) override {}
  void PanelMoved(const QPoint&) override {}
  void PanelCloseRequested() override {}
  void PanelRightClicked() override {}
  void FilesDropped(const std::vector<std::string>&, QWidget*) override {}
};

}  // namespace tarvel::test
