#ifndef COMPONENT_H
#define COMPONENT_H

#include <string>

// One component of the messenger, as installed or as offered by the update server.
class Component
{
public:
    Component(const std::string &project, const std::string &name, const std::string &type,
              const std::string &version, const std::string &description,
              const std::string &copyrights, const std::string &author, const std::string &webpage,
              const std::string &email);

    const std::string &getProject() const { return project; }
    const std::string &getName() const { return name; }
    const std::string &getType() const { return type; }
    const std::string &getVersion() const { return version; }
    const std::string &getDescription() const { return description; }
    const std::string &getCopyrights() const { return copyrights; }
    const std::string &getAuthor() const { return author; }
    const std::string &getWebpage() const { return webpage; }
    const std::string &getEmail() const { return email; }

private:
    std::string project;
    std::string name;
    std::string type;
    std::string version;
    std::string description;
    std::string copyrights;
    std::string author;
    std::string webpage;
    std::string email;
};

#endif // COMPONENT_H
