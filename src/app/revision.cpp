#include "app/revision.hpp"

#ifndef KELMAR_REVISION
#define KELMAR_REVISION "00000000"
#endif

std::string_view build_revision()
{
    return KELMAR_REVISION;
}
