#include "result.h"

Result::Result(const Request &request)
    : request(&request)
{ }

void Result::addUpdate(const Update &update)
{
    updates.push_back(&update);
}
