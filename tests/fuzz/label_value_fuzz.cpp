// Any bytes as a device name: every sample line of the family blocks is one a
// Prometheus text parser accepts (a label value of valid UTF-8 with only the
// three escapes), and a name that is valid UTF-8 comes back unchanged.

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "exposition/exposition.hpp"

namespace {

// glibc's decoder rejects what RFC 3629 forbids: overlong forms, surrogates,
// code points above U+10FFFF and cut sequences.
bool is_utf8(std::string text)
{
    static const iconv_t decoder = iconv_open("UTF-32LE", "UTF-8");
    std::vector<char> decoded(4 * text.size() + 4);
    char* in = text.data();
    char* out = decoded.data();
    std::size_t in_left = text.size(), out_left = decoded.size();
    iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    return iconv(decoder, &in, &in_left, &out, &out_left) != static_cast<std::size_t>(-1);
}

// `line` is NAME{device="VALUE"} 1 with a well-formed VALUE; the value as
// read back, or an abort.
std::string label_value(std::string_view line, std::string_view name)
{
    const std::string start = std::string(name) + "{device=\"";
    if (!line.starts_with(start))
        std::abort();
    std::string value;
    std::size_t at = start.size();
    for (;; ++at) {
        if (at >= line.size())
            std::abort();
        const char c = line[at];
        if (c == '"')
            break;
        if (c == '\n')
            std::abort();
        if (c == '\\') {
            const char escaped = ++at < line.size() ? line[at] : '\0';
            if (escaped != '\\' && escaped != '"' && escaped != 'n')
                std::abort();
            value += escaped == 'n' ? '\n' : escaped;
        } else {
            value += c;
        }
    }
    if (line.substr(at) != "\"} 1" || !is_utf8(value))
        std::abort();
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string name(reinterpret_cast<const char*>(data), size);
    std::string text;
    append_interface_families(text, "p", {{name, 1, 1, 1, 1, 1, 1, 1}});
    append_disk_families(text, "p", {{name, 1, 1, 1, 1, 1}});
    std::vector<std::string_view> lines;
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        if (end == std::string_view::npos)
            std::abort();
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    if (lines.size() != 12 * 3)
        std::abort();
    for (std::size_t i = 0; i < lines.size(); i += 3) {
        // "# HELP NAME ...", "# TYPE NAME counter", then the sample.
        const std::string_view help = lines[i];
        if (!help.starts_with("# HELP p_") || !lines[i + 1].starts_with("# TYPE "))
            std::abort();
        const std::string_view family = help.substr(7, help.find(' ', 7) - 7);
        const std::string value = label_value(lines[i + 2], family);
        if (is_utf8(name) && value != name)
            std::abort();
    }
    return 0;
}
