// The manual page quotes the help screen; the two must not drift apart.
#include <gtest/gtest.h>

#include <regex>

#include "testdisk.h"

namespace {

// The lines of the first no-fill block after `marker`, with roff's escaped minus made plain.
std::string quotedblock(const std::string &page, const std::string &marker) {
    size_t at = page.find(marker);
    if (at == std::string::npos || (at = page.find("\n.nf\n", at)) == std::string::npos)
        return "";
    at += 5;
    size_t end = page.find("\n.fi\n", at);
    if (end == std::string::npos)
        return "";
    return std::regex_replace(page.substr(at, end + 1 - at), std::regex(R"(\\-)"), "-");
}

TEST(ManualPage, QuotesTheHelpScreenWordForWord) {
    disk bytes = readfile(SCATTERDISK_MANPAGE);
    std::string page(bytes.begin(), bytes.end());
    runresult help = run(shellquote(SCATTERDISK_BIN) + " -h");
    ASSERT_EQ(help.status, 255);
    EXPECT_EQ(quotedblock(page, "The help screen reads:"), help.out);
}

}  // namespace
