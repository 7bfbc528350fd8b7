#include "ui/command_table.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

#include "ui/menus.h"
#include "ui/true_color_toolbar.h"

namespace {

TEST(CommandTable, EveryPlaceNamesAKnownCommand) {
    std::set<uint32_t> used;
    for (const MenuPopupInfo& popup : MainMenu())
        used.insert(popup.items.begin(), popup.items.end());
    for (uint32_t menu : {IDR_HOST_LIST_MENU, IDR_EVENT_LIST_MENU, IDR_TRAY_MENU})
        used.insert(ContextMenu(menu)->items.begin(), ContextMenu(menu)->items.end());
    used.insert(ToolbarButtons().begin(), ToolbarButtons().end());
    for (const AcceleratorInfo& key : Accelerators())
        used.insert(key.id);
    used.erase(0);
    for (uint32_t id : used)
        EXPECT_NE(FindCommand(id), nullptr) << id;
    // And every command of the table is reachable somewhere.
    for (const CommandInfo& c : AllCommands())
        EXPECT_TRUE(used.count(c.id)) << c.id;
}

TEST(CommandTable, MainMenuHasFivePopupsWithTheirTexts) {
    const auto& menu = MainMenu();
    ASSERT_EQ(menu.size(), 5u);
    EXPECT_STREQ(menu[0].title, "&File");
    EXPECT_STREQ(menu[1].title, "&View");
    EXPECT_STREQ(menu[2].title, "&Option");
    EXPECT_STREQ(menu[3].title, "&Service");
    EXPECT_STREQ(menu[4].title, "&Help");
    const std::vector<uint32_t> file = {32789, 32784, 32783, 32809, 32785, 32811, 0, 32787, 32777};
    EXPECT_EQ(menu[0].items, file);
    const std::vector<uint32_t> option = {32771, 0,     32772, 32773, 32774, 0,
                                          32805, 32804, 0,     32803, 32812};
    EXPECT_EQ(menu[2].items, option);
    const std::vector<uint32_t> service = {32790, 32776, 0, 32779, 0, 32780, 32788, 32808};
    EXPECT_EQ(menu[3].items, service);
    EXPECT_STREQ(FindCommand(32784)->menuText, "I&mport && Append From file...\tCtrl+M");
    EXPECT_STREQ(FindCommand(32788)->menuText, "Clear E&vent List \tCtrl+V");
    EXPECT_STREQ(FindCommand(57664)->menuText, "&About Velmora IPV6...");
    EXPECT_STREQ(FindCommand(32812)->menuText, "&Find\tCtrl+F");
}

TEST(CommandTable, TrayMenuOrderAndTexts) {
    const MenuPopupInfo* tray = ContextMenu(IDR_TRAY_MENU);
    const std::vector<uint32_t> items = {32775, 32786, 57664, 0, 32790, 32776, 0, 32777};
    EXPECT_EQ(tray->items, items);
    EXPECT_STREQ(FindCommand(32775)->trayText, "Open(&O)");
    EXPECT_STREQ(FindCommand(32786)->trayText, "Gorvath  Home Page(&T)");
    EXPECT_STREQ(FindCommand(57664)->trayText, "About  Velmora IPV6(&A)...");
    EXPECT_STREQ(FindCommand(32790)->trayText, "S&tart Service");
    EXPECT_STREQ(FindCommand(32776)->trayText, "Sto&p Service");
    EXPECT_STREQ(FindCommand(32777)->trayText, "E&xit");
}

TEST(CommandTable, ToolbarHasFourteenButtonsInOrder) {
    const std::vector<uint32_t> buttons = {32783, 32785, 32772, 32773, 32774, 32805, 32804,
                                           32771, 32790, 32776, 32779, 32780, 32782, 57664};
    EXPECT_EQ(ToolbarButtons(), buttons);
}

TEST(CommandTable, AcceleratorsAreTheTableAndNothingElse) {
    std::set<std::string> keys;
    for (const AcceleratorInfo& key : Accelerators())
        keys.insert(key.key);
    EXPECT_EQ(Accelerators().size(), 19u);
    EXPECT_EQ(keys.size(), 19u);
    EXPECT_FALSE(keys.count("Ctrl+F"));
    std::map<std::string, uint32_t> ids;
    for (const AcceleratorInfo& key : Accelerators())
        ids[key.key] = key.id;
    EXPECT_EQ(ids["Ctrl+C"], 32808u);  // clear statistics, not copy
    EXPECT_EQ(ids["Ctrl+V"], 32788u);  // clear event list, not paste
    EXPECT_EQ(ids["Ctrl+X"], 32777u);
    EXPECT_EQ(ids["Del"], 32774u);
    EXPECT_EQ(ids["F1"], 32782u);
}

TEST(CommandTable, UpdateRules) {
    const std::set<uint32_t> whenStopped = {32790, 32783, 32784, 32789, 32809, 32774};
    for (const CommandInfo& c : AllCommands()) {
        const UpdateRule expected = whenStopped.count(c.id) ? UpdateRule::kWhenStopped
                                    : c.id == 32776         ? UpdateRule::kWhenRunning
                                                            : UpdateRule::kAlways;
        EXPECT_EQ(c.rule, expected) << c.id;
    }
}

TEST(CommandTable, PromptsSplitIntoStatusTextAndTooltip) {
    SetPromptLanguage(kLanguageEnglish);
    const QString prompt = QString::fromUtf8(CommandPrompt(32804));
    EXPECT_EQ(PromptText(prompt), "Move  the selected item up");
    EXPECT_EQ(TooltipText(prompt), "Move Up");
    EXPECT_STREQ(CommandPrompt(32772), "Add a IP address to query\nAdd IP");
    EXPECT_STREQ(CommandPrompt(32782), "Open help document\nHelp");
    EXPECT_EQ(CommandPrompt(32808), nullptr);
    EXPECT_EQ(CommandPrompt(32788), nullptr);
    EXPECT_EQ(TooltipText(QString::fromUtf8(CommandPrompt(57664))), "About");
    EXPECT_STREQ(StringResource(IDS_TRAY_TIP), "Velmora IPV6 V4.0.0");
    EXPECT_STREQ(StringResource(IDS_IDLE_MESSAGE), "Ready");
    SetPromptLanguage(0);
}

// The second string table: chosen by the user's language, it differs in four prompts and
// has none for Start Service and the moves; the rest it shares with the first.
TEST(CommandTable, TheLanguageChoosesTheStringTable) {
    struct Case {
        const char* lcAll;
        const char* lang;
        uint16_t expected;
    };
    const char* oldAll = std::getenv("LC_ALL");
    const char* oldMessages = std::getenv("LC_MESSAGES");
    const char* oldLang = std::getenv("LANG");
    const std::string keepAll = oldAll ? oldAll : "", keepMessages = oldMessages ? oldMessages : "",
                      keepLang = oldLang ? oldLang : "";
    unsetenv("LC_MESSAGES");
    for (const Case& c :
         {Case{"", "zh_CN.UTF-8", kLanguageChinese}, Case{"", "zh_TW.UTF-8", kLanguageEnglish},
          Case{"C", "zh_CN.UTF-8", kLanguageEnglish}, Case{"zh_SG", "de_DE", kLanguageChinese},
          Case{"", "", kLanguageEnglish}}) {
        setenv("LC_ALL", c.lcAll, 1);
        setenv("LANG", c.lang, 1);
        EXPECT_EQ(LanguageFromEnvironment(), c.expected) << c.lcAll << " " << c.lang;
    }
    oldAll ? setenv("LC_ALL", keepAll.c_str(), 1) : unsetenv("LC_ALL");
    oldMessages ? setenv("LC_MESSAGES", keepMessages.c_str(), 1) : unsetenv("LC_MESSAGES");
    oldLang ? setenv("LANG", keepLang.c_str(), 1) : unsetenv("LANG");

    SetPromptLanguage(kLanguageChinese);
    EXPECT_STREQ(CommandPrompt(ID_DELETE), "Delete the selected IP addresses\ndelete select items");
    EXPECT_STREQ(CommandPrompt(ID_HELP), "Help\nHelp");
    EXPECT_EQ(CommandPrompt(ID_START_SERVICE), nullptr);
    EXPECT_EQ(CommandPrompt(ID_MOVE_UP), nullptr);
    EXPECT_STREQ(CommandPrompt(ID_ADD_IP), "Add a IP address to query\nAdd IP");
    // Menus and toolbar show the table in use.
    std::unique_ptr<QMenu> menu(LoadPopupMenu(IDR_HOST_LIST_MENU, nullptr));
    EXPECT_EQ(menu->actions().at(2)->statusTip(), "Delete the selected IP addresses");
    CTrueColorToolBar toolbar;
    ASSERT_TRUE(toolbar.LoadToolBar(IDR_MAINFRAME, [](uint32_t) {}));
    EXPECT_EQ(toolbar.ButtonAction(ID_DELETE)->toolTip(), "delete select items");
    EXPECT_EQ(toolbar.ButtonAction(ID_START_SERVICE)->toolTip(), "");
    SetPromptLanguage(kLanguageEnglish);
    EXPECT_STREQ(CommandPrompt(ID_START_SERVICE), "Start Service\nStart Service");
    SetPromptLanguage(0);
}

}  // namespace
