#include "util.h"

#include <cstdlib>

std::string Util::generateComponentID(const std::string &a, const std::string &b,
                                      const std::string &c)
{
    return a + b + c;
}

bool Util::stringToUINT(const char *text, unsigned int *out)
{
    if (!text)
        return false;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (*end != '\0')
        return false;
    *out = static_cast<unsigned int>(value);
    return true;
}
