#include "fileinstruction.h"

FileInstruction::FileInstruction(type_e type, const std::string &filename, const std::string &path)
    : type(type)
    , filename(filename)
    , path(path)
{ }
