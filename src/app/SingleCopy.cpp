#include "app/SingleCopy.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QThread>

#include <unistd.h>

namespace dravane::app {

Q_LOGGING_CATEGORY(lcCopy, "dravane.app", QtInfoMsg)

namespace {
constexpr QByteArrayView raiseRequest = "raise\n";
constexpr QByteArrayView raisedAnswer = "raised\n";
// A holder that has just taken the lock needs a moment before it listens.
constexpr int holderWaitMs = 5000;
constexpr int retryMs = 100;
} // namespace

TSingleCopy::TSingleCopy(const QString& settingsFile) : FSettingsFile(settingsFile) {}

TSingleCopy::~TSingleCopy() = default;

QString TSingleCopy::ServerName(const QString& settingsFile) {
    // The folder resolved, so that two spellings of one file (a symbolic
    // link, "..") meet; the file itself may not exist yet.
    const QFileInfo file(settingsFile);
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    const QString path = (folder.isEmpty() ? file.absolutePath() : folder) + u'/' + file.fileName();
    const QByteArray hash =
        QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(20);
    return QStringLiteral("dravane-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

TSingleCopy::TClaim TSingleCopy::Claim() {
    const QString lockPath = FSettingsFile + QStringLiteral(".lock");
    FLock = std::make_unique<QLockFile>(lockPath);
    // Held for the whole run: only a dead holder makes a lock stale, never its age.
    FLock->setStaleLockTime(0);
    if (!FLock->tryLock(0)) {
        if (FLock->error() != QLockFile::LockFailedError) {
            qCWarning(lcCopy, "cannot make the lock %s; a second copy with this settings file is not stopped",
                      qUtf8Printable(lockPath));
            FLock.reset();
            return scUnguarded;
        }
        qint64 pid = 0;
        QString host, application;
        FLock->getLockInfo(&pid, &host, &application);
        if (AskHolderToRaise()) {
            qCInfo(lcCopy, "already running with %s (process %lld); its window was brought to the front",
                   qUtf8Printable(FSettingsFile), pid);
            return scRaised;
        }
        qCWarning(lcCopy,
                  "%s is in use by process %lld on %s, which does not answer; if no such copy runs, "
                  "remove %s",
                  qUtf8Printable(FSettingsFile), pid, qUtf8Printable(host), qUtf8Printable(lockPath));
        return scNoAnswer;
    }

    FServer = std::make_unique<QLocalServer>();
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = ServerName(FSettingsFile);
    // The lock is ours, so a socket of that name is a dead copy's.
    QLocalServer::removeServer(name);
    connect(FServer.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = FServer->nextPendingConnection())
            Answer(socket);
    });
    if (!FServer->listen(name))
        qCWarning(lcCopy, "cannot listen on %s (%s): a second start will not find this copy",
                  qUtf8Printable(name), qUtf8Printable(FServer->errorString()));
    return scFirst;
}

void TSingleCopy::Answer(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
        if (!socket->canReadLine()) {
            // Nothing longer is ever asked; a peer that sends more is cut off.
            if (socket->bytesAvailable() > raiseRequest.size())
                socket->abort();
            return;
        }
        if (socket->readLine() != raiseRequest) {
            socket->abort();
            return;
        }
        qCInfo(lcCopy, "a second start with this settings file: brought to the front");
        emit RaiseRequested();
        socket->write(raisedAnswer.data(), raisedAnswer.size());
        socket->disconnectFromServer();
    });
}

bool TSingleCopy::AskHolderToRaise() {
    const QString name = ServerName(FSettingsFile);
    const QDeadlineTimer deadline(holderWaitMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(name);
        if (socket.waitForConnected(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1))))
            break;
        if (deadline.hasExpired())
            return false;
        // Refused at once while the holder is not listening yet; the next try after a pause.
        QThread::msleep(retryMs);
    }
    socket.write(raiseRequest.data(), raiseRequest.size());
    if (!socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1))))
        return false;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1))))
            return false;
    return socket.readLine() == raisedAnswer;
}

} // namespace dravane::app
