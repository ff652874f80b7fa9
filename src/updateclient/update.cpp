#include "update.h"

Update::Update(const std::string &project, const std::string &name, const std::string &type,
               const std::string &version, const std::string &description,
               const std::string &copyrights, const std::string &author, const std::string &webpage,
               const std::string &email, const std::string &changelog, const std::string &link,
               bool critical, unsigned int timestamp)
    : Component(project, name, type, version, description, copyrights, author, webpage, email)
    , changelog(changelog)
    , link(link)
    , critical(critical)
    , timestamp(timestamp)
{ }
