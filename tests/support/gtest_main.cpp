// The main() of the plain test programs: GoogleTest in a temporary folder of the process's own.
#include <gtest/gtest.h>

#include "support/private_temp.h"

int main(int argc, char** argv) {
  const tarvel::test::PrivateTempFolder temp;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
