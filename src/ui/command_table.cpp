#include "ui/command_table.h"

#include <cstdlib>
#include <string_view>
#include <unordered_map>

namespace {

const std::vector<CommandInfo> kCommands = {
    {ID_NEW_TEMPLATE, "&New Template\tCtrl+N", nullptr, nullptr, UpdateRule::kWhenStopped},
    {ID_IMPORT_APPEND, "I&mport && Append From file...\tCtrl+M", nullptr, nullptr,
     UpdateRule::kWhenStopped},
    {ID_IMPORT_FROM_FILE, "&Import From file...\tCtrl+I", nullptr,
     "Import the setup information from file...\nImport", UpdateRule::kWhenStopped},
    {ID_IMPORT_FROM_TEXT, "Im&port From text file", nullptr, nullptr, UpdateRule::kWhenStopped},
    {ID_EXPORT_TO_FILE, "&Export to file...\tCtrl+E", nullptr,
     "Export the setup information to file...\nExport", UpdateRule::kAlways},
    {ID_EXPORT_TO_TEXT, "Exp&ort to text file", nullptr, nullptr, UpdateRule::kAlways},
    {ID_HIDE_WINDOW, "Close", nullptr, nullptr, UpdateRule::kAlways},
    {ID_APP_EXIT, "E&xit\tCtrl+X", "E&xit", nullptr, UpdateRule::kAlways},
    {ID_VIEW_TOOLBAR, "&Toolbar", nullptr, "Show or hide the toolbar\nToolbar",
     UpdateRule::kAlways},
    {ID_VIEW_STATUS_BAR, "&Status Bar", nullptr, "Show or hide the status bar\nStatus Bar",
     UpdateRule::kAlways},
    {ID_SETTING, "&Setting...\tCtrl+S", nullptr, "Setup\nSetup", UpdateRule::kAlways},
    {ID_ADD_IP, "&Add IP\tCtrl+A", nullptr, "Add a IP address to query\nAdd IP",
     UpdateRule::kAlways},
    {ID_ADD_IP_RANGE, "Add IP &Range\tCtrl+R", nullptr,
     "Add some IP addresses within a range to query\nAdd IP Range", UpdateRule::kAlways},
    {ID_DELETE, "&Delete\tDel", nullptr, "Delete the selected items\nDelete the selected items",
     UpdateRule::kWhenStopped},
    {ID_MOVE_DOWN, "Move Do&wn\tCtrl+W", nullptr, "Move  the selected item down\nMove Down",
     UpdateRule::kAlways},
    {ID_MOVE_UP, "Move &Up\tCtrl+U", nullptr, "Move  the selected item up\nMove Up",
     UpdateRule::kAlways},
    {ID_PROPERTY, "Propert&y\tCtrl+Y", nullptr, nullptr, UpdateRule::kAlways},
    {ID_FIND, "&Find\tCtrl+F", nullptr, nullptr, UpdateRule::kAlways},
    {ID_START_SERVICE, "S&tart Service\tCtrl+T", "S&tart Service", "Start Service\nStart Service",
     UpdateRule::kWhenStopped},
    {ID_STOP_SERVICE, "Sto&p Service\tCtrl+P", "Sto&p Service", "Stop Service\nStop Service",
     UpdateRule::kWhenRunning},
    {ID_STOP_SOUND, "St&op Sound\tCtrl+O", nullptr, "Stop Sound\nStop Sound", UpdateRule::kAlways},
    {ID_VIEW_LOG_FILE, "View &Log File\tCtrl+L", nullptr, "View log file\nView log file",
     UpdateRule::kAlways},
    {ID_CLEAR_EVENT_LIST, "Clear E&vent List \tCtrl+V", nullptr, nullptr, UpdateRule::kAlways},
    {ID_CLEAR_STATISTICS, "&Clear Statistics\tCtrl+C", nullptr, nullptr, UpdateRule::kAlways},
    {ID_HELP, "&Help\tF1", nullptr, "Open help document\nHelp", UpdateRule::kAlways},
    {ID_APP_ABOUT, "&About Velmora IPV6...", "About  Velmora IPV6(&A)...",
     "Display program information, version number and copyright\nAbout", UpdateRule::kAlways},
    {ID_OPEN_WINDOW, nullptr, "Open(&O)", nullptr, UpdateRule::kAlways},
    {ID_HOME_PAGE, nullptr, "Gorvath  Home Page(&T)", nullptr, UpdateRule::kAlways},
    {ID_SUSPEND, "S&uspend the selected items", nullptr, nullptr, UpdateRule::kAlways},
    {ID_RESUME, "R&esume the selected items", nullptr, nullptr, UpdateRule::kAlways},
};

const std::vector<MenuPopupInfo> kMainMenu = {
    {"&File",
     {ID_NEW_TEMPLATE, ID_IMPORT_APPEND, ID_IMPORT_FROM_FILE, ID_IMPORT_FROM_TEXT,
      ID_EXPORT_TO_FILE, ID_EXPORT_TO_TEXT, 0, ID_HIDE_WINDOW, ID_APP_EXIT}},
    {"&View", {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR}},
    {"&Option",
     {ID_SETTING, 0, ID_ADD_IP, ID_ADD_IP_RANGE, ID_DELETE, 0, ID_MOVE_DOWN, ID_MOVE_UP, 0,
      ID_PROPERTY, ID_FIND}},
    {"&Service",
     {ID_START_SERVICE, ID_STOP_SERVICE, 0, ID_STOP_SOUND, 0, ID_VIEW_LOG_FILE, ID_CLEAR_EVENT_LIST,
      ID_CLEAR_STATISTICS}},
    {"&Help", {ID_HELP, ID_APP_ABOUT}},
};

const MenuPopupInfo kHostListMenu = {
    "",
    {ID_ADD_IP, ID_ADD_IP_RANGE, ID_DELETE, ID_PROPERTY, ID_CLEAR_STATISTICS, 0, ID_SETTING, 0,
     ID_SUSPEND, ID_RESUME}};
const MenuPopupInfo kEventListMenu = {"", {ID_CLEAR_EVENT_LIST}};
const MenuPopupInfo kTrayMenu = {"",
                                 {ID_OPEN_WINDOW, ID_HOME_PAGE, ID_APP_ABOUT, 0, ID_START_SERVICE,
                                  ID_STOP_SERVICE, 0, ID_APP_EXIT}};

const std::vector<uint32_t> kToolbar = {
    ID_IMPORT_FROM_FILE, ID_EXPORT_TO_FILE, ID_ADD_IP,  ID_ADD_IP_RANGE,  ID_DELETE,
    ID_MOVE_DOWN,        ID_MOVE_UP,        ID_SETTING, ID_START_SERVICE, ID_STOP_SERVICE,
    ID_STOP_SOUND,       ID_VIEW_LOG_FILE,  ID_HELP,    ID_APP_ABOUT};

const std::vector<AcceleratorInfo> kAccelerators = {
    {"Ctrl+A", ID_ADD_IP},
    {"Ctrl+C", ID_CLEAR_STATISTICS},
    {"Ctrl+E", ID_EXPORT_TO_FILE},
    {"Ctrl+I", ID_IMPORT_FROM_FILE},
    {"Ctrl+L", ID_VIEW_LOG_FILE},
    {"Ctrl+M", ID_IMPORT_APPEND},
    {"Ctrl+N", ID_NEW_TEMPLATE},
    {"Ctrl+O", ID_STOP_SOUND},
    {"Ctrl+P", ID_STOP_SERVICE},
    {"Ctrl+R", ID_ADD_IP_RANGE},
    {"Ctrl+S", ID_SETTING},
    {"Ctrl+T", ID_START_SERVICE},
    {"Ctrl+U", ID_MOVE_UP},
    {"Ctrl+V", ID_CLEAR_EVENT_LIST},
    {"Ctrl+W", ID_MOVE_DOWN},
    {"Ctrl+X", ID_APP_EXIT},
    {"Ctrl+Y", ID_PROPERTY},
    {"Del", ID_DELETE},
    {"F1", ID_HELP},
};

// Where the second string table differs from the first: its own texts, and commands it
// has no prompt for (nullptr).
const std::unordered_map<uint32_t, const char*> kChinesePrompts = {
    {ID_DELETE, "Delete the selected IP addresses\ndelete select items"},
    {ID_VIEW_LOG_FILE, "View Log File\nView Log File"},
    {ID_HELP, "Help\nHelp"},
    {ID_IMPORT_APPEND, "Import & append the setup information from file...\nImport & append"},
    {ID_START_SERVICE, nullptr},
    {ID_MOVE_UP, nullptr},
    {ID_MOVE_DOWN, nullptr},
};

uint16_t g_language = 0;

const std::unordered_map<uint32_t, const char*> kStrings = {
    {IDR_MAINFRAME, "Velmora IPV6\n\nCorvan\n\n\nCorvantis.Document"},
    {IDS_APP_TITLE, "Velmora IPV6"},
    {IDS_IDLE_MESSAGE, "Ready"},
    {IDS_TRAY_TIP, "Velmora IPV6 V4.0.0"},
    {59137, "CAP"},
    {59138, "NUM"},
    {59139, "SCRL"},
};

}  // namespace

const std::vector<CommandInfo>& AllCommands() {
    return kCommands;
}

const CommandInfo* FindCommand(uint32_t id) {
    for (const CommandInfo& c : kCommands) {
        if (c.id == id)
            return &c;
    }
    return nullptr;
}

const std::vector<MenuPopupInfo>& MainMenu() {
    return kMainMenu;
}

const MenuPopupInfo* ContextMenu(uint32_t resourceId) {
    switch (resourceId) {
        case IDR_HOST_LIST_MENU:
            return &kHostListMenu;
        case IDR_EVENT_LIST_MENU:
            return &kEventListMenu;
        case IDR_TRAY_MENU:
            return &kTrayMenu;
        default:
            return nullptr;
    }
}

const std::vector<uint32_t>& ToolbarButtons() {
    return kToolbar;
}

const std::vector<AcceleratorInfo>& Accelerators() {
    return kAccelerators;
}

const char* CommandPrompt(uint32_t id) {
    if (PromptLanguage() == kLanguageChinese) {
        if (auto it = kChinesePrompts.find(id); it != kChinesePrompts.end())
            return it->second;
    }
    const CommandInfo* c = FindCommand(id);
    return c != nullptr ? c->prompt : nullptr;
}

uint16_t LanguageFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || value[0] == '\0')
            continue;
        const std::string_view locale(value);
        for (std::string_view chinese : {"zh_CN", "zh_SG", "zh-Hans", "zh_Hans"}) {
            if (locale.substr(0, chinese.size()) == chinese)
                return kLanguageChinese;
        }
        return kLanguageEnglish;
    }
    return kLanguageEnglish;
}

uint16_t PromptLanguage() {
    if (g_language == 0)
        g_language = LanguageFromEnvironment();
    return g_language;
}

void SetPromptLanguage(uint16_t language) {
    g_language = language;
}

const char* StringResource(uint32_t id) {
    auto it = kStrings.find(id);
    return it != kStrings.end() ? it->second : nullptr;
}
