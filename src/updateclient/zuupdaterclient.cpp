#include "zuupdaterclient.h"

#include "componentsfile.h"
#include "request.h"
#include "util.h"

ZuUpdaterClient::~ZuUpdaterClient()
{
    for (auto &entry : requests)
        delete entry.second;
}

void ZuUpdaterClient::addRequest(const std::string &project, const std::string &name,
                                 const std::string &type, const std::string &version)
{
    const std::string id = Util::generateComponentID(project, name, type);
    if (requests.count(id) == 0)
        requests[id] = new Request(project, name, type, version);
}

void ZuUpdaterClient::addRequest(const ComponentsFile &file)
{
    for (const auto &entry : file.getComponents()) {
        const Component &c = entry.second;
        addRequest(c.getProject(), c.getName(), c.getType(), c.getVersion());
    }
}

std::string ZuUpdaterClient::getQuery() const
{
    // The server reads this exact shape: every value followed by "' ", nothing escaped.
    std::string query = "<s><update>";
    for (const auto &entry : requests) {
        const Request &r = *entry.second;
        query += "<component ";
        if (!r.getProject().empty())
            query += "project='" + r.getProject() + "' ";
        if (!r.getName().empty())
            query += "name='" + r.getName() + "' ";
        if (!r.getType().empty())
            query += "type='" + r.getType() + "' ";
        query += "version='" + r.getVersion() + "' ";
        query += "/>";
    }
    query += "</update></s>";
    return query;
}
