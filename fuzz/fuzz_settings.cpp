// Feeds arbitrary bytes to the settings file reader, and checks that what it read survives
// being written and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ui/logic/viewer_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  ViewerSettings settings;
  Settings_Parse(settings, std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string written = Settings_Format(settings);
  ViewerSettings again;
  Settings_Parse(again, written);
  if (Settings_Format(again) != written) std::abort();
  return 0;
}
