#pragma once
// The process's recent log: the last Capacity lines of the dravane.*
// categories at info level and above, each with its time, category and
// level, for whoever shows the link's events without a terminal. Installed
// once, it sees every message before the handler that was there before
// (standard error, the journal), which still gets every message.
//
// Threads: any thread may log (the serial layer's threads do); the record
// is guarded by its own lock. LineAdded is emitted on the logging thread:
// a receiver on the UI thread gets it queued, and formats it there.

#include <QObject>
#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace dravane::platform {

struct TLogLine {
    // Milliseconds since the epoch: local time is worked out only where the
    // line is shown (the time-zone code is not for every thread at once).
    qint64 Time = 0;
    QString Category;
    QtMsgType Type = QtInfoMsg;
    QString Text;
};

// "14:02:07 warning: <text>" (local time), as the event list shows a line.
// UI thread.
QString FormatLogLine(const TLogLine& Line);

class TLogRecord : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t Capacity = 200;

    // The process's record; the message handler is installed at the first call.
    static TLogRecord& Instance();

    // The lines kept, oldest first.
    std::vector<TLogLine> Lines() const;
    void Clear();

    // What the handler does with one message (public for the handler only).
    void Take(QtMsgType Type, const QMessageLogContext& Context, const QString& Text);

signals:
    // One line kept (Type: a QtMsgType).
    void LineAdded(qint64 Time, int Type, const QString& Category, const QString& Text);

private:
    TLogRecord() = default;
    mutable std::mutex FLock;
    std::deque<TLogLine> FLines; // guard: FLock
    // Announcements from several threads one at a time: Qt's own lock on the
    // receiver's event list is invisible to the thread checker, which then
    // takes two growing lists for a race. Recursive: a slot may log.
    std::recursive_mutex FAnnounceLock;
};

// stderr lines carry their level and category ("warning dravane.serial:
// ..."); QT_MESSAGE_PATTERN still wins. Call before the first message.
void SetLogPattern();

} // namespace dravane::platform
