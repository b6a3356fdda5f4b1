#include "ui/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitTarvelResources() {
  Q_INIT_RESOURCE(tarvel_resources);
}

namespace tarvel {

void InitResources() {
  InitTarvelResources();
}

}  // namespace tarvel
