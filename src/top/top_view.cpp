#include "top/top_view.hpp"

#include <cstdio>

int run_top_view()
{
    std::fputs("the top-like view is not available yet\n", stderr);
    return 1;
}
