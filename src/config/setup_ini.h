#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/setup_document.h"
#include "config/setup_info.h"

class IniFile;

// The largest setup text that is read: the export of any setup that can be stored, so what
// the program exports it imports back. A stored text byte takes at most four in the text (a
// line break is written as "0x13" or "0x10"), a host record's fixed fields with their keys
// less than four times their stored bytes; the "General" keys and the recipients' fit in
// the megabyte added.
constexpr size_t kMaxSetupTextSize = 4 * static_cast<size_t>(kMaxSetupLength) + (1u << 20);

// The setup as INI text: section "General" with every setting, then one section
// "item1", "item2", ... per saved host, keys in a fixed order. Everything here runs on
// the user-interface thread.

constexpr const char* kIniGeneral = "General";
constexpr const char* kIniVersionKey = "version";
constexpr const char* kIniVersion = "4.0.0";

// The mail texts and host descriptions keep their line breaks as "0x13" (CR) and "0x10"
// (LF). Escape replaces every CR and then every LF; Unescape turns every "0x13" back and
// then every "0x10".
std::string IniEscape(std::string_view text);
std::string IniUnescape(std::string_view text);

// The whole INI text of `settings` and the hosts of the table in list-row order (hosts
// with an exclusion bit left out, the others numbered without gaps).
IniFile BuildSetupIni(const CSetupInfo& settings);

// Writes the file from g_pSetupInfo and g_pHostList in one atomic commit (mode 0600: the
// file holds the mail password); an existing file is replaced only when the new one is
// complete. Returns 0; -1 when the file could not be written (it is then as it was) or
// there is no settings record.
int SaveSetupToIni(const std::string& path);

// The setup an INI text describes, read into scratch data: `settings` starts as a copy of
// `base` (fields the text does not carry keep their values; every key it carries, when
// missing, gives its reader default), and at most `maxHosts` hosts are read.
struct IniSetup {
    CSetupInfo settings;
    std::vector<StoredHost> hosts;
};
IniSetup ParseSetupIni(const IniFile& ini, const CSetupInfo& base, int maxHosts);

// Overwrites every setting of g_pSetupInfo and appends the hosts to the table (as many as
// it has room for). Neither rebuilds the list nor saves: the caller does. Returns 0; -1
// when the file cannot be read (nothing changed) or there is no settings record.
int LoadSetupFromIni(const std::string& path);
// The same over a file already read.
int LoadSetupFromIni(const IniFile& ini);
