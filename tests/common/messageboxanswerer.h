#ifndef MESSAGEBOXANSWERER_H
#define MESSAGEBOXANSWERER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

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
        QMessageBox::StandardButton defaultButton;
    };

    // Each box that appears is answered with the next button of the script; when the script
    // is used up, boxes are answered with their escape or first button.
    explicit MessageBoxAnswerer(const QList<QMessageBox::StandardButton> &script = {},
                                QObject *parent = nullptr);

    const QList<Box> &boxes() const { return seen; }
    int count() const { return seen.size(); }
    const Box &last() const { return seen.constLast(); }

private:
    void answerOpenBox();

    QTimer timer;
    QList<QMessageBox::StandardButton> script;
    QList<Box> seen;
    QMessageBox *answering = nullptr;
};

#endif // MESSAGEBOXANSWERER_H
