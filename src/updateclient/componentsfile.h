#ifndef COMPONENTSFILE_H
#define COMPONENTSFILE_H

#include "component.h"

#include <map>
#include <string>

// A product's components, keyed by their identifier, and the writer of the components file.
class ComponentsFile
{
public:
    ComponentsFile() = default;

    const std::map<std::string, Component> &getComponents() const { return components; }
    // Keeps the first component stored under an identifier.
    void addComponent(const Component &component);
    void removeComponent(const std::string &project, const std::string &name,
                         const std::string &type);
    bool save(const std::string &fileName);

private:
    std::map<std::string, Component> components;
};

#endif // COMPONENTSFILE_H
