#ifndef PATHINSTRUCTION_H
#define PATHINSTRUCTION_H

#include <string>

// A file and the directory it belongs in.
class PathInstruction
{
public:
    PathInstruction(const std::string &file, const std::string &path);

    const std::string &getFile() const { return file; }
    const std::string &getPath() const { return path; }

private:
    std::string file;
    std::string path;
};

#endif // PATHINSTRUCTION_H
