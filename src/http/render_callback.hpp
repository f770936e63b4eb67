#pragma once

#include <functional>
#include <string>

// Appends the exposition text for one scrape to the string it is given.
using RenderCallback = std::function<void(std::string&)>;
