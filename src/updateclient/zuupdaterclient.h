#ifndef ZUUPDATERCLIENT_H
#define ZUUPDATERCLIENT_H

#include <map>
#include <string>

class ComponentsFile;
class Request;

// Collects one request per component and writes the update query document.
class ZuUpdaterClient
{
public:
    ZuUpdaterClient() = default;
    ~ZuUpdaterClient();
    ZuUpdaterClient(const ZuUpdaterClient &) = delete;
    ZuUpdaterClient &operator=(const ZuUpdaterClient &) = delete;

    // Keeps the first request stored under an identifier.
    void addRequest(const std::string &project, const std::string &name, const std::string &type,
                    const std::string &version);
    void addRequest(const ComponentsFile &file);
    std::string getQuery() const;

private:
    std::map<std::string, Request *> requests;
};

#endif // ZUUPDATERCLIENT_H
