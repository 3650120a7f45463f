#include "platform/wine_detection.h"

namespace platform {

bool running_under_wine() { return false; }

}  // namespace platform
