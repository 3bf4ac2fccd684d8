#pragma once

#include <QString>
#include <functional>

// A modal alert: no title, the message exactly as given, one "OK" button.
namespace Alert {

void run(const QString &message);
// Replaces the dialog, for tests that only need to know what was shown.
void setHandler(std::function<void(const QString &)> handler);

} // namespace Alert
