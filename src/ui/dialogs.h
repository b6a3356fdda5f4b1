// The player's dialogs: Options (the five switches), About, the open-file dialog and the file
// association question. The viewer runs them through seams (see ViewerSeams) so that tests and
// unattended runs never wait on a modal window.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ui/logic/file_association.h"
#include "ui/logic/viewer_settings.h"

class QCheckBox;
class QFileDialog;
class QLabel;
class QPushButton;

namespace tarvel {

// Options: one check box per switch. Each click stores the box's new state straight into
// `settings`; OK accepts the dialog (the caller then applies the settings), the close box and
// Escape reject it (the changed switches stay in `settings` without being applied). While a
// registration runs, OK and the association button are disabled and the dialog stays open.
class OptionsDialog : public QDialog {
 public:
  // `associate` runs when the user presses "Associate movie files" (a way to register after
  // having answered No to the start-up question).
  OptionsDialog(QWidget* owner, ViewerSettings& settings, const OptionsChecks& checks,
                std::function<void()> associate = {});

  // The check box with identifier `id` (kOptionNoSound ... kOptionLinkNext); null for others.
  QCheckBox* CheckBox(int id) const;
  QPushButton* ok_button() const { return ok_; }
  QPushButton* associate_button() const { return associate_; }

  void reject() override;

 private:
  ViewerSettings& settings_;
  bool registering_ = false;
  std::array<QCheckBox*, 5> boxes_{};
  QPushButton* ok_ = nullptr;
  QPushButton* associate_ = nullptr;
};

// About: the picture, the program's name and what it does. It has no close box; only OK
// closes it (Escape and the window manager's close are refused).
class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* owner);

  QLabel* picture() const { return picture_; }
  QPushButton* ok_button() const { return ok_; }

  void reject() override;

 private:
  QLabel* picture_ = nullptr;
  QPushButton* ok_ = nullptr;
};

// The open-file dialog's name filters, in order: "Fichier KQM (*.KQM)", "Fichier KQS (*.KQS)".
QStringList OpenDialogFilters();
// The open-file dialog owned by `owner`, starting in `folder`, for one or several existing
// movies. It is the program's own dialog, whose filters match either letter case.
std::unique_ptr<QFileDialog> MakeOpenDialog(QWidget* owner, const QString& folder);
// Shows that dialog; returns the chosen paths, none when cancelled.
QStringList ChooseMovieFiles(QWidget* owner, const QString& folder);

// Shows `text` in a non-modal warning box owned by `owner`: the box in `box` when it is still
// open (`text` added under the last two lines it shows, and raised), otherwise a new one, placed
// beside `owner` (above it, or below it at the top of the screen), which deletes itself when
// closed. With `over` (a full-screen window) the box is kept above that window instead of under
// it. Keys typed in the box, other than its own (Enter, Space, Escape, Tab, Ctrl+C), go on to
// `owner`.
void ShowNoticeBox(QPointer<QMessageBox>& box, QWidget* owner, const QString& text,
                   QWidget* over = nullptr);

// Asks the association question in a message box without an owner.
AssociationAnswer AskAssociationInMessageBox(std::string_view text, std::string_view caption);

// True when the platform shows windows to a person, so that a question can be answered (the
// offscreen and minimal platforms of tests and unattended runs cannot).
bool PlatformCanAsk();

// Registers the running player for the movie files of the current user (desktop entry, mime
// package, icon, desktop databases). The work runs on a thread of its own while this thread's
// events are handled (the windows paint, the movie plays on), as the desktop's tools may take
// seconds; `start_thread` makes that thread (std::thread when empty), and where it throws
// std::system_error the work runs on this thread instead. Returns kAssociationOk or the failure,
// which it reports on standard error and, when `problem` is given, there (empty on success).
// `executable_path` names the program to register (empty: the running one); a program file
// that is no longer there is refused (kAssociationBadInput), nothing written.
int RegisterRunningPlayer(
    std::string* problem = nullptr,
    const std::function<std::thread(std::function<void()> body)>& start_thread = nullptr,
    std::string executable_path = {});

}  // namespace tarvel
