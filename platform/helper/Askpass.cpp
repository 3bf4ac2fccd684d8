// Velloran's password dialog for sudo's askpass: prints the password on stdout, or exits
// non-zero when the user cancels. Velloran itself never sees the password.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class AskpassDialog : public QDialog
{
public:
    AskpassDialog(const QString &prompt, bool retry)
    {
        setWindowTitle(QStringLiteral("Velloran"));
        auto *layout = new QVBoxLayout(this);
        auto *heading = new QLabel(QStringLiteral("<b>Velloran wants to change the network "
                                                  "settings.</b>"),
                                   this);
        auto *why = new QLabel(
            QStringLiteral("Sharing the Internet connection starts address translation, sets "
                           "firewall rules and interface addresses, which needs an "
                           "administrator's rights."),
            this);
        why->setWordWrap(true);
        // sudo asks again with the same prompt after a wrong password: say what went wrong.
        m_notice = new QLabel(retry ? QStringLiteral("Sorry, try again.") : QString(), this);
        m_notice->setVisible(retry);
        m_notice->setStyleSheet(QStringLiteral("font-weight: bold"));
        auto *promptLabel = new QLabel(prompt, this);
        m_password = new QLineEdit(this);
        m_password->setEchoMode(QLineEdit::Password);
        promptLabel->setBuddy(m_password);
        auto *note = new QLabel(
            QStringLiteral("A wrong password takes about 2 seconds to be refused; you will be "
                           "asked again, up to three times in all. Cancel stops asking."),
            this);
        note->setWordWrap(true);
        m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        for (QWidget *widget :
             {static_cast<QWidget *>(heading), static_cast<QWidget *>(why),
              static_cast<QWidget *>(m_notice), static_cast<QWidget *>(promptLabel),
              static_cast<QWidget *>(m_password), static_cast<QWidget *>(note),
              static_cast<QWidget *>(m_buttons)})
            layout->addWidget(widget);
        m_password->setFocus();
    }

    QByteArray password() const { return m_password->text().toUtf8(); }
    QString notice() const { return m_notice->text(); }

    // The test suite answers through the same field and buttons a person would use.
    void answer(bool accept, const QString &password)
    {
        m_password->setText(password);
        m_buttons->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    }

private:
    QLabel *m_notice = nullptr;
    QLineEdit *m_password = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
};

#ifdef VELLORAN_ASKPASS_TEST_HOOK
// The test suite's answer, in test builds only: honoured only from a private file of the user's
// own that begins with a marker line, so no ordinary environment can trigger it by accident.
std::optional<QStringList> testAnswer()
{
    const QByteArray path = qgetenv("VELLORAN_ASKPASS_TEST_ANSWER");
    if (path.isEmpty())
        return std::nullopt;
    const int fd = open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {
    };
    QFile file;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid() ||
        (info.st_mode & 077) != 0 || !file.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle)) {
        close(fd);
        return std::nullopt;
    }
    const QStringList lines = QString::fromUtf8(file.read(8192)).split('\n');
    if (lines.size() < 2 || lines.at(0) != QLatin1String("velloran-askpass-test"))
        return std::nullopt;
    QStringList answers = lines.mid(1);
    answers.removeAll(QString());
    if (answers.isEmpty())
        return std::nullopt;
    return answers;
}
#endif

// How often this password request asked before: Velloran hands each request a fresh private
// file (VELLORAN_ASKPASS_TRIES) to which every ask adds one byte.
int countTry()
{
    const QByteArray path = qgetenv("VELLORAN_ASKPASS_TRIES");
    if (path.isEmpty())
        return 0;
    const int fd = open(path.constData(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat info {
    };
    int tries = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid()) {
        tries = static_cast<int>(info.st_size);
        if (write(fd, "1", 1) != 1)
            tries = 0;
    }
    close(fd);
    return tries;
}

// Velloran's window, which the dialog belongs to (X11 only: Wayland has no foreign parents).
void setTransientParent(QWidget &dialog)
{
    bool ok = false;
    const WId parent = qEnvironmentVariable("VELLORAN_ASKPASS_PARENT").toULongLong(&ok);
    if (!ok || parent == 0 || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    if (QWindow *window = QWindow::fromWinId(parent)) {
        dialog.winId();
        dialog.windowHandle()->setTransientParent(window);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString prompt =
        argc > 1 ? QString::fromLocal8Bit(argv[1]).trimmed() : QStringLiteral("Password:");
    const int tries = countTry();
    AskpassDialog dialog(prompt, tries > 0);
    setTransientParent(dialog);

#ifdef VELLORAN_ASKPASS_TEST_HOOK
    if (const auto answer = testAnswer()) {
        // Line n answers the n-th ask (the last one all later asks); the notice shown is noted.
        const QString line = answer->at(std::min<qsizetype>(tries, answer->size() - 1));
        const bool accept = line.startsWith(QLatin1String("accept "));
        const QString password = accept ? line.mid(7) : QString();
        QFile shown(qEnvironmentVariable("VELLORAN_ASKPASS_TEST_ANSWER") +
                    QStringLiteral(".shown"));
        if (shown.open(QIODevice::Append))
            shown.write(dialog.notice().toUtf8() + '\n');
        QTimer::singleShot(0, &dialog,
                           [&dialog, accept, password] { dialog.answer(accept, password); });
    }
#endif
    if (dialog.exec() != QDialog::Accepted)
        return 1;

    QByteArray password = dialog.password();
    password.append('\n');
    const bool written = std::fwrite(password.constData(), 1, password.size(), stdout) ==
                         static_cast<std::size_t>(password.size());
    password.fill('\0');
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}
