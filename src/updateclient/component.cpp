#include "component.h"

Component::Component(const std::string &project, const std::string &name, const std::string &type,
                     const std::string &version, const std::string &description,
                     const std::string &copyrights, const std::string &author,
                     const std::string &webpage, const std::string &email)
    : project(project)
    , name(name)
    , type(type)
    , version(version)
    , description(description)
    , copyrights(copyrights)
    , author(author)
    , webpage(webpage)
    , email(email)
{ }
