#include "engine/name_threads.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "common/test_support.h"
#include "engine/engine_messages.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "engine/icmp_parse.h"
#include "engine/icmp_test_support.h"
#include "engine/send_cycle.h"
#include "platform/message_target.h"
#include "platform/tick.h"

namespace {

using testsupport::WaitUntil;

// A resolver whose answers the test sets; it can hold a caller inside a lookup until the
// test lets it go.
class FakeResolver : public NameResolver {
public:
    std::optional<uint32_t> ResolveIPv4(const std::string& hostname) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_forwardCalls.push_back(hostname);
        m_inside = true;
        m_cond.notify_all();
        m_cond.wait(lock, [this] { return !m_hold; });
        m_inside = false;
        ++m_returned;
        auto found = m_addresses.find(hostname);
        if (found == m_addresses.end())
            return std::nullopt;
        return found->second;
    }

    std::optional<std::string> LookupName(uint32_t address) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reverseCalls.push_back(address);
        auto found = m_names.find(address);
        if (found == m_names.end())
            return std::nullopt;
        return found->second;
    }

    void SetAddress(const std::string& hostname, const char* dotted) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_addresses[hostname] = inet_addr(dotted);
    }
    void SetName(const char* dotted, const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_names[inet_addr(dotted)] = name;
    }
    void Hold(bool hold) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = hold;
        m_cond.notify_all();
    }
    bool Inside() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inside;
    }
    int Returned() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_returned;
    }
    std::vector<std::string> ForwardCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_forwardCalls;
    }
    std::vector<uint32_t> ReverseCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reverseCalls;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::map<std::string, uint32_t> m_addresses;
    std::map<uint32_t, std::string> m_names;
    std::vector<std::string> m_forwardCalls;
    std::vector<uint32_t> m_reverseCalls;
    bool m_hold = false;
    bool m_inside = false;
    int m_returned = 0;
};

// Answers every message at once, from any thread, and keeps it.
class RecordingWindow : public MessageTarget {
public:
    struct Message {
        uint32_t msg;
        WPARAM wParam;
        LPARAM lParam;
    };
    bool Post(uint32_t msg, WPARAM w, LPARAM l) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back({msg, w, l});
        return true;
    }
    std::optional<LRESULT> Send(uint32_t msg, WPARAM w, LPARAM l) override {
        Post(msg, w, l);
        if (onSend)
            onSend(msg, w, l);
        return 0;
    }
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    std::function<void(uint32_t, WPARAM, LPARAM)> onSend;

private:
    std::mutex m_mutex;
    std::vector<Message> m_messages;
};

class NameThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(64), 0);
        m_table = g_pHostList;
        SetNameResolver(&m_resolver);
        g_hHostListWnd.store(&m_window);
        SetEchoSendFunction([](int, const void*, size_t length, const sockaddr*, socklen_t) {
            return static_cast<ssize_t>(length);
        });
    }
    void TearDown() override {
        SetEchoSendFunction(nullptr);
        SetTickSource(nullptr);
        m_resolver.Hold(false);
        g_hHostListWnd.store(nullptr);
        SetNameResolver(nullptr);
        DestroyHostList();
    }

    CHostItem* AddNamed(const std::string& hostname, const char* address = "0.0.0.0") {
        CHostItem* host = AddHost(0);
        EXPECT_NE(host, nullptr);
        host->name_host = 1;
        host->hostname = hostname;
        host->StoreAddr4(inet_addr(address));
        PublishHost(host);
        return host;
    }

    std::vector<CHostItem*> AddressMessages() {
        std::vector<CHostItem*> hosts;
        for (const auto& m : m_window.Messages()) {
            EXPECT_EQ(m.msg, WM_HOST_ADDRESS);
            EXPECT_EQ(m.lParam, 0);
            hosts.push_back(reinterpret_cast<CHostItem*>(m.wParam));
        }
        return hosts;
    }

    FakeResolver m_resolver;
    RecordingWindow m_window;
    CHostList* m_table = nullptr;
};

TEST_F(NameThreadsTest, OneAddressMessagePerChangeAndNoneWithoutChange) {
    CHostItem* alpha = AddNamed("alpha.test", "198.51.100.1");
    CHostItem* beta = AddNamed("beta.test");
    m_resolver.SetAddress("alpha.test", "198.51.100.1");  // unchanged
    m_resolver.SetAddress("beta.test", "198.51.100.2");
    cDNSthread thread;

    thread.DoWork();
    EXPECT_EQ(AddressMessages(), std::vector<CHostItem*>{beta});
    EXPECT_EQ(beta->LoadAddr4(), inet_addr("198.51.100.2"));
    EXPECT_EQ(alpha->LoadAddr4(), inet_addr("198.51.100.1"));

    thread.DoWork();
    EXPECT_EQ(AddressMessages().size(), 1u);

    m_resolver.SetAddress("alpha.test", "203.0.113.9");
    thread.DoWork();
    thread.DoWork();
    EXPECT_EQ(AddressMessages(), (std::vector<CHostItem*>{beta, alpha}));
    EXPECT_EQ(alpha->LoadAddr4(), inet_addr("203.0.113.9"));
}

TEST_F(NameThreadsTest, OnlyHostsGivenByANameThatIsNotADottedAddressAreResolved) {
    CHostItem* dotted = AddNamed("198.51.100.77", "198.51.100.1");
    CHostItem* byAddress = AddNamed("gamma.test", "198.51.100.1");
    byAddress->name_host = 0;
    CHostItem* excluded = AddNamed("delta.test", "198.51.100.1");
    excluded->list_flags.fetch_or(0x1);
    CHostItem* unfilled = AddHost(0);  // not published yet
    unfilled->name_host = 1;
    unfilled->hostname = "epsilon.test";
    CHostItem* unresolvable = AddNamed("nowhere.test", "198.51.100.5");
    CHostItem* none = AddNamed("none.test", "198.51.100.6");
    for (const char* name : {"198.51.100.77", "gamma.test", "delta.test", "epsilon.test"})
        m_resolver.SetAddress(name, "203.0.113.1");
    m_resolver.SetAddress("none.test", "255.255.255.255");

    cDNSthread thread;
    thread.DoWork();
    EXPECT_EQ(m_resolver.ForwardCalls(), (std::vector<std::string>{"nowhere.test", "none.test"}));
    EXPECT_TRUE(m_window.Messages().empty());
    // A name that does not resolve keeps its last address.
    EXPECT_EQ(unresolvable->LoadAddr4(), inet_addr("198.51.100.5"));
    EXPECT_EQ(none->LoadAddr4(), inet_addr("198.51.100.6"));
    EXPECT_EQ(dotted->LoadAddr4(), inet_addr("198.51.100.1"));
}

TEST_F(NameThreadsTest, NoRecordOrLockIsHeldWhileTheResolverBlocks) {
    CHostItem* alpha = AddNamed("alpha.test", "198.51.100.1");
    CHostItem* none = AddNamed("none.test");
    m_resolver.SetAddress("alpha.test", "198.51.100.2");
    m_resolver.SetAddress("beta.test", "198.51.100.3");
    m_resolver.Hold(true);

    cDNSthread thread;
    thread.SetPeriod(kDnsPeriod);
    ASSERT_EQ(thread.Resume(), 1);
    ASSERT_TRUE(WaitUntil([&] { return m_resolver.Inside(); }));

    // Meanwhile a host with a stored address is due at once; one without waits 30 s at most.
    static std::atomic<uint32_t> now{100000};
    SetTickSource([] { return now.load(); });
    m_table->stopped.store(0);
    SendCycle(m_table, 0);
    EXPECT_EQ(alpha->sent_count.load(), 1u);
    now += kNameWaitMs - 1;
    SendCycle(m_table, 0);
    EXPECT_EQ(none->result.load(), 0);
    now += 1;
    SendCycle(m_table, 0);
    EXPECT_EQ(none->result.load(), PING_RESULT_SENDFAIL);

    // The table can be emptied and refilled while the lookup of its old host runs: the
    // thread holds no lock. The new record may even reuse the old one's memory.
    EXPECT_EQ(ClearHostList(0), 0);
    CHostItem* beta = AddNamed("beta.test", "198.51.100.1");
    m_resolver.Hold(false);
    ASSERT_TRUE(WaitUntil([&] { return m_resolver.Returned() == 1; }));
    thread.Stop();
    EXPECT_EQ(thread.WaitForExit(), 1);

    // The answer for the old host went nowhere: the host at that index is another one now.
    EXPECT_TRUE(m_window.Messages().empty());
    EXPECT_EQ(beta->LoadAddr4(), inet_addr("198.51.100.1"));
}

TEST_F(NameThreadsTest, AddressMessageIsSentWithoutTheLifetimeLock) {
    CHostItem* alpha = AddNamed("alpha.test", "198.51.100.1");
    m_resolver.SetAddress("alpha.test", "198.51.100.2");
    bool exclusiveInsideHandler = false;
    // The list control's handler may take the table exclusively (an edit); it must get it.
    m_window.onSend = [&](uint32_t, WPARAM, LPARAM) {
        exclusiveInsideHandler = m_table->lifetime.try_lock();
        if (exclusiveInsideHandler)
            m_table->lifetime.unlock();
    };
    cDNSthread thread;
    thread.DoWork();
    EXPECT_EQ(AddressMessages(), std::vector<CHostItem*>{alpha});
    EXPECT_TRUE(exclusiveInsideHandler);
}

TEST_F(NameThreadsTest, StopEndsALongReResolutionAfterTheCurrentLookup) {
    for (int i = 0; i < 40; ++i)
        AddNamed("host" + std::to_string(i) + ".test");
    m_resolver.Hold(true);
    cDNSthread thread;
    thread.SetPeriod(kDnsPeriod);
    thread.Resume();
    ASSERT_TRUE(WaitUntil([&] { return m_resolver.Inside(); }));
    thread.Stop();
    m_resolver.Hold(false);
    EXPECT_EQ(thread.WaitForExit(), 1);
    EXPECT_EQ(m_resolver.ForwardCalls().size(), 1u);
}

TEST_F(NameThreadsTest, ReplyCountsForTheAddressItsRequestWentToWhenTheNameMovesOn) {
    CHostItem* host = AddNamed("round-robin.test");
    cDNSthread thread;
    m_resolver.SetAddress("round-robin.test", "198.51.100.1");
    thread.DoWork();
    ASSERT_GT(SendEcho(host, 0, 0), 0);
    m_resolver.SetAddress("round-robin.test", "198.51.100.2");
    thread.DoWork();
    ASSERT_EQ(host->LoadAddr4(), inet_addr("198.51.100.2"));
    auto reply = icmptest::Ipv4Datagram(icmptest::EchoMessage(0, 1025, host->seq.load()));
    inet_pton(AF_INET, "198.51.100.1", &reply[12]);
    EXPECT_EQ(ParseIcmpV4(reply.data(), static_cast<uint32_t>(reply.size())), 0);
    EXPECT_EQ(host->recv_count.load(), 1u);
}

TEST_F(NameThreadsTest, RealResolverFindsLocalhost) {
    SetNameResolver(nullptr);
    CHostItem* local = AddNamed("localhost", "0.0.0.0");
    cDNSthread thread;
    thread.DoWork();
    EXPECT_EQ(local->LoadAddr4(), inet_addr("127.0.0.1"));
    EXPECT_EQ(AddressMessages(), std::vector<CHostItem*>{local});

    EXPECT_EQ(SystemNameResolver().ResolveIPv4("localhost"), inet_addr("127.0.0.1"));
}

// ---------------------------------------------------------------------------------------
// Reverse lookups

class LookupThreadTest : public NameThreadsTest {
protected:
    // Fills the slot as the view does, triggers it and waits for its answer.
    std::string LookUp(clookupthread& lookup, const char* dotted) {
        size_t before = m_window.Messages().size();
        lookup.owner = &m_window;
        lookup.host_index = 3;
        lookup.addr.store(inet_addr(dotted));
        lookup.Trigger();
        EXPECT_TRUE(WaitUntil([&] { return m_window.Messages().size() > before; }));
        auto done = m_window.Messages().back();
        EXPECT_EQ(done.msg, WM_LOOKUP_DONE);
        EXPECT_EQ(done.wParam, lookup.slot);
        EXPECT_EQ(done.lParam, 0);
        // The slot stays busy until the view has taken the result.
        EXPECT_EQ(lookup.addr.load(), inet_addr(dotted));
        std::string name = lookup.name;
        lookup.addr.store(0);
        return name;
    }
};

TEST_F(LookupThreadTest, ReportsTheNameCutToSixtyThreeCharactersOrEmpty) {
    const std::string longName(100, 'n');
    m_resolver.SetName("198.51.100.1", "one.example.test");
    m_resolver.SetName("198.51.100.2", longName);
    clookupthread lookup;
    lookup.slot = 1;
    lookup.Resume();

    EXPECT_EQ(LookUp(lookup, "198.51.100.1"), "one.example.test");
    EXPECT_EQ(LookUp(lookup, "198.51.100.2"), longName.substr(0, 63));
    // A failed lookup leaves no trace of the last name.
    EXPECT_EQ(LookUp(lookup, "198.51.100.3"), "");
    EXPECT_EQ(m_resolver.ReverseCalls(),
              (std::vector<uint32_t>{inet_addr("198.51.100.1"), inet_addr("198.51.100.2"),
                                     inet_addr("198.51.100.3")}));

    lookup.Stop();
    EXPECT_EQ(lookup.WaitForExit(), 1);
}

TEST_F(LookupThreadTest, RealReverseLookupOfTheLoopbackAddress) {
    SetNameResolver(nullptr);
    clookupthread lookup;
    lookup.slot = 0;
    lookup.Resume();
    // /etc/hosts names 127.0.0.1; no outside DNS is asked.
    EXPECT_EQ(LookUp(lookup, "127.0.0.1"), "localhost");
    lookup.Stop();
    EXPECT_EQ(lookup.WaitForExit(), 1);
}

TEST(LookupThreadsTest, BothSlotsExistSuspendedAndClearedFromProgramStart) {
    for (clookupthread& lookup : g_lookupThreads) {
        EXPECT_TRUE(lookup.thread.created());
        EXPECT_EQ(lookup.addr.load(), 0u);
        EXPECT_EQ(lookup.name[0], '\0');
        EXPECT_EQ(lookup.period.load(), 0u);
    }
}

}  // namespace
