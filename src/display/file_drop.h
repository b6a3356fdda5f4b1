// Files dragged from a file manager onto any window of the player.
#pragma once

#include <QStringList>

class QDragEnterEvent;
class QDropEvent;

namespace tarvel {

// Lets a drag that carries files (or folders) come in.
void AcceptFileDrag(QDragEnterEvent* event);
// Accepts a drop and returns its local paths, in the order given.
QStringList TakeDroppedFiles(QDropEvent* event);

}  // namespace tarvel
