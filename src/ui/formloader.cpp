#include "formloader.h"

#include <utility>

FormLoader::FormLoader(std::function<void()> beforeText)
    : beforeText(std::move(beforeText))
{ }

void FormLoader::textFollows()
{
    if (beforeText)
        std::exchange(beforeText, {})();
}

QWidget *FormLoader::createWidget(const QString &className, QWidget *parent, const QString &name)
{
    // The widgets that make a text document, and lay it out, on construction.
    if (className == u"QPlainTextEdit" || className == u"QTextEdit" || className == u"QTextBrowser")
        textFollows();
    return QUiLoader::createWidget(className, parent, name);
}
