#include "config/setup_document.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "config/registry_storage.h"
#include "config/setup_hooks.h"
#include "engine/host_list.h"
#include "platform/registry_store.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const char* const kExecParaDefault =
    "HOST=<HOST> \"DATATIME=<DATE TIME>\" \"EVENT=<EVENT>\" LOSTRATE=<LOST RATE>";
const char* const kBodyDefault =
    "the name is <NAME>\r\nthe IP address is <HOST>\r\nthe datetime is <DATE TIME>\r\n"
    "the EVENT is <EVENT>\r\nthe lost rate is <LOST RATE>";

// Builds documents byte by byte, independently of the archive code under test.
class Doc {
public:
    Doc& B(uint8_t v) {
        m_bytes.push_back(v);
        return *this;
    }
    Doc& W(uint16_t v) { return B(v & 0xFF).B(v >> 8); }
    Doc& I(int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        return W(u & 0xFFFF).W(u >> 16);
    }
    Doc& Raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        m_bytes.insert(m_bytes.end(), b, b + n);
        return *this;
    }
    Doc& T(const std::string& s) {
        if (s.size() < 255) {
            B(static_cast<uint8_t>(s.size()));
        } else if (s.size() < 65534) {
            B(0xFF).W(static_cast<uint16_t>(s.size()));
        } else {
            B(0xFF).W(0xFFFF).I(static_cast<int32_t>(s.size()));
        }
        return Raw(s.data(), s.size());
    }
    const Bytes& bytes() const { return m_bytes; }

private:
    Bytes m_bytes;
};

struct FakeHooks : SetupHooks {
    int widths[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    int rebuilds = 0;
    bool logOpens = true;
    std::vector<std::string> opened;
    std::vector<std::string> warnings;

    int HostListColumnWidth(int column) override { return widths[column]; }
    void RebuildHostList() override { ++rebuilds; }
    bool OpenLogFile(const std::string& path) override {
        opened.push_back(path);
        return logOpens;
    }
    void ShowWarning(const std::string& text) override { warnings.push_back(text); }
};

// ---- hand-built documents of every version ---------------------------------------------

const std::vector<std::string> kLegacy = {"l1@test", "l2@test", "l3@test"};

void BlockA(Doc& d, const std::vector<std::string>& legacy) {
    d.B(1).B(0).B(1).B(0).T("/bin/prog").B(0).I(42).B(0).I(7).B(0).I(33).T("");
    d.B(1).B(0).B(0).T("para").T("mail.test").W(2525).T("from@test").B(1).T("u").T("p");
    d.B(static_cast<uint8_t>(legacy.size()));
    for (const auto& l : legacy)
        d.T(l);
    d.B(9).T("ts").T("ds").T("db").T("us").T("ub");
}

void BlockB(Doc& d) {
    d.B(1).I(15).I(1).W(0).W(1);
    for (int i = 1; i <= 6; ++i)
        d.I(i);
    d.T("Name");
    for (int i = 0; i < 7; ++i)
        d.T("r" + std::to_string(i));
}

void Recipients(Doc& d) {
    d.I(2).T("a@x").T("b@x").I(4).I(5);
}

void Tail(Doc& d) {
    d.I(77);
    for (int i = 1; i <= 8; ++i)
        d.W(static_cast<uint16_t>(10 * i));
}

void HostTail(Doc& d, int n) {
    d.B(1).B(1).B(0).B(0).T("h" + std::to_string(n)).T("hn" + std::to_string(n));
    d.T("d" + std::to_string(n)).W(3).W(0).I(1).I(60);
    for (int i = 5; i <= 9; ++i)
        d.I(i);
    for (int i = 1; i <= 8; ++i)
        d.T("t" + std::to_string(i));
}

void Host(Doc& d, int version, int n) {
    const uint8_t a4[4] = {10, 1, 2, static_cast<uint8_t>(n)};
    d.Raw(a4, 4);
    if (version >= kSetupVersion400) {
        in6_addr a6{};
        if (n == 2)
            inet_pton(AF_INET6, "::1", &a6);
        d.Raw(&a6, 16).I(1500).I(700).I(64).B(11).I(-12).B(13).I(14);
        HostTail(d, n);
    } else if (version >= kSetupVersion25) {
        d.I(1500).I(700).I(64);
        HostTail(d, n);
    } else {
        d.W(1500).W(700).B(1).B(1).B(0).B(0);
        d.T("h" + std::to_string(n)).T("hn" + std::to_string(n)).T("d" + std::to_string(n));
    }
}

Bytes VersionDoc(int version, int hosts = 2, int declaredHosts = -1) {
    Doc d;
    d.T(kSetupMagics[version]);
    BlockA(d, kLegacy);
    if (version != kSetupVersion20)
        BlockB(d);
    if (version == kSetupVersion26 || version >= kSetupVersion311)
        Recipients(d);
    if (version >= kSetupVersion311)
        Tail(d);
    d.W(65535).W(static_cast<uint16_t>(declaredHosts < 0 ? hosts : declaredHosts));
    for (int n = 1; n <= hosts; ++n)
        Host(d, version, n);
    return d.bytes();
}

// ---- fixture ----------------------------------------------------------------------------

class SetupDocumentTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo;
        SetSetupHooks(&m_hooks);
        g_setupLength = 0;
        g_bSetupModified = 0;
    }
    void TearDown() override {
        SetSetupHooks(nullptr);
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
        DestroyHostList();
        SandboxTest::TearDown();
    }

    static void Recreate(int capacity) {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(capacity), 0);
    }

    static CHostItem* Add(const std::string& name, const char* ip4) {
        CHostItem* h = AddHost(0);
        EXPECT_NE(h, nullptr);
        if (h == nullptr)
            return nullptr;
        in_addr a{};
        inet_pton(AF_INET, ip4, &a);
        h->StoreAddr4(a.s_addr);
        h->name = name;
        PublishHost(h);
        return h;
    }

    static CHostItem* Row(int r) { return g_pHostList->Host(g_rowToHost[r]); }

    // The whole live state as bytes (settings and hosts in row order), plus host identity.
    struct State {
        Bytes doc;
        std::vector<CHostItem*> rows;
    };
    static State Snapshot() {
        const int keptLength = g_setupLength;
        const Bytes keptBuffer = g_setupBuffer;
        State s;
        const int n = SerializeSetup();
        EXPECT_GT(n, 0);
        s.doc.assign(g_setupBuffer.begin(), g_setupBuffer.begin() + std::max(n, 0));
        g_setupBuffer = keptBuffer;
        for (int r = 0; r < g_rowCount; ++r)
            s.rows.push_back(Row(r));
        g_setupLength = keptLength;
        return s;
    }
    static void ExpectSame(const State& a, const State& b, const std::string& what) {
        EXPECT_TRUE(a.doc == b.doc) << what;
        EXPECT_TRUE(a.rows == b.rows) << what;
    }

    static int LoadBytes(const Bytes& doc) {
        g_setupBuffer = doc;
        g_setupLength = static_cast<int>(doc.size());
        return LoadSetupFromBuffer();
    }

    static void WriteFile(const std::string& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    static Bytes ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static Bytes StoredSetup() {
        Bytes buffer;
        if (LoadRegistryBlob(buffer, kMaxSetupLength) < 0)
            buffer.clear();
        return buffer;
    }
    static Bytes Current() {
        return Bytes(g_setupBuffer.begin(), g_setupBuffer.begin() + g_setupLength);
    }

    FakeHooks m_hooks;
};

// ---- writer -------------------------------------------------------------------------------

TEST_F(SetupDocumentTest, DefaultRecordWithoutHostsIsByteExact) {
    ASSERT_EQ(std::strlen(kExecParaDefault), 71u);
    ASSERT_EQ(std::strlen(kBodyDefault), 125u);
    Doc d;
    d.T("ZARVEKV400").B(0).B(1).B(0).B(1).T("").B(1).I(100).B(1).I(3).B(1).I(5).T("");
    d.B(0).B(1).B(1).T(kExecParaDefault).T("").W(25).T("").B(0).T("").T("").B(0).B(1);
    d.T("send a test Email").T("the host of <HOST> is down").T(kBodyDefault);
    d.T("the host of <HOST> is up").T(kBodyDefault);
    d.B(0).I(1).I(3).W(1).W(0);
    for (int i = 0; i < 6; ++i)
        d.I(0);
    d.T("Velmora Administrators");
    for (int i = 0; i < 7; ++i)
        d.T("");
    d.I(0).I(3);
    for (int i = 0; i < 8; ++i)
        d.W(0);
    d.W(65535).W(0);

    const int n = SerializeSetup();
    EXPECT_EQ(n, static_cast<int>(d.bytes().size()));
    EXPECT_EQ(g_setupLength, n);
    EXPECT_TRUE(Current() == d.bytes());
}

TEST_F(SetupDocumentTest, WriterClearsLegacyListAndTakesColumnWidths) {
    g_pSetupInfo->emailcount = 5;
    g_pSetupInfo->emailto[0] = "old@test";
    g_pSetupInfo->ColumnWidth = {1, 2, 3, 4, 5, 6, 7, 8};
    const int widths[8] = {120, 80, 0, 0, 60, 45, -1, 300};
    std::copy(widths, widths + 8, m_hooks.widths);
    ASSERT_GT(SerializeSetup(), 0);
    EXPECT_EQ(g_pSetupInfo->emailcount, 0);
    // -1 (no such list control) keeps the stored width.
    const std::array<uint16_t, 8> expected = {120, 80, 0, 0, 60, 45, 7, 300};
    EXPECT_EQ(g_pSetupInfo->ColumnWidth, expected);

    *g_pSetupInfo = CSetupInfo();
    std::fill(m_hooks.widths, m_hooks.widths + 8, -1);
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    EXPECT_EQ(g_pSetupInfo->ColumnWidth, expected);
    EXPECT_EQ(g_pSetupInfo->emailcount, 0) << "no legacy texts are stored";
}

TEST_F(SetupDocumentTest, RecipientCountIsBoundedWhenWriting) {
    g_pSetupInfo->newemailcount = 1000;
    for (int i = 0; i < kMaxRecipients; ++i)
        g_pSetupInfo->newemailto[i] = "r" + std::to_string(i);
    ASSERT_GT(SerializeSetup(), 0);
    *g_pSetupInfo = CSetupInfo();
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    EXPECT_EQ(g_pSetupInfo->newemailcount, kMaxRecipients);
    EXPECT_EQ(g_pSetupInfo->newemailto[255], "r255");

    g_pSetupInfo->newemailcount = -3;
    ASSERT_GT(SerializeSetup(), 0);
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    EXPECT_EQ(g_pSetupInfo->newemailcount, 0);
}

// ---- readers of every version --------------------------------------------------------------

TEST_F(SetupDocumentTest, EveryVersionLoadsItsBlocksAndHostForm) {
    for (int version = kSetupVersion20; version <= kSetupVersion400; ++version) {
        SCOPED_TRACE(kSetupMagics[version]);
        *g_pSetupInfo = CSetupInfo();
        CSetupInfo& s = *g_pSetupInfo;
        // Values a version does not carry must survive.
        s.loopemailint = 999;
        s.emailName = "keep";
        s.emailgrouplist[0] = 42;
        s.newemailto[5] = "keep@x";
        s.signint = 555;
        s.ColumnWidth[0] = 1234;
        Add("stale", "192.0.2.1");

        ASSERT_EQ(LoadBytes(VersionDoc(version)), 0);
        // Block A, every version.
        EXPECT_EQ(s.popupbox, 1);
        EXPECT_EQ(s.sendmail, 0);
        EXPECT_EQ(s.exefilename, "/bin/prog");
        EXPECT_EQ(s.beepseconds, 42);
        EXPECT_EQ(s.continuelost, 7);
        EXPECT_EQ(s.lostrate, 33);
        EXPECT_EQ(s.logall, 1);
        EXPECT_EQ(s.execpara, "para");
        EXPECT_EQ(s.smtpserver, "mail.test");
        EXPECT_EQ(s.smtpport, 2525);
        EXPECT_EQ(s.emailfrom, "from@test");
        EXPECT_EQ(s.auth, 1);
        EXPECT_EQ(s.user, "u");
        EXPECT_EQ(s.pass, "p");
        EXPECT_EQ(s.emailint, 9);
        EXPECT_EQ(s.testsubject, "ts");
        EXPECT_EQ(s.upbody, "ub");
        EXPECT_EQ(s.emailcount, 3);
        EXPECT_EQ(s.newemailto[5], "keep@x");
        // Block B.
        if (version == kSetupVersion20) {
            EXPECT_EQ(s.loopemailint, 999);
            EXPECT_EQ(s.emailName, "keep");
        } else {
            EXPECT_EQ(s.bneedloopmail, 1);
            EXPECT_EQ(s.loopemailint, 15);
            EXPECT_EQ(s.start_set, 1);
            EXPECT_EQ(s.mail_highpriority, 0);
            EXPECT_EQ(s.reserve2, 1);
            EXPECT_EQ(s.reserveint[5], 6);
            EXPECT_EQ(s.emailName, "Name");
            EXPECT_EQ(s.reservetext[6], "r6");
        }
        // Recipients: the block where the version has one, else the legacy list.
        if (version == kSetupVersion26 || version >= kSetupVersion311) {
            EXPECT_EQ(s.newemailcount, 2);
            EXPECT_EQ(s.newemailto[0], "a@x");
            EXPECT_EQ(s.newemailto[1], "b@x");
            EXPECT_EQ(s.newemailto[2], "l3@test") << "entries above the count stay";
            EXPECT_EQ(s.emailgrouplist[0], 4);
            EXPECT_EQ(s.emailgrouplist[1], 5);
        } else {
            EXPECT_EQ(s.newemailcount, 3);
            EXPECT_EQ(s.newemailto[0], "l1@test");
            EXPECT_EQ(s.newemailto[2], "l3@test");
            EXPECT_EQ(s.emailgrouplist[0], 42) << "group ids are not touched";
        }
        if (version >= kSetupVersion311) {
            EXPECT_EQ(s.signint, 77);
            EXPECT_EQ(s.ColumnWidth[0], 10);
            EXPECT_EQ(s.ColumnWidth[7], 80);
        } else {
            EXPECT_EQ(s.signint, 555);
            EXPECT_EQ(s.ColumnWidth[0], 1234);
        }

        // Hosts replace the table, in document order.
        ASSERT_EQ(g_pHostList->count.load(), 2);
        ASSERT_EQ(g_rowCount, 2);
        CHostItem* h = Row(0);
        EXPECT_EQ(h->row, 0u);
        const uint8_t a4[4] = {10, 1, 2, 1};
        uint32_t expect4 = 0;
        std::memcpy(&expect4, a4, 4);
        EXPECT_EQ(h->LoadAddr4(), expect4);
        EXPECT_EQ(h->interval.load(), 1500u);
        EXPECT_EQ(h->timeout.load(), 700u);
        EXPECT_EQ(h->name_host, 1);
        EXPECT_EQ(h->ip_to_name, 1);
        EXPECT_EQ(h->notify_down, 0);
        EXPECT_EQ(h->notify_up, 0);
        EXPECT_EQ(h->name, "h1");
        EXPECT_EQ(h->hostname, "hn1");
        EXPECT_EQ(h->descript, "d1");
        EXPECT_EQ(h->list_flags.load() & kListUnfilled, 0u) << "loaded hosts are published";
        if (version >= kSetupVersion25) {
            EXPECT_EQ(h->packetsize.load(), 64u);
            EXPECT_EQ(h->mail_group, 3);
            EXPECT_EQ(h->mail_priority, 0);
            EXPECT_EQ(h->advance.load(), 1u);
            EXPECT_EQ(h->ttl_seen, 60);
            EXPECT_EQ(h->reserved5, 5);
            EXPECT_EQ(h->reserved9, 9);
            EXPECT_EQ(h->reserved_text1, "t1");
            EXPECT_EQ(h->reserved_text8, "t8");
        } else {
            EXPECT_EQ(h->packetsize.load(), 32u);
            EXPECT_EQ(h->mail_priority, 1);
            EXPECT_EQ(h->advance.load(), 2u);
        }
        CHostItem* h2 = Row(1);
        if (version >= kSetupVersion400) {
            EXPECT_EQ(h->reserved1, 11);
            EXPECT_EQ(h->reserved2, -12);
            EXPECT_EQ(h->reserved3, 13);
            EXPECT_EQ(h->reserved4, 14);
            ASSERT_TRUE(h2->IsIPv6());
            ASSERT_TRUE(h2->target6.has_value()) << "IPv6 hosts are resolved while loading";
            EXPECT_EQ(std::memcmp(&h2->target6->sin6_addr, &in6addr_loopback, 16), 0);
        } else {
            EXPECT_FALSE(h2->IsIPv6());
            EXPECT_EQ(h->reserved2, 0);
        }
        ClearHostList(0);
    }
}

TEST_F(SetupDocumentTest, UnknownMagicIsNotADocument) {
    Add("kept", "192.0.2.1");
    const State before = Snapshot();
    for (const char* magic : {"ZARVEKV27", "zarvek", "ZARVEKV4000", "ZARVEKV", "", "ZARVEKV3"}) {
        Doc d;
        d.T(magic);
        Bytes doc = d.bytes();
        const Bytes rest = VersionDoc(kSetupVersion400);
        doc.insert(doc.end(), rest.begin() + 11, rest.end());
        EXPECT_EQ(LoadBytes(doc), -1) << magic;
    }
    EXPECT_EQ(LoadBytes({}), -1);
    ExpectSame(before, Snapshot(), "after unknown magics");
}

TEST_F(SetupDocumentTest, WideMagicAndTextsAreAccepted) {
    Bytes doc = {0xFF, 0xFE, 0xFF, 10};
    for (char c : std::string("ZARVEKV400")) {
        doc.push_back(static_cast<uint8_t>(c));
        doc.push_back(0);
    }
    const Bytes rest = VersionDoc(kSetupVersion400);
    doc.insert(doc.end(), rest.begin() + 11, rest.end());
    ASSERT_EQ(LoadBytes(doc), 0);
    EXPECT_EQ(g_pSetupInfo->exefilename, "/bin/prog");
}

TEST_F(SetupDocumentTest, WideHostTextsBecomeUtf8) {
    for (int version : {kSetupVersion21, kSetupVersion25, kSetupVersion400}) {
        Doc d;
        d.T(kSetupMagics[version]);
        BlockA(d, {});
        BlockB(d);
        if (version >= kSetupVersion311) {
            d.I(0);
            Tail(d);
        }
        d.W(65535).W(2);
        Host(d, version, 1);
        // Host 2 as host 1, but with its name as a wide text "h\u00e9".
        Doc one;
        Host(one, version, 2);
        Bytes host = one.bytes();
        const size_t nameAt = version >= kSetupVersion400  ? 4 + 16 + 12 + 10 + 4
                              : version >= kSetupVersion25 ? 4 + 12 + 4
                                                           : 4 + 4 + 4;
        ASSERT_EQ(host[nameAt], 2);  // "h2"
        const Bytes wideName = {0xFF, 0xFE, 0xFF, 2, 'h', 0, 0xE9, 0};
        host.erase(host.begin() + nameAt, host.begin() + nameAt + 3);
        host.insert(host.begin() + nameAt, wideName.begin(), wideName.end());
        Bytes doc = d.bytes();
        doc.insert(doc.end(), host.begin(), host.end());
        ASSERT_EQ(LoadBytes(doc), 0) << version;
        ASSERT_EQ(g_rowCount, 2);
        EXPECT_EQ(Row(1)->name, "h\xC3\xA9");
        EXPECT_EQ(Row(1)->hostname, "hn2");
    }
}

TEST_F(SetupDocumentTest, LengthAboveBufferIsRefused) {
    g_setupLength = kMaxSetupLength + 1;
    EXPECT_EQ(LoadSetupFromBuffer(), -2);
    g_setupLength = -1;
    EXPECT_EQ(LoadSetupFromBuffer(), -2);
}

TEST_F(SetupDocumentTest, LogFileIsOpenedAfterLoadAndFailureIsShown) {
    g_pSetupInfo->logfilename = "/var/log/velmora test.log";
    ASSERT_GT(SerializeSetup(), 0);
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    EXPECT_EQ(m_hooks.opened, std::vector<std::string>{"/var/log/velmora test.log"});
    EXPECT_TRUE(m_hooks.warnings.empty());

    m_hooks.logOpens = false;
    ASSERT_EQ(LoadSetupFromBuffer(), 0) << "the load still succeeds";
    ASSERT_EQ(m_hooks.warnings.size(), 1u);
    EXPECT_EQ(m_hooks.warnings[0], "OPEN log file of   /var/log/velmora test.log   failed!");

    g_pSetupInfo->logfilename.clear();
    ASSERT_GT(SerializeSetup(), 0);
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    EXPECT_EQ(m_hooks.opened.size(), 2u) << "an empty name opens nothing";
}

// ---- round trip -----------------------------------------------------------------------------

TEST_F(SetupDocumentTest, HandBuiltV400DocumentRoundTripsByteForByte) {
    const Bytes doc = VersionDoc(kSetupVersion400, 3);
    ASSERT_EQ(LoadBytes(doc), 0);
    ASSERT_GT(SerializeSetup(), 0);
    // The legacy list of the hand-built document is not written back.
    Doc expected;
    expected.T("ZARVEKV400");
    BlockA(expected, {});
    BlockB(expected);
    Recipients(expected);
    Tail(expected);
    expected.W(65535).W(3);
    for (int n = 1; n <= 3; ++n)
        Host(expected, kSetupVersion400, n);
    EXPECT_TRUE(Current() == expected.bytes());
}

TEST_F(SetupDocumentTest, V400RoundTripKeepsEverything) {
    CSetupInfo& s = *g_pSetupInfo;
    s.popupbox = 2;  // switches are stored as read
    s.exefilename = std::string(300, 'e');
    s.downbody = std::string(70000, 'b');
    s.upbody = std::string(65533, 'u');
    s.pass = "p\xC3\xA4ss";
    s.smtpport = 65535;
    s.start_set = -7;
    s.reserve2 = 0xFFFF;
    s.reserveint = {-1, 2, -3, 4, -5, 6};
    s.reservetext[3] = "three";
    s.newemailcount = kMaxRecipients;
    for (int i = 0; i < kMaxRecipients; ++i) {
        s.newemailto[i] = "r" + std::to_string(i) + "@test";
        s.emailgrouplist[i] = i * 3 - 100;
    }
    s.signint = -9;
    s.ColumnWidth = {9, 8, 7, 6, 5, 4, 3, 2};

    CHostItem* a = Add("alpha", "127.0.0.1");
    CHostItem* b = Add("beta", "127.0.0.2");
    CHostItem* c = Add("gamma", "0.0.0.0");
    CHostItem* x = Add("excluded", "127.0.0.9");
    inet_pton(AF_INET6, "2001:db8::7", &c->addr6.sin6_addr);
    c->descript = std::string(65534, 'd');
    c->hostname = "h\xE2\x82\xAC";
    b->interval = 123456;
    b->timeout = 0xFFFFFFFF;
    b->packetsize = 65500;
    b->advance = 3;
    b->ttl_seen = 0x7F;
    b->mail_group = 65535;
    b->reserved_text8 = "last";
    a->reserved1 = 255;
    a->reserved4 = INT32_MIN;
    x->list_flags |= 0x2;
    // Rows: gamma, alpha, excluded, beta.
    const int32_t order[4] = {2, 0, 3, 1};
    for (int r = 0; r < 4; ++r) {
        g_rowToHost[r] = order[r];
        g_pHostList->Host(order[r])->row = r;
    }

    const State before = Snapshot();
    const int n = SerializeSetup();
    ASSERT_GT(n, 70000 + 65534);
    *g_pSetupInfo = CSetupInfo();
    ClearHostList(0);
    ASSERT_EQ(LoadSetupFromBuffer(), 0);

    EXPECT_EQ(g_pSetupInfo->downbody, std::string(70000, 'b'));
    EXPECT_EQ(g_pSetupInfo->emailgrouplist[255], 255 * 3 - 100);
    ASSERT_EQ(g_rowCount, 3) << "the excluded host is not stored";
    EXPECT_EQ(Row(0)->name, "gamma");
    EXPECT_EQ(Row(1)->name, "alpha");
    EXPECT_EQ(Row(2)->name, "beta");
    EXPECT_TRUE(Row(0)->target6.has_value());
    EXPECT_EQ(Row(2)->timeout.load(), 0xFFFFFFFFu);
    // Everything else: the reloaded setup writes exactly the same document.
    const State after = Snapshot();
    EXPECT_TRUE(after.doc == Current());
    EXPECT_TRUE(before.doc == after.doc);
}

TEST_F(SetupDocumentTest, StoredTtl128OfAnIPv6HostCountsAsNoneSeen) {
    CHostItem* v6 = Add("v6", "0.0.0.0");
    inet_pton(AF_INET6, "2001:db8::7", &v6->addr6.sin6_addr);
    Add("v4", "127.0.0.1")->ttl_seen = v6->ttl_seen = 128;
    ASSERT_GT(SerializeSetup(), 0);
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    EXPECT_EQ(Row(0)->ttl_seen, 0);
    EXPECT_EQ(Row(1)->ttl_seen, 128) << "an IPv4 host's TTL of 128 is one seen";
}

// ---- corruption -----------------------------------------------------------------------------

TEST_F(SetupDocumentTest, EveryTruncationFailsAndChangesNothing) {
    g_pSetupInfo->smtpserver = "untouched";
    Add("kept1", "127.0.0.1");
    Add("kept2", "127.0.0.2");
    const State before = Snapshot();
    for (int version : {kSetupVersion20, kSetupVersion25, kSetupVersion311, kSetupVersion400}) {
        const Bytes doc = VersionDoc(version, 3);
        for (size_t cut = 0; cut < doc.size(); ++cut) {
            const int result = LoadBytes(Bytes(doc.begin(), doc.begin() + cut));
            ASSERT_TRUE(result == -1 || result == kSetupCorrupt) << version << " at " << cut;
        }
    }
    ExpectSame(before, Snapshot(), "after truncations");
    EXPECT_TRUE(m_hooks.opened.empty());
}

TEST_F(SetupDocumentTest, RandomDamageNeverCrashesAndFailureChangesNothing) {
    std::mt19937 rng(4242);
    const Bytes good = VersionDoc(kSetupVersion400, 4);
    int failures = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes doc = good;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; ++f)
            doc[rng() % doc.size()] = static_cast<uint8_t>(rng());
        if (round % 10 == 0)
            doc.resize(rng() % doc.size());
        const State before = Snapshot();
        const int result = LoadBytes(doc);
        if (result != 0) {
            ++failures;
            ExpectSame(before, Snapshot(), "round " + std::to_string(round));
        }
    }
    EXPECT_GT(failures, 0);
    for (int round = 0; round < 300; ++round) {
        Bytes noise(rng() % 2000);
        for (auto& b : noise)
            b = static_cast<uint8_t>(rng());
        EXPECT_NE(LoadBytes(noise), 0);
    }
}

TEST_F(SetupDocumentTest, RecipientCountsOutOfRange) {
    auto withCount = [](int32_t count, int entries) {
        Doc d;
        d.T("ZARVEKV311");
        BlockA(d, {});
        BlockB(d);
        d.I(count);
        for (int i = 0; i < entries; ++i)
            d.T("m" + std::to_string(i));
        for (int i = 0; i < entries; ++i)
            d.I(i);
        Tail(d);
        d.W(65535).W(0);
        return d.bytes();
    };
    ASSERT_EQ(LoadBytes(withCount(300, 300)), 0);
    EXPECT_EQ(g_pSetupInfo->newemailcount, 256);
    EXPECT_EQ(g_pSetupInfo->newemailto[255], "m255");
    EXPECT_EQ(g_pSetupInfo->emailgrouplist[255], 255);
    EXPECT_EQ(g_pSetupInfo->signint, 77) << "the entries past 256 were read over";

    *g_pSetupInfo = CSetupInfo();
    const State before = Snapshot();
    EXPECT_EQ(LoadBytes(withCount(-1, 0)), kSetupCorrupt);
    EXPECT_EQ(LoadBytes(withCount(INT32_MIN, 0)), kSetupCorrupt);
    EXPECT_EQ(LoadBytes(withCount(0x7FFFFFFF, 3)), kSetupCorrupt);
    EXPECT_EQ(LoadBytes(withCount(5, 4)), kSetupCorrupt);
    ExpectSame(before, Snapshot(), "after bad recipient counts");
}

TEST_F(SetupDocumentTest, HostCountBeyondDataIsCorrupt) {
    const State before = Snapshot();
    EXPECT_EQ(LoadBytes(VersionDoc(kSetupVersion400, 1, 65535)), kSetupCorrupt);
    EXPECT_EQ(LoadBytes(VersionDoc(kSetupVersion21, 2, 3)), kSetupCorrupt);
    ExpectSame(before, Snapshot(), "after bad host counts");
}

TEST_F(SetupDocumentTest, FullTableStopsReadingQuietly) {
    Recreate(3);
    // Five hosts declared, three present: the table takes three and nothing more is read.
    ASSERT_EQ(LoadBytes(VersionDoc(kSetupVersion400, 3, 5)), 0);
    EXPECT_EQ(g_rowCount, 3);
    EXPECT_EQ(Row(2)->name, "h3");
}

// ---- files and saving ---------------------------------------------------------------------

TEST_F(SetupDocumentTest, ImportReplacesRebuildsAndStores) {
    Add("old", "127.0.0.1");
    g_bSetupModified = 1;
    const std::string path = m_dir.File("in.dat");
    WriteFile(path, VersionDoc(kSetupVersion25, 2));
    ASSERT_EQ(ImportSetupFromFile(path), 0);
    EXPECT_EQ(g_rowCount, 2);
    EXPECT_EQ(Row(0)->name, "h1");
    EXPECT_EQ(g_pSetupInfo->smtpserver, "mail.test");
    EXPECT_EQ(m_hooks.rebuilds, 1);
    EXPECT_TRUE(m_hooks.opened.empty()) << "import does not reopen the log file";
    EXPECT_EQ(g_bSetupModified, 1) << "SaveSetupNow leaves the flag alone";
    const Bytes stored = StoredSetup();
    EXPECT_FALSE(stored.empty());
    EXPECT_TRUE(stored == Current());
    EXPECT_TRUE(stored == Snapshot().doc);
}

TEST_F(SetupDocumentTest, ImportFailuresChangeNothing) {
    Add("kept", "127.0.0.1");
    g_pSetupInfo->user = "kept";
    const State before = Snapshot();
    EXPECT_EQ(ImportSetupFromFile(m_dir.File("missing")), -1);

    const std::string notDoc = m_dir.File("not.dat");
    WriteFile(notDoc, {3, 'a', 'b', 'c', 1, 2, 3});
    EXPECT_EQ(ImportSetupFromFile(notDoc), -1);

    const std::string huge = m_dir.File("huge.dat");
    WriteFile(huge, VersionDoc(kSetupVersion400));
    fs::resize_file(huge, kMaxSetupLength + 1);
    EXPECT_EQ(ImportSetupFromFile(huge), -2);

    const std::string cut = m_dir.File("cut.dat");
    const Bytes doc = VersionDoc(kSetupVersion400, 2);
    WriteFile(cut, Bytes(doc.begin(), doc.end() - 5));
    EXPECT_EQ(ImportSetupFromFile(cut), kSetupCorrupt);

    // A file whose length says 0 but which delivers bytes is not parsed.
    EXPECT_EQ(ImportSetupFromFile("/proc/self/status"), kSetupReadMismatch);
    // Nor one that delivers fewer bytes than its length (sysfs files claim 4,096).
    for (const char* shortFile : {"/sys/devices/system/cpu/online", "/sys/class/net/lo/mtu"}) {
        if (fs::exists(shortFile)) {
            EXPECT_EQ(ImportSetupFromFile(shortFile), kSetupReadMismatch) << shortFile;
        }
    }

    ExpectSame(before, Snapshot(), "after failed imports");
    EXPECT_EQ(m_hooks.rebuilds, 0);
    EXPECT_TRUE(StoredSetup().empty()) << "nothing was saved";
}

TEST_F(SetupDocumentTest, ImportAcceptsFileOfExactlyBufferSize) {
    const std::string path = m_dir.File("max.dat");
    WriteFile(path, VersionDoc(kSetupVersion400, 1));
    fs::resize_file(path, kMaxSetupLength);  // trailing bytes are never looked at
    ASSERT_EQ(ImportSetupFromFile(path), 0);
    EXPECT_EQ(g_rowCount, 1);
}

TEST_F(SetupDocumentTest, ExportWritesTheStoredDocument) {
    Add("one", "127.0.0.1");
    const std::string path = m_dir.File("out.dat");
    ASSERT_EQ(ExportSetupToFile(path), 0);
    EXPECT_TRUE(ReadFile(path) == Current());
    EXPECT_TRUE(StoredSetup().empty()) << "not modified: the store is not written";
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    g_bSetupModified = 1;
    ASSERT_EQ(ExportSetupToFile(path), 0);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_TRUE(StoredSetup() == ReadFile(path));

    g_bSetupModified = 1;
    EXPECT_EQ(ExportSetupToFile(m_dir.File("no/such/dir/out.dat")), -1);
    EXPECT_EQ(g_bSetupModified, 0) << "the store was still written";
}

TEST_F(SetupDocumentTest, FailedSaveKeepsTheFlagForTheNextTry) {
    Add("one", "127.0.0.1");
    const std::string blocked = m_dir.File("blocked");
    WriteFile(blocked, {});
    setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
    g_bSetupModified = 1;
    SaveSetupIfModified();
    EXPECT_EQ(g_bSetupModified, 1);
    SaveSetupIfModified();  // said once, not at every try
    ASSERT_EQ(m_hooks.warnings.size(), 1u);
    EXPECT_EQ(m_hooks.warnings[0].rfind("The setup could not be saved in " + blocked, 0), 0u);

    // An export stores the modified setup, and that store is a save that succeeded.
    setenv("XDG_CONFIG_HOME", m_dir.File("config").c_str(), 1);
    ASSERT_EQ(ExportSetupToFile(m_dir.File("out.dat")), 0);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_TRUE(StoredSetup() == Current());

    // Not modified: nothing happens.
    g_pSetupInfo->user = "changed";
    SaveSetupIfModified();
    EXPECT_NE(StoredSetup(), Snapshot().doc);
    // After a save that succeeded, the minute save says the next failure again.
    setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
    g_bSetupModified = 1;
    SaveSetupIfModified();
    EXPECT_EQ(m_hooks.warnings.size(), 2u);
}

TEST_F(SetupDocumentTest, SetupTooLargeIsRefusedNeverTruncated) {
    g_bSetupModified = 1;
    SaveSetupIfModified();
    const Bytes stored = StoredSetup();
    ASSERT_FALSE(stored.empty());

    g_pSetupInfo->exefilename.assign(kMaxSetupLength, 'x');
    g_bSetupModified = 1;
    SaveSetupIfModified();
    EXPECT_EQ(g_bSetupModified, 1);
    EXPECT_EQ(g_setupLength, 0);
    EXPECT_TRUE(StoredSetup() == stored);
    EXPECT_EQ(SaveSetupNow(), kSetupTooLarge);
    EXPECT_TRUE(StoredSetup() == stored);
    EXPECT_EQ(m_hooks.warnings,
              std::vector<std::string>(2,
                                       "The setup could not be saved: it is larger than 64 MB. It "
                                       "is tried again every minute and at exit."));
    EXPECT_EQ(ExportSetupToFile(m_dir.File("big.dat")), kSetupTooLarge);
    EXPECT_FALSE(fs::exists(m_dir.File("big.dat")));
}

// ---- scale ----------------------------------------------------------------------------------

TEST_F(SetupDocumentTest, FullTableSurvivesStoreAndLoad) {
    for (int i = 0; i < kMaxHosts; ++i) {
        CHostItem* h = AddHost(0);
        ASSERT_NE(h, nullptr);
        h->StoreAddr4(htonl(0x0A000000u + static_cast<uint32_t>(i)));
        h->name = "h" + std::to_string(i);
        // 60-character descriptions make a document larger than 8 MB.
        h->descript = std::string(59, 'd') + std::to_string(i % 10);
        h->interval = 1000 + i % 977;
        PublishHost(h);
    }
    ASSERT_EQ(AddHost(0), nullptr);
    const Bytes before = Snapshot().doc;
    ASSERT_GT(before.size(), 8u << 20);
    g_bSetupModified = 1;
    SaveSetupIfModified();
    ASSERT_EQ(g_bSetupModified, 0);

    ClearHostList(0);
    *g_pSetupInfo = CSetupInfo();
    g_setupBuffer.assign(g_setupBuffer.size(), 0);
    g_setupLength = LoadRegistryBlob(g_setupBuffer, kMaxSetupLength);
    ASSERT_EQ(g_setupLength, static_cast<int>(before.size()));
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    EXPECT_EQ(g_rowCount, kMaxHosts);
    EXPECT_EQ(Row(kMaxHosts - 1)->name, "h65534");
    EXPECT_TRUE(Snapshot().doc == before);
}

}  // namespace
