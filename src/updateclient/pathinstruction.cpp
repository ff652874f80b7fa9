#include "pathinstruction.h"

PathInstruction::PathInstruction(const std::string &file, const std::string &path)
    : file(file)
    , path(path)
{ }
