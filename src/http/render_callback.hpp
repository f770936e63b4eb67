#pragma once

#include <functional>
#include <string>

// Produces the exposition text for one scrape.
using RenderCallback = std::function<std::string()>;
