#include "app/AboutBox.h"

#include "platform/SettingsPath.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>
#include <QWidget>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace dravane::app {

namespace {
// Where standard error leads, in words: the journal when systemd connected
// it (it says so in JOURNAL_STREAM), a terminal, or elsewhere.
QString LogDestination() {
    struct stat err {};
    if (::fstat(STDERR_FILENO, &err) != 0)
        return QStringLiteral("nowhere (standard error is closed)");
    // "device:inode" of the stream systemd handed over; a program started
    // from that stream by a shell with its output redirected no longer matches.
    if (const char* stream = std::getenv("JOURNAL_STREAM")) {
        const QStringList parts = QString::fromLatin1(stream).split(u':');
        if (parts.size() == 2 && parts[0].toULongLong() == err.st_dev && parts[1].toULongLong() == err.st_ino)
            return QStringLiteral("the systemd journal (journalctl --user -t dravane, or -u dravane-server "
                                  "for the service)");
    }
    if (::isatty(STDERR_FILENO))
        return QStringLiteral("standard error, the terminal it was started from");
    return QStringLiteral("standard error (redirected where it was started)");
}
} // namespace

void ShowAboutBox(QWidget* parent) {
    const QFileInfo settings(QString::fromStdString(platform::SettingsFileName()));
    const QUrl folder = QUrl::fromLocalFile(settings.absolutePath());
    const QString text =
        QStringLiteral("<p><b>Dravane Control</b> %1</p>"
                       "<p>Controls a remotely switched receiving antenna through its controller.</p>"
                       "<p>Free software under the GNU General Public License, version 3 or any later "
                       "version (GPL-3.0-or-later), without any warranty.</p>"
                       "<p>Settings file:<br><a href=\"%2\" style=\"color: %5\">%3</a></p>"
                       "<p>Messages go to %4.</p>")
            .arg(
                QCoreApplication::applicationVersion().toHtmlEscaped(), folder.toString(QUrl::FullyEncoded),
                settings.absoluteFilePath().toHtmlEscaped(), LogDestination().toHtmlEscaped(),
                // The toolkit's link blue is lost on the style's dark faces; underlined text colour is not.
                (parent ? parent->palette() : QGuiApplication::palette()).color(QPalette::WindowText).name());
    QMessageBox box(QMessageBox::Information, QStringLiteral("About Dravane Control"), text, QMessageBox::Ok,
                    parent);
    box.setObjectName(QStringLiteral("AboutBox"));
    box.setTextFormat(Qt::RichText);
    // A message box's text opens its links through the desktop: the link
    // names the file, and its folder opens in the file manager.
    box.setTextInteractionFlags(Qt::TextBrowserInteraction);
    box.exec();
}

} // namespace dravane::app
