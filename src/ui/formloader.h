#ifndef FORMLOADER_H
#define FORMLOADER_H

#include <QUiLoader>

#include <functional>

// Loads a form, calling a function once before the first widget that needs the fonts: a text
// pane lays out its empty document as it is made, and everything before it (the other widgets,
// their style sheets and pixmaps) can be built while the fonts are still being prepared.
class FormLoader : public QUiLoader
{
public:
    explicit FormLoader(std::function<void()> beforeText);

    // Calls the function unless a text pane has called it already. For a form without one,
    // before its window is laid out.
    void textFollows();

protected:
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override;

private:
    std::function<void()> beforeText;
};

#endif // FORMLOADER_H
