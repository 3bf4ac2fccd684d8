#include "BsdToolView.h"

namespace BsdToolView {

int enter(const char *) { return 0; }

} // namespace BsdToolView
