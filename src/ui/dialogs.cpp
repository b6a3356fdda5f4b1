#include "ui/dialogs.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/user_files.h"
#include "ui/control_table.h"
#include "ui/logic/playlist_model.h"

namespace tarvel {

namespace {

// The dialogs' font: 8 points, the size their layouts in dialog units were made for.
constexpr int kDialogFontPoints = 8;
constexpr int kIdOk = 1;

void UseDialogFont(QWidget& widget) {
  QFont small = widget.font();
  small.setPointSize(kDialogFontPoints);
  widget.setFont(small);
}

// Hands the keys typed in a notice on to the window that owns it, so that they do there what
// they do in every window of the player; the box keeps its own: Enter, Space and Escape close
// it, Tab moves, Ctrl+C copies its text.
class KeysToOwner : public QObject {
 public:
  KeysToOwner(QWidget* owner, QObject* parent) : QObject(parent), owner_(owner) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress || owner_.isNull())
      return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
      case Qt::Key_Escape:
      case Qt::Key_Space:
      case Qt::Key_Tab:
      case Qt::Key_Backtab:
        return false;
      default:
        break;
    }
    if (key->matches(QKeySequence::Copy)) return false;
    const std::unique_ptr<QKeyEvent> copy(key->clone());
    QCoreApplication::sendEvent(owner_, copy.get());
    return true;
  }

 private:
  QPointer<QWidget> owner_;
};

// The notice needs no answer and comes without taking the keys, while screen readers read a
// dialog when it takes them: they are told of it as a notification instead, which they read as
// it appears.
constexpr char kNoticeName[] = "notice";

QAccessibleInterface* NoticeAccessibleFactory(const QString&, QObject* object) {
  auto* box = qobject_cast<QMessageBox*>(object);
  if (box == nullptr || box->objectName() != QLatin1String(kNoticeName)) return nullptr;
  return new QAccessibleWidget(box, QAccessible::Notification);
}

// Makes `box` a notice for assistive tools; one made for it as a dialog while it was being
// built is dropped.
void MakeNoticeAccessible(QMessageBox& box) {
  static const bool installed = [] {
    QAccessible::installFactory(NoticeAccessibleFactory);
    return true;
  }();
  (void)installed;
  box.setObjectName(QLatin1String(kNoticeName));
  if (QAccessibleInterface* made = QAccessible::queryAccessibleInterface(&box);
      made != nullptr && made->role() != QAccessible::Notification)
    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

QPushButton* MakeOkButton(QDialog* dialog, const QRect& place) {
  auto* ok = new QPushButton(QStringLiteral("OK"), dialog);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setGeometry(place);
  ok->setDefault(true);
  ok->setProperty("control_id", kIdOk);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  return ok;
}

struct CheckBoxSpec {
  int id;
  const char* text;
  int x, y, cx, cy;  // dialog units
};

constexpr std::array<CheckBoxSpec, 5> kOptionBoxes = {{
    {kOptionNoSound, kOptionNoSoundText, 12, 8, 76, 12},
    {kOptionFreeWindows, kOptionFreeWindowsText, 12, 24, 76, 12},
    {kOptionAutoPlay, kOptionAutoPlayText, 12, 40, 80, 12},
    {kOptionFullScreen, kOptionFullScreenText, 12, 56, 76, 12},
    {kOptionLinkNext, kOptionLinkNextText, 12, 72, 88, 12},
}};

bool InitialCheck(const OptionsChecks& checks, int id) {
  switch (id) {
    case kOptionNoSound:
      return checks.no_sound;
    case kOptionFreeWindows:
      return checks.free_windows;
    case kOptionAutoPlay:
      return checks.auto_play;
    case kOptionFullScreen:
      return checks.full_screen;
    case kOptionLinkNext:
      return checks.link_next;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

OptionsDialog::OptionsDialog(QWidget* owner, ViewerSettings& settings, const OptionsChecks& checks,
                             std::function<void()> associate)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      settings_(settings) {
  setWindowTitle(QString::fromLatin1(kOptionsCaption));
  UseDialogFont(*this);
  // The switches keep their places; the association button goes between them and OK, which
  // moves down with the dialog's bottom edge.
  setFixedSize(DialogUnitsToPixels(0, 0, 112, 135).size());
  for (std::size_t i = 0; i < kOptionBoxes.size(); ++i) {
    const CheckBoxSpec& entry = kOptionBoxes[i];
    auto* box = new QCheckBox(QString::fromLatin1(entry.text), this);
    box->setGeometry(DialogUnitsToPixels(entry.x, entry.y, entry.cx, entry.cy));
    box->setProperty("control_id", entry.id);
    box->setChecked(InitialCheck(checks, entry.id));
    // Only the user's clicks reach the settings, each as it happens.
    const int id = entry.id;
    QObject::connect(box, &QCheckBox::clicked, this,
                     [this, id](bool checked) { Options_Check(settings_, id, checked); });
    boxes_[i] = box;
  }
  associate_ = new QPushButton(QStringLiteral("Associate movie files"), this);
  associate_->setObjectName(QStringLiteral("associate"));
  associate_->setGeometry(DialogUnitsToPixels(12, 92, 88, 14));
  associate_->setAutoDefault(false);
  QObject::connect(associate_, &QPushButton::clicked, this,
                   [this, associate = std::move(associate)] {
                     if (!associate || registering_) return;
                     // The windows go on while the desktop's tools run; the dialog waits for
                     // the result with nothing in it that would start another or close it.
                     registering_ = true;
                     associate_->setEnabled(false);
                     ok_->setEnabled(false);
                     associate();
                     registering_ = false;
                     associate_->setEnabled(true);
                     ok_->setEnabled(true);
                   });
  ok_ = MakeOkButton(this, DialogUnitsToPixels(28, 114, 50, 14));
}

void OptionsDialog::reject() {
  // Escape and the close box wait for a registration under way (a stop signal still closes it).
  if (!registering_) QDialog::reject();
}

QCheckBox* OptionsDialog::CheckBox(int id) const {
  for (std::size_t i = 0; i < kOptionBoxes.size(); ++i)
    if (kOptionBoxes[i].id == id) return boxes_[i];
  return nullptr;
}

// ---------------------------------------------------------------------------------------------

AboutDialog::AboutDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint) {
  setWindowTitle(QString::fromLatin1(kAboutCaption));
  UseDialogFont(*this);
  setFixedSize(DialogUnitsToPixels(0, 0, 280, 125).size());

  picture_ = new QLabel(this);
  picture_->setObjectName(QStringLiteral("picture"));
  picture_->setGeometry(DialogUnitsToPixels(8, 12, 56, 56));
  // A client edge: sunken, two pixels.
  picture_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  picture_->setLineWidth(2);
  picture_->setAlignment(Qt::AlignCenter);
  picture_->setPixmap(LoadSkinPicture(kBitmapAboutPicture));

  auto* title = new QLabel(QString::fromLatin1(kAboutTitleText), this);
  title->setGeometry(DialogUnitsToPixels(116, 16, 156, 16));
  auto* line = new QLabel(QString::fromLatin1(kAboutLineText), this);
  line->setGeometry(DialogUnitsToPixels(116, 36, 156, 20));
  line->setWordWrap(true);
  for (QLabel* text : {title, line}) {
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setTextFormat(Qt::PlainText);
  }

  ok_ = MakeOkButton(this, DialogUnitsToPixels(220, 104, 50, 14));
}

void AboutDialog::reject() {
  // Neither Escape nor a close request ends it: only OK does.
}

// ---------------------------------------------------------------------------------------------

QStringList OpenDialogFilters() {
  return {QString::fromLatin1(kOpenDialogKqmFilterName),
          QString::fromLatin1(kOpenDialogKqsFilterName)};
}

std::unique_ptr<QFileDialog> MakeOpenDialog(QWidget* owner, const QString& folder) {
  auto dialog = std::make_unique<QFileDialog>(owner, QString::fromLatin1(kOpenDialogTitle), folder);
  // File names are case-sensitive here while the filters name upper-case extensions: the
  // program's own dialog matches them in either case, which desktop dialogs may not do.
  dialog->setOption(QFileDialog::DontUseNativeDialog, true);
  dialog->setFileMode(QFileDialog::ExistingFiles);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setNameFilters(OpenDialogFilters());
  dialog->setDefaultSuffix(QString::fromLatin1(kOpenDialogDefaultSuffix));
  return dialog;
}

QStringList ChooseMovieFiles(QWidget* owner, const QString& folder) {
  const std::unique_ptr<QFileDialog> dialog = MakeOpenDialog(owner, folder);
  if (dialog->exec() != QDialog::Accepted) return {};
  return dialog->selectedFiles();
}

void ShowNoticeBox(QPointer<QMessageBox>& box, QWidget* owner, const QString& text, QWidget* over) {
  const bool placed = !box.isNull();
  const bool shown = placed && box->isVisible();
  if (box.isNull()) {
    box = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(kAssociationCaption), text,
                          QMessageBox::Ok, owner);
    MakeNoticeAccessible(*box);
    // A file name is text, whatever it holds: "<b>", "&amp;" or "<img src=...>" in one would
    // otherwise be taken for markup, and the box would name another file than the one meant.
    box->setTextFormat(Qt::PlainText);
    box->setModal(false);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // It needs no answer: the window the user types in keeps the keys (a Space meant to pause
    // would otherwise close the box instead).
    box->setAttribute(Qt::WA_ShowWithoutActivating);
    // Given the keys all the same (a click on it, Alt+Tab), it passes the player's on; its
    // button is watched too, as it takes the arrows for itself.
    auto* keys = new KeysToOwner(owner, box);
    box->installEventFilter(keys);
    for (QAbstractButton* button : box->buttons()) button->installEventFilter(keys);
  } else {
    // A problem said while the box is still open goes under the last few it shows, rather than
    // over them: one said just before (a settings file that cannot be read, at start-up, then
    // the movie of the command line failing) would otherwise be gone before anyone read it. One
    // said again moves to the end.
    constexpr qsizetype kShownProblems = 3;
    QStringList lines = box->text().split(QLatin1Char('\n'));
    for (const QString& line : text.split(QLatin1Char('\n'))) {
      lines.removeAll(line);
      lines.append(line);
    }
    while (lines.size() > kShownProblems) lines.removeFirst();
    box->setText(lines.join(QLatin1Char('\n')));
  }
  // The window manager keeps a box above the window it belongs to, and a full-screen window
  // above all others: over one, the box belongs to it. That is said to the window manager as
  // the box is shown, so a box already shown is shown again.
  QWidget* const parent = over != nullptr ? over : owner;
  QWindow* const above = parent != nullptr ? parent->window()->windowHandle() : nullptr;
  // Its window made now, for the transient parent to be set before it is shown. Made so, a
  // window's native handle would by default make native windows of its parent's children too:
  // the panel's counters would then cover what the X server copies into the panel.
  const bool siblings = QCoreApplication::testAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
  QCoreApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
  box->winId();
  QCoreApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings, siblings);
  if (box->windowHandle()->transientParent() != above) {
    box->hide();
    box->windowHandle()->setTransientParent(above);
  }
  box->show();
  // A problem added to a notice on screen is read as a new one would be.
  if (shown && box->isVisible()) {
    QAccessibleEvent again(box.data(), QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&again);
  }
  // Beside the panel rather than centred over it, where it would hide the buttons: above it, or
  // below it when the screen begins there. (Above, a title bar that the window manager adds to
  // the box later grows away from the panel.) A box the user has moved stays where it is.
  if (!placed && owner != nullptr && owner->isVisible()) {
    const QRect panel = owner->frameGeometry();
    const QSize size = box->frameGeometry().size();
    const QRect room = owner->screen()->availableGeometry();
    QPoint place(panel.left(), panel.top() - size.height());
    if (place.y() < room.top()) place.setY(panel.bottom() + 1);
    place.setX(
        std::clamp(place.x(), room.left(), std::max(room.left(), room.right() + 1 - size.width())));
    box->move(place);
  } else if (placed && owner != nullptr && owner->isVisible()) {
    // Grown by a line, a box above the panel would come down over it: it grows upward instead.
    const QRect panel = owner->frameGeometry();
    const QRect frame = box->frameGeometry();
    if (frame.intersects(panel) && frame.top() < panel.top())
      box->move(frame.left(), panel.top() - frame.height());
  }
  box->raise();
}

AssociationAnswer AskAssociationInMessageBox(std::string_view text, std::string_view caption) {
  QMessageBox box(QMessageBox::Question,
                  QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())),
                  QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                  QMessageBox::Yes | QMessageBox::No);
  return box.exec() == QMessageBox::Yes ? AssociationAnswer::kYes : AssociationAnswer::kNo;
}

bool PlatformCanAsk() {
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

int RegisterRunningPlayer(
    std::string* problem,
    const std::function<std::thread(std::function<void()> body)>& start_thread,
    std::string executable_path) {
  if (problem != nullptr) problem->clear();
  DesktopRegistration registration;
  registration.executable_path =
      executable_path.empty() ? RunningExecutablePath() : std::move(executable_path);
  // A program removed since it started (uninstalled, or moved away) leaves its path naming
  // nothing: the desktop drops an entry that starts nothing, and the files would open with
  // nothing. (One upgraded in place is found at its path, and registers as it is.)
  // Looked at by its bytes: a folder named in another encoding than UTF-8 holds it all the same.
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status program = fs::status(registration.executable_path, error);
  const bool runnable = fs::is_regular_file(program) &&
                        (program.permissions() & (fs::perms::owner_exec | fs::perms::group_exec |
                                                  fs::perms::others_exec)) != fs::perms::none;
  if (!registration.executable_path.empty() && !runnable) {
    const std::string why = registration.executable_path +
                            ": the program has been removed since it started; start the player "
                            "again from where it is installed now";
    std::fprintf(stderr, "tarvel: %s\n", why.c_str());
    if (problem != nullptr) *problem = why;
    return kAssociationBadInput;
  }
  // The program's icon at every size, as the installation has it.
  const QString theme = QStringLiteral(":/tarvel/icons/");
  QDirIterator icons(theme, QDir::Files, QDirIterator::Subdirectories);
  while (icons.hasNext()) {
    QFile icon(icons.next());
    if (icon.open(QIODevice::ReadOnly))
      registration.icons.push_back(
          {icon.fileName().mid(theme.size()).toStdString(), icon.readAll().toStdString()});
  }
  // The desktop's tools take a second or more on a slow disk (and 30 s before one that hangs
  // is stopped): they run on a thread of their own, and the windows go on meanwhile. A stop
  // signal stops the tool under way, so the wait ends with it.
  DesktopRegistrationResult result;
  QEventLoop wait;
  std::thread worker;
  try {
    std::function<void()> body = [&registration, &result, &wait] {
      result = RegisterForCurrentUser(registration);
      QMetaObject::invokeMethod(&wait, &QEventLoop::quit, Qt::QueuedConnection);
    };
    worker = start_thread ? start_thread(std::move(body)) : std::thread(std::move(body));
  } catch (const std::system_error&) {
    // No thread to be had: the tools run here, the windows waiting for them.
    result = RegisterForCurrentUser(registration);
  }
  if (worker.joinable()) {
    wait.exec();
    worker.join();
  }
  // The database tools' failures are warnings; that of xdg-mime is the result's problem.
  for (std::size_t i = 0; i + 1 < result.tools.size(); ++i) {
    const std::string warning = ToolProblem(result.tools[i]);
    if (!warning.empty()) std::fprintf(stderr, "tarvel: %s\n", warning.c_str());
  }
  if (result.result != kAssociationOk) {
    // Said as the notice says it: the reason alone ("$XDG_DATA_HOME: no data folder") does not
    // tell a terminal's reader that the registration asked for was not made.
    std::fprintf(stderr, "tarvel: movie files could not be associated: %s\n",
                 result.problem.c_str());
    if (problem != nullptr) *problem = result.problem;
    return result.result;
  }
  std::printf("tarvel: %s\n", result.summary.c_str());
  return kAssociationOk;
}

}  // namespace tarvel
