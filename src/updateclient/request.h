#ifndef REQUEST_H
#define REQUEST_H

#include <string>

// One entry of the update query: a component and its installed version.
class Request
{
public:
    Request(const std::string &project, const std::string &name, const std::string &type,
            const std::string &version);

    const std::string &getProject() const { return project; }
    const std::string &getName() const { return name; }
    const std::string &getType() const { return type; }
    const std::string &getVersion() const { return version; }

private:
    std::string project;
    std::string name;
    std::string type;
    std::string version;
};

#endif // REQUEST_H
