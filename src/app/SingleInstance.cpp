#include "app/SingleInstance.h"

#include "platform/Log.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <cstdlib>

namespace {
constexpr char kRaise[] = "raise\n";
constexpr char kRaised[] = "raised\n";
// A launch writes its lock a moment after it creates it; a lock that still names nobody after this long was left by
// a program that died in between.
constexpr std::chrono::seconds kUnwrittenLockAge{5};

void logFailure(const QString& reason)
{
    logLine("singleInstance: " + reason.toStdString());
}
} // namespace

SingleInstance::SingleInstance(QString folder, QString name, std::chrono::milliseconds patience, QObject* parent)
    : QObject(parent), lockPath_(QDir(folder).filePath(name + ".lock")),
      socketPath_(QDir(folder).filePath(name + ".socket")), patience_(patience)
{
}

QString SingleInstance::runtimeFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::Role SingleInstance::claim()
{
    lock_ = std::make_unique<QLockFile>(lockPath_);
    // Only a lock whose program is gone is stale, however old it is.
    lock_->setStaleLockTime(0);
    bool locked = lock_->tryLock(0);
    if (!locked && lock_->error() == QLockFile::LockFailedError && removeUnwrittenLock())
        locked = lock_->tryLock(0);
    if (!locked) {
        if (lock_->error() == QLockFile::LockFailedError)
            return forward();
        // Without a usable lock there is no telling whether another runs: better two windows than none.
        logFailure("cannot lock " + lockPath_ + ", going on without one");
        return Role::first;
    }
    // Under the lock a socket can only be one that a program which died left behind.
    QLocalServer::removeServer(socketPath_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (server_.listen(socketPath_))
        connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::answer);
    else
        logFailure("cannot listen on " + socketPath_ + ": " + server_.errorString());
    return Role::first;
}

bool SingleInstance::namesNobodyForLong() const
{
    qint64 pid = 0;
    QString host, application;
    if (lock_->getLockInfo(&pid, &host, &application))
        return false;
    const QFileInfo file(lockPath_);
    // Gone meanwhile: nothing to take over, and the next try takes the lock or finds its new owner.
    if (!file.exists())
        return false;
    // Older or newer than now by that much: a clock set back must not keep a dead program's lock young for ever.
    const qint64 age = std::abs(file.lastModified().secsTo(QDateTime::currentDateTime()));
    return std::chrono::seconds(age) >= kUnwrittenLockAge;
}

bool SingleInstance::removeUnwrittenLock()
{
    if (!namesNobodyForLong())
        return false;
    // Two launches that both find it must not both remove it: the second would remove the lock the first has
    // just made. Under this second lock the first removes it, and the second then finds a new lock that is
    // written, or young, and leaves it.
    QLockFile removal(lockPath_ + QStringLiteral(".rmlock"));
    if (!removal.tryLock(0) || !namesNobodyForLong())
        return false;
    logFailure("the lock " + lockPath_ + " names no program and is old: taken over");
    return lock_->removeStaleLockFile();
}

SingleInstance::Role SingleInstance::forward()
{
    const QDeadlineTimer deadline(patience_);
    QLocalSocket socket;
    // The running program takes the lock a moment before it listens.
    for (;;) {
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime())) || deadline.hasExpired())
            break;
        QThread::msleep(20);
    }
    if (socket.state() == QLocalSocket::ConnectedState) {
        socket.write(kRaise);
        while (!socket.canReadLine() && socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
        }
        if (socket.readLine() == kRaised) {
            logLine("singleInstance: already running, its window was brought forward");
            return Role::forwarded;
        }
    }
    logFailure("the running program does not answer on " + socketPath_ + ": " + socket.errorString());
    return Role::unreachable;
}

void SingleInstance::answer()
{
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            if (socket->readLine() == kRaise) {
                emit raiseRequested();
                socket->write(kRaised);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}
