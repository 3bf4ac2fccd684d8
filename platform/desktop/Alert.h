#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// A modal alert: no title, the message exactly as given, one "OK" button.
namespace Alert {

void run(const QString &message);
// Replaces the dialog, for tests that only need to know what was shown.
void setHandler(std::function<void(const QString &)> handler);

// The same with `buttons`, the first the default and the last what Escape presses; answers the
// one pressed.
QString ask(const QString &message, const QStringList &buttons);
// While a handler is in place, the button the next asks answer; one not offered is the last.
void setAnswer(const QString &button);

} // namespace Alert
