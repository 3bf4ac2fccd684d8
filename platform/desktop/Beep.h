#pragma once

#include <functional>

// The system alert sound.
namespace Beep {

void beep();
void setHandler(std::function<void()> handler);

} // namespace Beep
