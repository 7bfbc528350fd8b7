#pragma once

#include <cstdint>
#include <vector>

// The command vocabulary of the user interface: every command with its texts, key,
// toolbar place, status prompt, tooltip and update rule, and the menus, toolbar and tray
// menu built from it. Everything that shows or routes a command reads it from here.

enum CommandId : uint32_t {
    ID_SETTING = 32771,
    ID_ADD_IP = 32772,
    ID_ADD_IP_RANGE = 32773,
    ID_DELETE = 32774,
    ID_OPEN_WINDOW = 32775,
    ID_STOP_SERVICE = 32776,
    ID_APP_EXIT = 32777,
    ID_STOP_SOUND = 32779,
    ID_VIEW_LOG_FILE = 32780,
    ID_HELP = 32782,
    ID_IMPORT_FROM_FILE = 32783,
    ID_IMPORT_APPEND = 32784,
    ID_EXPORT_TO_FILE = 32785,
    ID_HOME_PAGE = 32786,
    ID_HIDE_WINDOW = 32787,
    ID_CLEAR_EVENT_LIST = 32788,
    ID_NEW_TEMPLATE = 32789,
    ID_START_SERVICE = 32790,
    ID_PROPERTY = 32803,
    ID_MOVE_UP = 32804,
    ID_MOVE_DOWN = 32805,
    ID_SUSPEND = 32806,
    ID_RESUME = 32807,
    ID_CLEAR_STATISTICS = 32808,
    ID_IMPORT_FROM_TEXT = 32809,
    ID_EXPORT_TO_TEXT = 32811,
    ID_FIND = 32812,
    ID_APP_ABOUT = 57664,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
};

// When a command may be carried out.
enum class UpdateRule {
    kAlways,       // no update handler: always enabled
    kWhenStopped,  // only while the service is stopped
    kWhenRunning,  // only while the service runs
};

struct CommandInfo {
    uint32_t id;
    const char* menuText;  // text in the main and context menus, "\t" before the key shown
    const char* trayText;  // text in the tray menu, nullptr when not there
    const char* prompt;    // "status prompt\ntooltip", nullptr when the command has none
    UpdateRule rule;
};

// A menu item: a command id, or 0 for a separator.
struct MenuPopupInfo {
    const char* title;
    std::vector<uint32_t> items;
};

// Menu and string resource numbers.
constexpr uint32_t IDR_MAINFRAME = 128;         // main menu, keys, toolbar, icon, title
constexpr uint32_t IDR_HOST_LIST_MENU = 134;    // context menu of the host list
constexpr uint32_t IDR_EVENT_LIST_MENU = 164;   // context menu of the event list
constexpr uint32_t IDR_TRAY_MENU = 165;         // tray menu; also the tray icon's id
constexpr uint32_t IDB_TOOLBAR_NORMAL = 166;    // 24-bit toolbar images, normal and hot
constexpr uint32_t IDB_TOOLBAR_DISABLED = 184;  // 24-bit toolbar images, disabled
constexpr uint32_t IDB_HOST_STATES = 136;       // host state images of the host list
constexpr uint32_t IDS_APP_TITLE = 57344;       // "Velmora IPV6"
constexpr uint32_t IDS_IDLE_MESSAGE = 57345;    // "Ready"
constexpr uint32_t IDS_TRAY_TIP = 61204;        // "Velmora IPV6 V4.0.0"

// The command with this id; nullptr for an unknown id.
const CommandInfo* FindCommand(uint32_t id);
const std::vector<CommandInfo>& AllCommands();

// The main menu's popups, in order.
const std::vector<MenuPopupInfo>& MainMenu();
// The single popup of a context menu resource (134, 164, 165); nullptr for other ids.
const MenuPopupInfo* ContextMenu(uint32_t resourceId);
// The toolbar buttons of toolbar 128, left to right (no separators).
const std::vector<uint32_t>& ToolbarButtons();
// Accelerator table 128: key sequence and command, in table order.
struct AcceleratorInfo {
    const char* key;
    uint32_t id;
};
const std::vector<AcceleratorInfo>& Accelerators();

// The status prompt (before the newline) and tooltip (after it) of the string table the
// running language selects; nullptr when that table has none for the command.
const char* CommandPrompt(uint32_t id);   // whole "prompt\ntooltip" text, or nullptr
const char* StringResource(uint32_t id);  // the other strings the interface uses, or nullptr

// The string tables: 1033 (English, the default) and 2052 (Chinese, simplified).
constexpr uint16_t kLanguageEnglish = 1033;
constexpr uint16_t kLanguageChinese = 2052;
// The table the user's language selects: 2052 when the first of LC_ALL, LC_MESSAGES and
// LANG that is set names simplified Chinese (zh_CN, zh_SG, zh-Hans), else 1033.
uint16_t LanguageFromEnvironment();
// The table in use: chosen from the environment on first use; tests may set it (0 chooses
// from the environment again). User-interface thread.
uint16_t PromptLanguage();
void SetPromptLanguage(uint16_t language);
