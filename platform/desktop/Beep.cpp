#include "desktop/Beep.h"

#include <QApplication>

namespace {
std::function<void()> g_handler;
}

namespace Beep {

void beep()
{
    if (g_handler)
        g_handler();
    else
        QApplication::beep();
}

void setHandler(std::function<void()> handler)
{
    g_handler = std::move(handler);
}

} // namespace Beep
