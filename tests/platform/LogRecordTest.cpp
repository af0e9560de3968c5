#include "platform/LogRecord.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLoggingCategory>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace dravane::platform;

namespace {

Q_LOGGING_CATEGORY(lcTest, "dravane.test", QtDebugMsg)
Q_LOGGING_CATEGORY(lcOther, "elsewhere", QtDebugMsg)

std::atomic<int> passedOn{0};
void countingHandler(QtMsgType, const QMessageLogContext&, const QString&) {
    ++passedOn;
}

// Threads log at once (as the serial layer's do) while the UI thread reads:
// the record keeps the last 200 dravane.* lines at info and above, every
// message still reaches the handler installed before, and each kept line is
// announced on the UI thread.
TEST(LogRecord, KeepsTheLastLinesOfOurCategoriesFromAnyThread) {
    const QtMessageHandler before = qInstallMessageHandler(countingHandler);
    TLogRecord& record = TLogRecord::Instance();
    record.Clear();
    int announced = 0;
    bool elsewhere = false;
    QObject receiver;
    QObject::connect(&record, &TLogRecord::LineAdded, &receiver,
                     [&](qint64, int, const QString&, const QString&) {
                         ++announced;
                         elsewhere |= QThread::currentThread() != receiver.thread();
                     });

    constexpr int Threads = 4, Lines = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t] {
            for (int k = 0; k < Lines; ++k) {
                qCInfo(lcTest) << "thread" << t << "line" << k;
                qCDebug(lcTest) << "a debug line";
                qCWarning(lcOther) << "not ours";
            }
        });
    }
    // Reading while they write.
    for (int k = 0; k < 500 && record.Lines().size() < TLogRecord::Capacity; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (std::thread& t : threads)
        t.join();
    qCWarning(lcTest) << "the last";

    const std::vector<TLogLine> lines = record.Lines();
    ASSERT_EQ(lines.size(), TLogRecord::Capacity);
    for (const TLogLine& l : lines) {
        EXPECT_EQ(l.Category, "dravane.test");
        EXPECT_NE(l.Type, QtDebugMsg);
        EXPECT_GT(l.Time, 0);
    }
    EXPECT_EQ(lines.back().Text, "the last");
    EXPECT_EQ(FormatLogLine(lines.back()),
              QDateTime::fromMSecsSinceEpoch(lines.back().Time).toString("HH:mm:ss") + " warning: the last");
    EXPECT_EQ(passedOn.load(), Threads * Lines * 3 + 1);

    for (int k = 0; k < 1000 && announced < Threads * Lines + 1; ++k)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(announced, Threads * Lines + 1);
    EXPECT_FALSE(elsewhere);
    qInstallMessageHandler(before);
}

} // namespace
