#ifndef UPDATE_H
#define UPDATE_H

#include "component.h"

// An update offered by the update server for one component.
class Update : public Component
{
public:
    Update(const std::string &project, const std::string &name, const std::string &type,
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

    const std::string &getChangelog() const { return changelog; }
    const std::string &getLink() const { return link; }
    bool isCritical() const { return critical; }
    unsigned int getTimestamp() const { return timestamp; }

private:
    std::string changelog;
    std::string link;
    bool critical;
    unsigned int timestamp;
};

#endif // UPDATE_H
