#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exposition/exposition.hpp"

namespace {

TEST(InterfaceExposition, SevenFamiliesInBlockOrder)
{
    const std::vector<InterfaceSample> interfaces{
        {"lo0", 11, 12, 13, 14, 15, 16, 17},
        {"em0", 21, 22, 23, 24, 25, 26, 27},
    };
    std::string text;
    append_interface_families(text, "p", interfaces);

    const char* const families[] = {
        "p_network_receive_bytes_total",   "p_network_transmit_bytes_total",
        "p_network_receive_packets_total", "p_network_transmit_packets_total",
        "p_network_receive_errors_total",  "p_network_transmit_errors_total",
        "p_network_receive_drops_total",
    };
    std::string expected_structure;
    for (int family = 0; family < 7; ++family) {
        const std::string name = families[family];
        expected_structure += "# HELP " + name + "\n# TYPE " + name + " counter\n";
        expected_structure += name + "{device=\"lo0\"} " + std::to_string(11 + family) + "\n";
        expected_structure += name + "{device=\"em0\"} " + std::to_string(21 + family) + "\n";
    }
    // The HELP texts themselves are left out of the comparison.
    std::string structure;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "last line not terminated";
        std::string line = text.substr(at, end - at);
        if (line.rfind("# HELP ", 0) == 0)
            line = line.substr(0, line.find(' ', 7));
        structure += line + "\n";
        at = end + 1;
    }
    EXPECT_EQ(structure, expected_structure);
}

TEST(InterfaceExposition, QuoteAndBackslashInNameAreEscaped)
{
    std::string text;
    append_interface_families(text, "p", {{"a\"b\\c", 1, 2, 3, 4, 5, 6, 7}});
    EXPECT_NE(text.find("p_network_receive_bytes_total{device=\"a\\\"b\\\\c\"} 1\n"),
              std::string::npos)
        << text;
}

}  // namespace
