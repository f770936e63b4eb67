#include <errno.h>

#include "sysctl_answers.hpp"

int answer_interface_mib(const int*, unsigned int, void*, size_t*)
{
    return ENOENT;
}
