#ifndef INSTALLJOURNAL_H
#define INSTALLJOURNAL_H

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class DownloadDirectory;

// The record that lets a killed or crashed installation run be undone at the next start. Before
// a package changes its first file, the run notes the package's installation directory and the
// unwind directory that receives its backups; the note reaches the disk (file and directory
// flushed) before the change. A run that ends removes the journal; one that finds it at start-up
// puts every backup back, newest package first, as a rollback would. The journal lies in the
// run's opened download directory and is reached beneath its descriptor without following
// links.
class InstallJournal
{
public:
    enum Recovery {
        NothingToRecover, // no journal: the last run ended
        Recovered, // an interrupted run was undone, and its journal and files removed
        RestoreFailed, // a backup could not be put back; the journal stays for the next start
        Discarded, // the journal was not one the updater writes: nothing was restored
    };

    // downloads is open and outlives the journal.
    explicit InstallJournal(const DownloadDirectory &downloads);

    // False when the note cannot be written: the package must then change nothing.
    bool recordPackage(const QString &installDir, const QString &unwindDir);
    // The run has ended; false when the journal could not be removed.
    bool finish();

    // Undoes an interrupted run. Only a journal as the updater writes it is trusted: every
    // installation directory one of installDirs, every backup directory the unwind directory
    // of a plainly named package in downloads. Any other journal is discarded with the
    // download directory's files, and nothing is restored.
    static Recovery recover(const DownloadDirectory &downloads, const QStringList &installDirs);

private:
    static bool parse(const QByteArray &text, const QString &downloadDir,
                      const QStringList &installDirs, QList<QPair<QString, QString>> *packages);

    const DownloadDirectory &downloads;
    bool recorded = false;
    bool directorySynced = false;
};

#endif // INSTALLJOURNAL_H
