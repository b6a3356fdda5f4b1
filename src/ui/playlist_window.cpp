#include "ui/playlist_window.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMoveEvent>
#include <QSignalBlocker>

#include "platform/utf8.h"
#include "ui/control_table.h"

namespace tarvel {

namespace {

// The window's font: 8 points, the size its layout in dialog units was made for.
constexpr int kPlaylistFontPoints = 8;

}  // namespace

PlaylistWindow::PlaylistWindow(PlaylistHost& host)
    : FileDropWindow(nullptr, Qt::Tool), host_(&host) {
  setWindowTitle(QString::fromLatin1(kPlaylistCaption));
  QFont small = font();
  small.setPointSize(kPlaylistFontPoints);
  setFont(small);
  setFixedSize(DialogUnitsToPixels(0, 0, kPlaylistWidthUnits, kPlaylistHeightUnits).size());
  // Files dropped anywhere on the window, the list included, reach dropEvent.
  setAcceptDrops(true);

  decoration_ = new QLabel(this);
  decoration_->setGeometry(DialogUnitsToPixels(0, 0, 15, 13));
  const QPixmap decoration = LoadSkinPicture(kBitmapDecoration);
  QPixmap fitted = decoration.scaled(decoration_->size() * decoration.devicePixelRatio(),
                                     Qt::KeepAspectRatio, Qt::SmoothTransformation);
  fitted.setDevicePixelRatio(decoration.devicePixelRatio());
  decoration_->setPixmap(fitted);
  decoration_->setAlignment(Qt::AlignCenter);

  label_ = new QLabel(this);
  label_->setObjectName(QStringLiteral("folder"));
  label_->setGeometry(DialogUnitsToPixels(12, 0, 124, 20));
  label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  label_->setTextFormat(Qt::PlainText);
  // The label's left end lies under the picture: the folder's name begins past it, with a gap.
  constexpr int kGapAfterPicture = 2;
  label_->setContentsMargins(decoration_->geometry().right() + 1 + kGapAfterPicture - label_->x(),
                             0, 0, 0);

  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("list"));
  list_->setGeometry(DialogUnitsToPixels(0, 20, 136, 236));
  list_->setSortingEnabled(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list_->setUniformItemSizes(true);
  QObject::connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (host_ != nullptr && row >= 0) host_->PlaylistLineSelected(row);
  });
  // The list takes Page Up/Down, Home, End and Space for itself: once a line was clicked they
  // would move through the list instead of doing what they do everywhere else.
  list_->installEventFilter(this);
}

void PlaylistWindow::SetLines(const std::vector<std::string>& lines) {
  const QSignalBlocker quiet(list_);
  list_->clear();
  QStringList texts;
  texts.reserve(static_cast<qsizetype>(lines.size()));
  for (const std::string& line : lines) texts.append(QString::fromStdString(Utf8_ShownName(line)));
  list_->addItems(texts);
  list_->setCurrentRow(-1);
}

void PlaylistWindow::SelectLine(int line) {
  const QSignalBlocker quiet(list_);
  list_->setCurrentRow(line);
  if (QListWidgetItem* item = list_->item(line)) list_->scrollToItem(item);
}

void PlaylistWindow::SetFolder(const std::string& folder) {
  folder_ = QString::fromStdString(Utf8_ShownName(folder));
  ShowFolder();
}

void PlaylistWindow::ShowFolder() {
  label_->setToolTip(folder_);
  // Screen readers read the whole folder, not the part that fits.
  label_->setAccessibleName(folder_);
  label_->setText(
      label_->fontMetrics().elidedText(folder_, Qt::ElideMiddle, label_->contentsRect().width()));
}

QStringList PlaylistWindow::LineTexts() const {
  QStringList texts;
  for (int row = 0; row < list_->count(); ++row) texts.append(list_->item(row)->text());
  return texts;
}

int PlaylistWindow::SelectedLine() const {
  return list_->currentRow();
}

void PlaylistWindow::moveEvent(QMoveEvent*) {
  if (host_ != nullptr) host_->PlaylistMoved(frameGeometry().topLeft());
}

void PlaylistWindow::closeEvent(QCloseEvent* event) {
  // The host decides: it destroys the window once the event is over.
  event->ignore();
  if (host_ != nullptr) host_->PlaylistCloseRequested();
}

void PlaylistWindow::keyPressEvent(QKeyEvent* event) {
  if (host_ != nullptr) host_->PlaylistKeyPressed(event);
}

bool PlaylistWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ && event->type() == QEvent::KeyPress && host_ != nullptr)
    return host_->PlaylistKeyPressed(static_cast<QKeyEvent*>(event));
  return FileDropWindow::eventFilter(watched, event);
}

}  // namespace tarvel
