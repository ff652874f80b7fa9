#include "componentsfile.h"

#include "util.h"

#include <cstdio>

void ComponentsFile::addComponent(const Component &component)
{
    components.emplace(
        Util::generateComponentID(component.getProject(), component.getName(), component.getType()),
        component);
}

void ComponentsFile::removeComponent(const std::string &project, const std::string &name,
                                     const std::string &type)
{
    components.erase(Util::generateComponentID(project, name, type));
}

bool ComponentsFile::save(const std::string &fileName)
{
    // Values are written byte for byte: the readers of this file expect them unescaped.
    std::string text = "<components>\n";
    for (const auto &entry : components) {
        const Component &c = entry.second;
        text += "<component project='" + c.getProject() + "' " + "name='" + c.getName() + "' "
            + "type='" + c.getType() + "' " + "version='" + c.getVersion() + "'" + ">\n";
        text += "<description>" + c.getDescription() + "</description>\n";
        text += "<copyrights>" + c.getCopyrights() + "</copyrights>\n";
        text += "<author>" + c.getAuthor() + "</author>\n";
        text += "<webpage>" + c.getWebpage() + "</webpage>\n";
        text += "<email>" + c.getEmail() + "</email>\n";
        text += "</component>";
    }
    text += "</components>";

    std::FILE *file = std::fopen(fileName.c_str(), "wb");
    if (!file)
        return false;
    // Flush before closing so that a full disk is reported, not hidden in the close.
    const bool written
        = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    std::fclose(file);
    return written;
}
