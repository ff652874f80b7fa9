#ifndef WINDOWRENDERER_H
#define WINDOWRENDERER_H

#include <QDir>
#include <QObject>
#include <QStringList>

class QWidget;
class VornUpdaterEngine;

// Walks a real run through its windows and saves a picture of each at a telling moment: the
// offer window as it opens and with its changelog shown, the download and install windows
// while they work on the last package, and the summary. Needs an engine whose check has
// offered updates whose packages can be downloaded and installed.
class WindowRenderer : public QObject
{
    Q_OBJECT

public:
    WindowRenderer(VornUpdaterEngine *engine, const QString &outputDir, const QString &suffix);

    // Opens the offer window; the rest follows from the event loop, which ends after the
    // summary has been saved.
    void start();
    // The pictures saved so far, as file names.
    QStringList saved() const { return savedFiles; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void offerShown();
    void changelogShown();
    void downloadFileStarted();
    void installFileStarted();
    void summaryShown();
    void save(const QString &windowName, const QString &pictureName);
    void click(const QString &windowName, const char *buttonName);

    VornUpdaterEngine *engine;
    QDir output;
    QString suffix;
    QStringList savedFiles;
};

#endif // WINDOWRENDERER_H
