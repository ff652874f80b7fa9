#ifndef WINDOWFORM_H
#define WINDOWFORM_H

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

class QObject;

// Builds a window from a form of the resource bundle and looks up its children. A window
// controller checks isComplete() before it wires anything, so that a form that cannot be read
// or lacks a child stops the run with a message instead of a crash.
class WindowForm
{
public:
    // `beforeText`, when given, is called once before the first widget that needs the fonts.
    explicit WindowForm(const QString &resourcePath, std::function<void()> beforeText = {});

    QWidget *window() const { return root; }

    template<class T> T *child(const char *name)
    {
        T *found = root ? root->findChild<T *>(QLatin1String(name)) : nullptr;
        if (!found)
            missing << QLatin1String(name);
        return found;
    }

    bool isComplete() const { return root && missing.isEmpty(); }

    // Shows the window, deleted when it is closed, and `controller` with it.
    void show(QObject *controller);
    // The same, for a window shown later.
    void deleteWith(QObject *controller);

    // Tells the user that the window cannot be shown, drops it and ends the application
    // (once its event loop runs). `controller` is deleted with it.
    void refuse(QObject *controller);

private:
    QString path;
    QWidget *root = nullptr;
    QStringList missing;
};

#endif // WINDOWFORM_H
