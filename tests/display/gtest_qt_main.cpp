// Runs GoogleTest inside a QApplication on the offscreen platform, so that widget tests lay out
// and paint the same way on every machine. TARVEL_TEST_PLATFORM names another platform (xcb
// under an X server, say) for a run against a real window system.
#include <gtest/gtest.h>

#include <QApplication>

#include "support/private_temp.h"

int main(int argc, char** argv) {
  const tarvel::test::PrivateTempFolder temp;
  ::testing::InitGoogleTest(&argc, argv);
  const QByteArray platform = qgetenv("TARVEL_TEST_PLATFORM");
  qputenv("QT_QPA_PLATFORM", platform.isEmpty() ? QByteArray("offscreen") : platform);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
