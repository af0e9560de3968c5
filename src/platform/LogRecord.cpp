#include "platform/LogRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <atomic>

namespace dravane::platform {
namespace {

std::atomic<QtMessageHandler> previousHandler{nullptr};

void recordAndPass(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    TLogRecord::Instance().Take(type, context, text);
    if (const QtMessageHandler previous = previousHandler.load())
        previous(type, context, text);
}

const char* levelName(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "error";
    case QtFatalMsg:
        return "fatal";
    }
    return "";
}

} // namespace

QString FormatLogLine(const TLogLine& Line) {
    return QDateTime::fromMSecsSinceEpoch(Line.Time).toString(QStringLiteral("HH:mm:ss ")) +
           QLatin1String(levelName(Line.Type)) + QStringLiteral(": ") + Line.Text;
}

TLogRecord& TLogRecord::Instance() {
    // Never destroyed: a thread may log while the process ends.
    static TLogRecord* const record = [] {
        auto* r = new TLogRecord;
        previousHandler = qInstallMessageHandler(recordAndPass);
        return r;
    }();
    return *record;
}

void TLogRecord::Take(QtMsgType Type, const QMessageLogContext& Context, const QString& Text) {
    // Debug lines are --verbose's; the list holds what the log says by default.
    if (Type == QtDebugMsg || !Context.category || qstrncmp(Context.category, "dravane.", 8) != 0)
        return;
    const TLogLine line{QDateTime::currentMSecsSinceEpoch(), QString::fromLatin1(Context.category), Type,
                        Text};
    {
        const std::lock_guard lock(FLock);
        if (FLines.size() == Capacity)
            FLines.pop_front();
        FLines.push_back(line);
    }
    const std::lock_guard announcing(FAnnounceLock);
    emit LineAdded(line.Time, line.Type, line.Category, line.Text);
}

std::vector<TLogLine> TLogRecord::Lines() const {
    const std::lock_guard lock(FLock);
    return {FLines.begin(), FLines.end()};
}

void TLogRecord::Clear() {
    const std::lock_guard lock(FLock);
    FLines.clear();
}

void SetLogPattern() {
    if (qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN"))
        return;
    qSetMessagePattern(QStringLiteral("%{if-debug}debug %{endif}%{if-info}info %{endif}%{if-warning}warning "
                                      "%{endif}%{if-critical}error %{endif}%{if-fatal}fatal %{endif}"
                                      "%{if-category}%{category}: %{endif}%{message}"));
}

} // namespace dravane::platform
