#include "config/setup_ini.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>

#include "engine/host_list.h"
#include "platform/ini_file.h"

namespace {

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        const size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

std::string Numbered(const char* key, int n) {
    return std::string(key) + std::to_string(n);
}

// ---- writing ---------------------------------------------------------------------------

void WriteGeneral(IniFile& ini, const CSetupInfo& s) {
    const char* g = kIniGeneral;
    ini.WriteString(g, kIniVersionKey, kIniVersion);
    ini.WriteInt(g, "popupbox", s.popupbox);
    ini.WriteInt(g, "sendmail", s.sendmail);
    ini.WriteInt(g, "runexe", s.runexe);
    ini.WriteInt(g, "beep", s.beep);
    ini.WriteString(g, "exefilename", s.exefilename);
    ini.WriteInt(g, "beepbreak", s.beepbreak);
    ini.WriteInt(g, "beepseconds", s.beepseconds);
    ini.WriteInt(g, "needlostcount", s.needlostcount);
    ini.WriteInt(g, "continuelost", s.continuelost);
    ini.WriteInt(g, "needlostrate", s.needlostrate);
    ini.WriteInt(g, "lostrate", s.lostrate);
    ini.WriteString(g, "logfilename", s.logfilename);
    ini.WriteInt(g, "logall", s.logall);
    ini.WriteInt(g, "logchange", s.logchange);
    ini.WriteInt(g, "lognotify", s.lognotify);
    ini.WriteString(g, "execpara", s.execpara);
    ini.WriteString(g, "smtpserver", s.smtpserver);
    ini.WriteInt(g, "smtpport", s.smtpport);
    ini.WriteString(g, "emailfrom", s.emailfrom);
    ini.WriteInt(g, "auth", s.auth);
    ini.WriteString(g, "user", s.user);
    ini.WriteString(g, "pass", s.pass);
    ini.WriteInt(g, "emailcount", s.emailcount);
    for (int i = 1; i <= s.emailcount; ++i)
        ini.WriteString(g, Numbered("emailto", i), s.emailto[static_cast<size_t>(i - 1)]);
    ini.WriteInt(g, "emailint", s.emailint);
    ini.WriteString(g, "testsubject", s.testsubject);
    ini.WriteString(g, "downsubject", IniEscape(s.downsubject));
    ini.WriteString(g, "downbody", IniEscape(s.downbody));
    ini.WriteString(g, "upsubject", IniEscape(s.upsubject));
    ini.WriteString(g, "upbody", IniEscape(s.upbody));
    ini.WriteInt(g, "bneedloopmail", s.bneedloopmail);
    ini.WriteInt(g, "loopemailint", s.loopemailint);
    ini.WriteInt(g, "start_set", s.start_set);
    ini.WriteInt(g, "mail_highpriority", s.mail_highpriority);
    ini.WriteInt(g, "reserve2", s.reserve2);
    ini.WriteString(g, "emailName", s.emailName);
    // The count written is the number of entries that follow, so the file agrees with
    // itself whatever the record held.
    const int recipients = s.RecipientCount();
    ini.WriteInt(g, "newemailcount", recipients);
    for (int i = 1; i <= recipients; ++i) {
        const auto at = static_cast<size_t>(i - 1);
        ini.WriteString(g, Numbered("newemailto", i), s.newemailto[at]);
        ini.WriteInt(g, Numbered("emailgrouplist", i), s.emailgrouplist[at]);
    }
    ini.WriteInt(g, "signint", s.signint);
    for (int i = 1; i <= kColumnWidthCount; ++i)
        ini.WriteInt(g, Numbered("ColumnWidth", i), s.ColumnWidth[static_cast<size_t>(i - 1)]);
}

std::string AddressText(const CHostItem& h) {
    if (h.IsIPv6()) {
        char text[INET6_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET6, &h.addr6.sin6_addr, text, sizeof text) != nullptr)
            return text;
        return {};
    }
    const uint32_t addr = h.LoadAddr4();
    uint8_t b[4];
    std::memcpy(b, &addr, sizeof b);
    char text[24];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d ", b[0], b[1], b[2], b[3]);
    return text;
}

void WriteHost(IniFile& ini, int n, const CHostItem& h) {
    const std::string section = Numbered("item", n);
    // The dotted form ends in a blank that readers drop; it is written bare.
    ini.WriteString(section, "IP", AddressText(h), false);
    ini.WriteInt(section, "Interval", static_cast<int32_t>(h.interval.load()));
    ini.WriteInt(section, "timeout(ms)", static_cast<int32_t>(h.timeout.load()));
    ini.WriteInt(section, "packetsize", static_cast<int32_t>(h.packetsize.load()));
    ini.WriteInt(section, "name_host", h.name_host);
    ini.WriteInt(section, "ip_to_name", h.ip_to_name);
    ini.WriteInt(section, "notify_down", h.notify_down);
    ini.WriteInt(section, "notify_up", h.notify_up);
    ini.WriteInt(section, "mail group", h.mail_group);
    ini.WriteInt(section, "mail priority", h.mail_priority);
    ini.WriteInt(section, "advance", static_cast<int32_t>(h.advance.load()));
    ini.WriteString(section, "Name", h.name);
    ini.WriteString(section, "Descript", IniEscape(h.descript));
    ini.WriteString(section, "hostname", h.hostname);
}

// ---- reading ---------------------------------------------------------------------------

void ReadGeneral(const IniFile& ini, CSetupInfo& s) {
    const char* g = kIniGeneral;
    auto u8 = [&](const char* key, int32_t def) {
        return static_cast<uint8_t>(ini.GetInt(g, key, def));
    };
    auto u16 = [&](const char* key, int32_t def) {
        return static_cast<uint16_t>(ini.GetInt(g, key, def));
    };
    // Read whole: escaping costs a mail text eight characters per line break, so its
    // export easily exceeds what a fixed buffer would give back.
    auto text = [&](const std::string& key) { return ini.GetString(g, key, ""); };

    s.popupbox = u8("popupbox", 0);
    s.sendmail = u8("sendmail", 1);
    s.runexe = u8("runexe", 0);
    s.beep = u8("beep", 1);
    s.exefilename = text("exefilename");
    s.beepbreak = u8("beepbreak", 1);
    s.beepseconds = ini.GetInt(g, "beepseconds", 1);
    s.needlostcount = u8("needlostcount", 1);
    s.continuelost = ini.GetInt(g, "continuelost", 1);
    s.needlostrate = u8("needlostrate", 1);
    s.lostrate = ini.GetInt(g, "lostrate", 1);
    s.logfilename = text("logfilename");
    s.logall = u8("logall", 1);
    s.logchange = u8("logchange", 1);
    s.lognotify = u8("lognotify", 1);
    s.execpara = text("execpara");
    s.smtpserver = text("smtpserver");
    s.smtpport = u16("smtpport", 25);
    s.emailfrom = text("emailfrom");
    s.auth = u8("auth", 1);
    s.user = text("user");
    s.pass = text("pass");
    s.emailcount = u8("emailcount", 1);
    for (int i = 1; i <= s.emailcount; ++i)
        s.emailto[static_cast<size_t>(i - 1)] = text(Numbered("emailto", i));
    s.emailint = u8("emailint", 1);
    s.testsubject = text("testsubject");
    s.downsubject = IniUnescape(text("downsubject"));
    s.downbody = IniUnescape(text("downbody"));
    s.upsubject = IniUnescape(text("upsubject"));
    s.upbody = IniUnescape(text("upbody"));
    s.bneedloopmail = u8("bneedloopmail", 1);
    s.loopemailint = ini.GetInt(g, "loopemailint", 1);
    s.start_set = ini.GetInt(g, "start_set", 1);
    s.mail_highpriority = u16("mail_highpriority", 1);
    s.reserve2 = u16("reserve2", 1);
    s.emailName = text("emailName");
    // The record has room for 256 recipients: a larger count is cut to 256, a negative
    // one taken as none.
    s.newemailcount = std::clamp<int32_t>(ini.GetInt(g, "newemailcount", 1), 0, kMaxRecipients);
    for (int i = 1; i <= s.newemailcount; ++i) {
        const auto at = static_cast<size_t>(i - 1);
        s.newemailto[at] = text(Numbered("newemailto", i));
        s.emailgrouplist[at] = ini.GetInt(g, Numbered("emailgrouplist", i), 0);
    }
    s.signint = ini.GetInt(g, "signint", 1);
    for (int i = 1; i <= kColumnWidthCount; ++i)
        s.ColumnWidth[static_cast<size_t>(i - 1)] = u16(Numbered("ColumnWidth", i).c_str(), 100);
}

// False when the section has no address (which ends the host list).
bool ReadHost(const IniFile& ini, int n, StoredHost& h) {
    const std::string section = Numbered("item", n);
    const std::string ip = ini.GetString(section, "IP", "");
    if (ip.empty())
        return false;
    h = StoredHost{};
    h.version = kSetupVersion400;
    bool isAddress = true;
    in6_addr a6{};
    if (inet_pton(AF_INET6, ip.c_str(), &a6) == 1) {
        std::memcpy(h.addr6, &a6, sizeof h.addr6);
    } else {
        const in_addr_t a4 = inet_addr(ip.c_str());
        std::memcpy(h.addr4, &a4, sizeof h.addr4);
        in_addr parsed{};
        isAddress = inet_aton(ip.c_str(), &parsed) != 0;
    }
    auto u8 = [&](const char* key, int32_t def) {
        return static_cast<uint8_t>(ini.GetInt(section, key, def));
    };
    auto u16 = [&](const char* key, int32_t def) {
        return static_cast<uint16_t>(ini.GetInt(section, key, def));
    };
    h.interval = static_cast<uint32_t>(ini.GetInt(section, "Interval", 1));
    // Every writer of this format stores the time-out as "timeout(ms)"; "timeouts" is
    // what older readers looked for. Either is taken.
    const int32_t timeout = ini.Find(section, "timeouts")
                                ? ini.GetInt(section, "timeouts", 2000)
                                : ini.GetInt(section, "timeout(ms)", 2000);
    h.timeout = static_cast<uint32_t>(timeout);
    h.packetsize = static_cast<uint32_t>(ini.GetInt(section, "packetsize", 32));
    h.name_host = u8("name_host", 0);
    h.ip_to_name = u8("ip_to_name", 0);
    h.notify_down = u8("notify_down", 1);
    h.notify_up = u8("notify_up", 1);
    h.mail_group = u16("mail group", 0);
    h.mail_priority = u16("mail priority", 0);
    h.advance = static_cast<uint32_t>(ini.GetInt(section, "advance", 0));
    h.name = ini.GetString(section, "Name", "");
    h.descript = IniUnescape(ini.GetString(section, "Descript", ""));
    h.hostname = ini.GetString(section, "hostname", "");
    // An address field that holds a name is the host's name unless the file gives one.
    if (!isAddress && h.hostname.empty())
        h.hostname = ip;
    return true;
}

}  // namespace

std::string IniEscape(std::string_view text) {
    return ReplaceAll(ReplaceAll(text, "\r", "0x13"), "\n", "0x10");
}

std::string IniUnescape(std::string_view text) {
    return ReplaceAll(ReplaceAll(text, "0x13", "\r"), "0x10", "\n");
}

IniFile BuildSetupIni(const CSetupInfo& settings) {
    IniFile ini;
    WriteGeneral(ini, settings);
    CHostList* table = g_pHostList;
    if (table == nullptr)
        return ini;
    const int count = std::min<int>(table->count.load(), kRowMapSize);
    int n = 0;
    for (int r = 0; r < count; ++r) {
        const int32_t index = g_rowToHost[r];
        const CHostItem* host = index >= 0 ? table->Host(static_cast<uint32_t>(index)) : nullptr;
        if (host == nullptr || (host->list_flags.load() & kListExcludeMask) != 0)
            continue;
        WriteHost(ini, ++n, *host);
    }
    return ini;
}

int SaveSetupToIni(const std::string& path) {
    if (g_pSetupInfo == nullptr)
        return -1;
    return BuildSetupIni(*g_pSetupInfo).Save(path, 0600) ? 0 : -1;
}

IniSetup ParseSetupIni(const IniFile& ini, const CSetupInfo& base, int maxHosts) {
    IniSetup out;
    out.settings = base;
    ReadGeneral(ini, out.settings);
    for (int n = 1; n <= maxHosts; ++n) {
        StoredHost host;
        if (!ReadHost(ini, n, host))
            break;
        out.hosts.push_back(std::move(host));
    }
    return out;
}

int LoadSetupFromIni(const IniFile& ini) {
    if (g_pSetupInfo == nullptr)
        return -1;
    const int room = g_pHostList != nullptr ? GetFreeHostSlots(0) : 0;
    IniSetup parsed = ParseSetupIni(ini, *g_pSetupInfo, room);
    *g_pSetupInfo = std::move(parsed.settings);
    AddStoredHosts(parsed.hosts);
    return 0;
}

int LoadSetupFromIni(const std::string& path) {
    IniFile ini;
    if (!ini.Load(path, nullptr, kMaxSetupTextSize))
        return -1;
    return LoadSetupFromIni(ini);
}
