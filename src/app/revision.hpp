#pragma once

#include <string_view>

// Eight lowercase hex digits fixed when the program was built.
std::string_view build_revision();
