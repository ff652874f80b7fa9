#include "messageboxanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPointer>
#include <QPushButton>

MessageBoxAnswerer::MessageBoxAnswerer(const QList<QMessageBox::StandardButton> &script,
                                       QObject *parent)
    : QObject(parent)
    , script(script)
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxAnswerer::answerOpenBox);
    timer.start(5);
}

void MessageBoxAnswerer::answerOpenBox()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible() || box == answering)
            continue;
        Box record;
        record.icon = box->icon();
        record.title = box->windowTitle();
        record.text = box->text();
        for (QAbstractButton *button : box->buttons())
            record.buttons.append(box->standardButton(button));
        std::sort(record.buttons.begin(), record.buttons.end());
        for (QMessageBox::StandardButton button : std::as_const(record.buttons))
            record.buttonTexts.append(box->button(button)->text());
        record.defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton())
                                                    : QMessageBox::NoButton;
        seen.append(record);
        if (beforeAnswer)
            beforeAnswer(record);

        QAbstractButton *button = nullptr;
        if (!script.isEmpty())
            button = box->button(script.takeFirst());
        // Unscripted boxes get a button that never starts anything (never Retry).
        for (QMessageBox::StandardButton safe :
             {QMessageBox::Ok, QMessageBox::Abort, QMessageBox::Cancel, QMessageBox::Close}) {
            if (!button)
                button = box->button(safe);
        }
        if (!button)
            button = box->buttons().value(0);
        answering = box;
        QPointer<QMessageBox> guard(box);
        button->click();
        if (!guard || !guard->isVisible())
            answering = nullptr;
        return;
    }
}
