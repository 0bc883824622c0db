// Every library text qv-disk relies on is still one the library writes: its string literals
// (adjacent ones joined, "%d" read as any number) hold each one.
#include "library_texts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

// The text of every string literal in the library's sources, adjacent literals joined, one a
// line.
std::string library_literals() {
    std::string literals;
    const std::regex literal(R"re("(?:[^"\\\n]|\\.)*"(?:\s*"(?:[^"\\\n]|\\.)*")*)re");
    const std::regex piece(R"re("((?:[^"\\\n]|\\.)*)")re");
    for (const auto& entry : std::filesystem::directory_iterator(QV_SDK_SOURCE_DIR)) {
        const std::string ext = entry.path().extension();
        if (ext != ".cpp" && ext != ".h") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        const std::string source = text.str();
        for (std::sregex_iterator m(source.begin(), source.end(), literal), end; m != end; ++m) {
            const std::string whole = m->str();
            for (std::sregex_iterator p(whole.begin(), whole.end(), piece), e; p != e; ++p)
                literals += (*p)[1].str();
            literals += "\n";
        }
    }
    return literals;
}

TEST(LibraryTexts, EveryTextQvDiskReliesOnIsWrittenByTheLibrary) {
    const std::string literals = library_literals();
    ASSERT_FALSE(literals.empty()) << "no sources under " << QV_SDK_SOURCE_DIR;
    for (const char* text : qvdisk::kNeverPassTexts)
        EXPECT_NE(literals.find(text), std::string::npos)
            << "the library no longer writes \"" << text << "\"";
    const std::string handshake = std::regex_replace(literals, std::regex("%d"), "1");
    EXPECT_NE(handshake.find(qvdisk::kHandshakeDone), std::string::npos);
}

}  // namespace
