#ifndef ENGINEEVENTLOG_H
#define ENGINEEVENTLOG_H

#include <QList>
#include <QObject>
#include <QStringList>

class HttpTestServer;
class VornUpdaterEngine;

// Everything an engine emits about its download and installation run, as text in order:
// "file NAME", "progress N", "finished", "error TEXT", "installed".
class EngineEventLog : public QObject
{
public:
    void watch(VornUpdaterEngine *engine);

    // The download ended, with or without an error.
    bool over() const;
    // Events of a kind: the whole event, or its first word.
    int count(const QString &kind) const;
    QList<int> percents() const;
    // Nothing more is emitted and nothing more requested once the server has closed every
    // connection and what that sets off has been handled: nothing is left in flight then.
    bool staysQuiet(HttpTestServer &server) const;

    QStringList events;
};

#endif // ENGINEEVENTLOG_H
