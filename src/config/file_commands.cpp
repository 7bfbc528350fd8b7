#include "config/file_commands.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/legacy_import.h"
#include "config/setup_document.h"
#include "config/setup_hooks.h"
#include "config/setup_ini.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "platform/ini_file.h"
#include "platform/message_box.h"

namespace {

void ShowFailure(const char* text) {
    ShowMessageBox(kAppTitle, text, MB_OK | MB_ICONWARNING);
}

// True for a path that names a regular file we may open for reading. The document readers
// block on a FIFO, so such a path never reaches them.
bool IsReadableFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    return regular;
}

void ReportImportFailure(const std::string& path, int result) {
    if (result == -1)
        ShowFailure(IsReadableFile(path) ? kMsgNotSetupFile : kLegacyOpenError);
    else if (result == -2)
        ShowFailure(kMsgSetupFileTooLarge);
    else if (result == kSetupReadMismatch)
        ShowFailure(kLegacyReadError);
    else if (result != 0)
        ShowFailure(kMsgSetupFileDamaged);
}

}  // namespace

bool SetupCommandsEnabled() {
    return g_pHostList != nullptr && g_pHostList->stopped.load() != 0;
}

int AppendSetupFromFile(const std::string& path) {
    if (g_pSetupInfo == nullptr)
        return -1;
    std::vector<uint8_t> bytes;
    const int read = ReadSetupFile(path, bytes);
    if (read != 0)
        return read;
    // Everything the document holds is read into a scratch record with the constructor
    // defaults; only the recipients, and the tail of the settings, reach the live one.
    ParsedSetup parsed;
    const int room = g_pHostList != nullptr ? GetFreeHostSlots(0) : 0;
    const int result = ParseSetupDocument(bytes.data(), bytes.size(), room, parsed);
    if (result != 0)
        return result;

    CSetupInfo& live = *g_pSetupInfo;
    const CSetupInfo& file = parsed.settings;
    const bool hasRecipientBlock =
        parsed.version == kSetupVersion26 || parsed.version >= kSetupVersion311;
    // The legacy list (its count is in emailcount) fills entries 0..N0-1, the recipient
    // block then replaces 0..N-1 with their group ids; entries past both keep theirs.
    const int fromBlock = hasRecipientBlock ? file.RecipientCount() : 0;
    const int addresses = std::max<int>(file.emailcount, fromBlock);
    for (int i = 0; i < addresses; ++i)
        live.newemailto[static_cast<size_t>(i)] = file.newemailto[static_cast<size_t>(i)];
    for (int i = 0; i < fromBlock; ++i)
        live.emailgrouplist[static_cast<size_t>(i)] = file.emailgrouplist[static_cast<size_t>(i)];
    live.newemailcount = file.newemailcount;
    if (parsed.version >= kSetupVersion311) {
        live.signint = file.signint;
        live.ColumnWidth = file.ColumnWidth;
    }
    AddStoredHosts(parsed.hosts);
    GetSetupHooks().RebuildHostList();
    SaveSetupNow();
    return 0;
}

int ExportToFileCommand(const std::string& path) {
    const int result = ExportSetupToFile(path);
    if (result == kSetupTooLarge)
        ShowFailure(kMsgSetupTooLarge);
    else if (result != 0)
        ShowFailure(kMsgWriteFileError);
    return result;
}

int ImportFromFileCommand(const std::string& path) {
    if (!SetupCommandsEnabled())
        return kFileCommandDisabled;
    const int result = IsReadableFile(path) ? ImportSetupFromFile(path) : -1;
    ReportImportFailure(path, result);
    return result;
}

int ImportAppendCommand(const std::string& path) {
    if (!SetupCommandsEnabled())
        return kFileCommandDisabled;
    const int result = AppendSetupFromFile(path);
    ReportImportFailure(path, result);
    return result;
}

int NewTemplateCommand() {
    if (!SetupCommandsEnabled() || g_pSetupInfo == nullptr)
        return kFileCommandDisabled;
    // The record is reset in place: whoever holds g_pSetupInfo keeps a valid pointer.
    *g_pSetupInfo = CSetupInfo();
    ClearHostList(0);
    // Refilling from the now empty table deletes every row of the list.
    GetSetupHooks().RebuildHostList();
    SaveSetupNow();
    return 0;
}

int ExportToTextCommand(const std::string& path) {
    const int result = SaveSetupToIni(path);
    if (result != 0)
        ShowFailure(kMsgWriteFileError);
    return result;
}

int ImportFromTextCommand(const std::string& path) {
    if (!SetupCommandsEnabled())
        return kFileCommandDisabled;
    IniFile ini;
    bool tooLarge = false;
    const bool read = ini.Load(path, &tooLarge, kMaxSetupTextSize);
    if (tooLarge) {
        ShowFailure(kMsgTextFileTooLarge);
        return -2;
    }
    if (!read || ini.GetString(kIniGeneral, kIniVersionKey, "").empty())
        return ImportLegacyHostList(path);
    const int result = LoadSetupFromIni(ini);
    if (result != 0)
        return result;
    GetSetupHooks().RebuildHostList();
    SaveSetupNow();
    return 0;
}
