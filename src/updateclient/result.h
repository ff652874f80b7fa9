#ifndef RESULT_H
#define RESULT_H

#include <vector>

class Request;
class Update;

// A request and the updates found for it; owns neither.
class Result
{
public:
    explicit Result(const Request &request);

    const Request &getRequest() const { return *request; }
    const std::vector<const Update *> &getUpdates() const { return updates; }
    void addUpdate(const Update &update);

private:
    const Request *request;
    std::vector<const Update *> updates;
};

#endif // RESULT_H
