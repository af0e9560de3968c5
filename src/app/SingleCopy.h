#pragma once
// One copy of the program per settings file. The first start holds a lock
// file beside the settings file ("<settings>.lock") and listens on a local
// socket named after the file; a later start with the same file finds the
// lock held, asks the holder over the socket to bring its window to the
// front, and ends. The lock names its holder's process: one left by a copy
// that was killed is taken over, and so is the socket it left behind.
//
// UI thread only; needs the application object.

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace dravane::app {

class TSingleCopy : public QObject {
    Q_OBJECT
public:
    enum TClaim : std::uint8_t {
        scFirst,     // this copy holds the lock and answers later starts
        scUnguarded, // no lock can be made beside the settings file: run, unguarded
        scRaised,    // another copy holds it and has come to the front
        scNoAnswer,  // another copy holds it and does not answer
    };

    explicit TSingleCopy(const QString& settingsFile);
    ~TSingleCopy() override;

    // Once, before any window exists; waits at most a few seconds for a holder's answer.
    TClaim Claim();

    // The socket's name for a settings file: its canonical path hashed, with
    // the user, so neither another user nor another file's copy answers.
    static QString ServerName(const QString& settingsFile);

signals:
    // A later start asked this copy's window to come forward.
    void RaiseRequested();

private:
    bool AskHolderToRaise();
    void Answer(QLocalSocket* socket);

    QString FSettingsFile;
    std::unique_ptr<QLockFile> FLock;
    std::unique_ptr<QLocalServer> FServer;
};

} // namespace dravane::app
