#ifndef UTIL_H
#define UTIL_H

#include <string>

class Util
{
public:
    Util() = delete;

    // project + name + type, without separator: the key of components and requests.
    static std::string generateComponentID(const std::string &a, const std::string &b,
                                           const std::string &c);
    // strtoul with base 0; false (and *out untouched) unless the whole text is a number.
    static bool stringToUINT(const char *text, unsigned int *out);
};

#endif // UTIL_H
