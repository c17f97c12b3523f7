#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

// One running program per user: the first launch holds a lock file and listens on a local socket beside it;
// a later launch finds the lock held, asks the first to bring its window forward, and ends. A lock or socket
// left by a program that died does not count, nor a lock that still names no program a few seconds after it was
// made (its program died before it wrote it).
class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Role {
        first,       // no other program runs: this one goes on, and answers later launches
        forwarded,   // another runs and has been asked to come forward: this one ends
        unreachable, // another holds the lock but did not answer in time
    };

    // folder holds <name>.lock and <name>.socket; the program uses the user's runtime folder. patience bounds
    // how long a later launch waits for the running program to answer.
    SingleInstance(QString folder, QString name, std::chrono::milliseconds patience = std::chrono::seconds(3),
                   QObject* parent = nullptr);

    // The user's runtime folder ($XDG_RUNTIME_DIR, or Qt's per-user stand-in when it is not set).
    static QString runtimeFolder();

    Role claim();

signals:
    // A later launch asks for the window.
    void raiseRequested();

private:
    // Whether the lock file names no program (empty, or not a lock) and has done so for longer than a launch takes
    // to write it.
    bool namesNobodyForLong() const;
    // Removes such a lock; true when it did.
    bool removeUnwrittenLock();
    Role forward();
    void answer();

    QString lockPath_;
    QString socketPath_;
    std::chrono::milliseconds patience_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};
