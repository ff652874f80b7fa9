#ifndef SERVERPROCESS_H
#define SERVERPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// The update server as a child process; it is killed when this object goes. Its replies are
// signed with the reply key the build trusts, unless the arguments name a key of their own.
// Its log is read from standard error, or from a file it appends to, which other servers may
// share.
class ServerProcess
{
public:
    explicit ServerProcess(const QStringList &arguments, const QString &logFile = QString());
    // The key file of the reply key the build trusts.
    static QString buildReplyKey() { return QStringLiteral(REPLY_KEY_FILE); }
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // False when the server exits or does not announce its port in time.
    bool waitForListening();
    quint16 port() const { return listeningPort; }
    // Waits until the log holds the text, that many times.
    bool waitForLog(const QByteArray &text, int timeoutMs = 10000, qsizetype times = 1);
    // The exit code of a server that refused to start, -1 if it is still running.
    int waitForExitCode();
    QByteArray log() const { return errorOutput; }
    // Sends the server a signal, such as SIGHUP or SIGTERM.
    void signal(int number);

private:
    bool readLog();

    QProcess process;
    QString logFile;
    QByteArray errorOutput;
    quint16 listeningPort = 0;
};

#endif // SERVERPROCESS_H
