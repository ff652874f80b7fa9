#include "addressbound.h"

bool AddressBound::admit(const QHostAddress &address)
{
    const std::lock_guard<std::mutex> lock(mutex);
    int &count = counts[address];
    if (maximum == 0 || count < maximum) {
        ++count;
        return true;
    }
    return false;
}

void AddressBound::release(const QHostAddress &address)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = counts.find(address);
    if (found != counts.end() && --found.value() == 0)
        counts.erase(found);
}
