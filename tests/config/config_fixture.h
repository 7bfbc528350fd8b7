#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_hooks.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "platform/message_box.h"
#include "platform/registry_store.h"

// Shared by the tests of the INI text, the legacy list and the file commands: a sandboxed
// configuration directory, a host table, a settings record, hooks that count list
// rebuilds, and a message box sink that records every box.
namespace configtest {

using Bytes = std::vector<uint8_t>;

struct Box {
    std::string caption;
    std::string text;
    unsigned flags = 0;
};

struct RecordingBoxes : MessageBoxSink {
    std::vector<Box> shown;
    int Show(const std::string& caption, const std::string& text, unsigned flags) override {
        shown.push_back({caption, text, flags});
        return IDOK;
    }
};

struct CountingHooks : SetupHooks {
    int rebuilds = 0;
    std::vector<std::string> warnings;
    int HostListColumnWidth(int) override { return -1; }
    void RebuildHostList() override { ++rebuilds; }
    bool OpenLogFile(const std::string&) override { return true; }
    void ShowWarning(const std::string& text) override { warnings.push_back(text); }
};

class ConfigTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo;
        SetSetupHooks(&m_hooks);
        SetMessageBoxSink(&m_boxes);
        g_setupLength = 0;
        g_bSetupModified = 0;
    }
    void TearDown() override {
        SetMessageBoxSink(nullptr);
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

    static CHostItem* Add(const std::string& name, const char* ip) {
        CHostItem* h = AddHost(0);
        EXPECT_NE(h, nullptr);
        if (h == nullptr)
            return nullptr;
        in6_addr a6{};
        in_addr a4{};
        if (inet_pton(AF_INET6, ip, &a6) == 1) {
            h->addr6.sin6_family = AF_INET6;
            h->addr6.sin6_addr = a6;
        } else {
            inet_pton(AF_INET, ip, &a4);
            h->StoreAddr4(a4.s_addr);
        }
        h->name = name;
        PublishHost(h);
        return h;
    }

    static int Count() { return g_pHostList->count.load(); }
    static CHostItem* Row(int r) {
        return g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[r]));
    }
    static std::string Ip4(const CHostItem& h) {
        const uint32_t a = h.LoadAddr4();
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a, text, sizeof text);
        return text;
    }

    // The whole live state as a setup document (settings, hosts in row order).
    static Bytes Snapshot() {
        const int kept = g_setupLength;
        const Bytes keptBuffer = g_setupBuffer;
        const int n = SerializeSetup();
        EXPECT_GT(n, 0);
        Bytes doc(g_setupBuffer.begin(), g_setupBuffer.begin() + std::max(n, 0));
        g_setupBuffer = keptBuffer;
        g_setupLength = kept;
        return doc;
    }

    // Identity of the stored setup file: a new commit gives a new inode.
    static ino_t StoreInode() {
        RegistryKey key(kSetupStoreFile);
        struct stat st {};
        return stat(key.Path().c_str(), &st) == 0 ? st.st_ino : 0;
    }
    static Bytes StoredSetup() {
        Bytes buffer;
        if (LoadRegistryBlob(buffer, kMaxSetupLength) < 0)
            buffer.clear();
        return buffer;
    }

    static void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    CountingHooks m_hooks;
    RecordingBoxes m_boxes;
};

}  // namespace configtest
