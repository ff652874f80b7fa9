#ifndef FILEINSTRUCTION_H
#define FILEINSTRUCTION_H

#include <string>

// One file entry of a package manifest.
class FileInstruction
{
public:
    enum type_e { Add, Remove, Backup };

    FileInstruction(type_e type, const std::string &filename, const std::string &path);

    type_e getType() const { return type; }
    const std::string &getFilename() const { return filename; }
    const std::string &getPath() const { return path; }

private:
    type_e type;
    std::string filename;
    std::string path;
};

#endif // FILEINSTRUCTION_H
