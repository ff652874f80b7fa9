#ifndef MESSAGEBOXANSWERER_H
#define MESSAGEBOXANSWERER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

#include <functional>

// Answers modal message boxes from a timer while they run their own event loop, and
// records what each one showed.
class MessageBoxAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QList<QMessageBox::StandardButton> buttons;
        QStringList buttonTexts; // in the order of buttons
        QMessageBox::StandardButton defaultButton;
    };

    // Each box that appears is answered with the next button of the script; when the script
    // is used up (or names a button the box lacks), with Ok, Abort, Cancel or Close.
    explicit MessageBoxAnswerer(const QList<QMessageBox::StandardButton> &script = {},
                                QObject *parent = nullptr);

    // Runs while the box is still open, right before it is answered.
    void setBeforeAnswer(const std::function<void(const Box &)> &hook) { beforeAnswer = hook; }

    const QList<Box> &boxes() const { return seen; }
    int count() const { return seen.size(); }
    const Box &last() const { return seen.constLast(); }

private:
    void answerOpenBox();

    QTimer timer;
    QList<QMessageBox::StandardButton> script;
    QList<Box> seen;
    QMessageBox *answering = nullptr;
    std::function<void(const Box &)> beforeAnswer;
};

#endif // MESSAGEBOXANSWERER_H
