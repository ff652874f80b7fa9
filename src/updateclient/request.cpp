#include "request.h"

Request::Request(const std::string &project, const std::string &name, const std::string &type,
                 const std::string &version)
    : project(project)
    , name(name)
    , type(type)
    , version(version)
{ }
