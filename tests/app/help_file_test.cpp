// The help file beside the built program, and the Help command that opens it.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/corvantis_app.h"
#include "platform/shell.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::vector<std::string> kPages = {"index.html", "hosts.html", "settings.html", "events.html",
                                         "files.html", "log.html",   "commands.html"};

TEST(HelpFile, IsCompiledBesideTheProgramWithEveryPage) {
    if (!VELMORA_HELP_BUILT)
        GTEST_SKIP() << "chmcmd (Debian package fp-utils) was not found when configuring";
    const fs::path file = fs::path(VELMORA_HELP_DIR) / kHelpFileName;
    ASSERT_TRUE(fs::exists(file)) << file;
    const std::string bytes = ReadFile(file);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), "ITSF") << "not a compiled help file";
    for (const std::string& page : kPages)
        EXPECT_NE(bytes.find("/" + page), std::string::npos) << page << " missing from the file";
    EXPECT_NE(bytes.find("/toc.hhc"), std::string::npos) << "no table of contents";
}

TEST(HelpFile, PagesAndReadmeLieBesideTheProgramForAnyBrowser) {
    const char* source = std::getenv("VELMORA_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const fs::path dir(VELMORA_HELP_DIR);
    for (const std::string& page : kPages) {
        ASSERT_TRUE(fs::exists(dir / "help" / page)) << page;
        EXPECT_EQ(ReadFile(dir / "help" / page), ReadFile(fs::path(source) / "help" / page))
            << page;
    }
    EXPECT_TRUE(fs::exists(dir / "help" / "style.css"));
    EXPECT_TRUE(fs::exists(dir / "README.md"));
}

TEST(HelpFile, EveryPageLinksOnlyToPagesThatExist) {
    const char* source = std::getenv("VELMORA_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const fs::path dir = fs::path(source) / "help";
    for (const std::string& page : kPages) {
        const std::string text = ReadFile(dir / page);
        size_t at = 0;
        while ((at = text.find("href=\"", at)) != std::string::npos) {
            at += 6;
            const std::string target = text.substr(at, text.find('"', at) - at);
            EXPECT_EQ(target.find(':'), std::string::npos)
                << page << " links outside the help: " << target;
            EXPECT_TRUE(fs::exists(dir / target)) << page << " links to missing " << target;
        }
    }
}

std::vector<std::vector<std::string>> g_spawned;
bool RecordSpawn(const std::vector<std::string>& argv) {
    g_spawned.push_back(argv);
    return true;
}

std::string g_handler;
std::string g_askedFor;
std::string AnswerHandler(const std::string& mimeType) {
    g_askedFor = mimeType;
    return g_handler;
}

// The compiled help where the desktop can show it and the file is there, else the same pages
// as HTML; both in the directory of whichever program runs (in the program itself, where the
// build put them). Beside this test program the test lays the compiled file itself, and
// takes it away again (one that was there is moved aside meanwhile).
TEST(HelpFile, TheHelpCommandOpensTheCompiledFileOnlyWhereItIsThereAndTheDesktopHasAViewer) {
    SetShellSpawnHook(RecordSpawn);
    SetMimeQueryHook(AnswerHandler);
    const fs::path dir = fs::path(GetModuleDirectory());
    const fs::path compiled = dir / kHelpFileName;
    const fs::path aside = dir / (std::string(kHelpFileName) + ".aside");
    const bool wasThere = fs::exists(compiled);
    if (wasThere)
        fs::rename(compiled, aside);
    for (const bool present : {true, false}) {
        if (present)
            std::ofstream(compiled, std::ios::binary) << "ITSF";
        else
            fs::remove(compiled);
        for (const std::string handler : {"chmviewer.desktop", ""}) {
            g_spawned.clear();
            g_handler = handler;
            theApp.OnHelp();
            ASSERT_EQ(g_spawned.size(), 1u);
            ASSERT_EQ(g_spawned[0].size(), 2u);
            EXPECT_EQ(g_spawned[0][0], "xdg-open");
            const fs::path expected =
                present && !handler.empty() ? compiled : dir / "help" / "index.html";
            EXPECT_EQ(fs::path(g_spawned[0][1]), expected)
                << "file " << (present ? "there" : "missing") << ", handler '" << handler << "'";
        }
    }
    EXPECT_EQ(g_askedFor, "application/vnd.ms-htmlhelp");
    fs::remove(compiled);
    if (wasThere)
        fs::rename(aside, compiled);
    SetMimeQueryHook(nullptr);
    SetShellSpawnHook(nullptr);
}

}  // namespace
