// The skin pictures, icon and cursor are compiled into the program; this registers them.
#pragma once

namespace tarvel {

void InitResources();

}  // namespace tarvel
