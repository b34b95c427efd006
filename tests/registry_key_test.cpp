// RegistryKey against the real registry of the test prefix.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "registry_key.h"

namespace {

const char kTestKey[] = "Software\\PelagioUpdaterTests";

// A key of the test's own under HKCU, deleted with its sub-keys afterwards.
class RegistryKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, 0, 0, KEY_ALL_ACCESS, 0, &key_, 0),
            ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    }
    void SetValue(const char* name, DWORD type, const std::string& data) {
        ASSERT_EQ(RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                                 DWORD(data.size() + 1)),
                  ERROR_SUCCESS);
    }
    HKEY key_ = 0;
};

TEST_F(RegistryKeyTest, OpensReadsAndRecordsItsState) {
    SetValue(nullptr, REG_SZ, "C:\\Program Files\\X\\Pelagio2.scr");
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey), 1);
    EXPECT_NE(key.Handle(), nullptr);
    EXPECT_EQ(key.Root(), HKEY_CURRENT_USER);
    EXPECT_STREQ(key.SubKeyPath(), kTestKey);
    char buffer[260];
    EXPECT_EQ(key.QueryString(nullptr, buffer, sizeof(buffer), ""), 1);
    EXPECT_STREQ(buffer, "C:\\Program Files\\X\\Pelagio2.scr");
}

TEST_F(RegistryKeyTest, MissingKeyLeavesItClosed) {
    RegistryKey key;
    EXPECT_EQ(key.Open(HKEY_CURRENT_USER, "Software\\PelagioUpdaterTests\\Missing"), 0);
    EXPECT_EQ(key.Handle(), nullptr);
    EXPECT_EQ(key.Root(), nullptr);
    EXPECT_EQ(std::string(key.SubKeyPath(), RegistryKey::PathCapacity),
              std::string(RegistryKey::PathCapacity, '\0'));
}

TEST_F(RegistryKeyTest, FailedReadsGiveTheFallbackOrZeros) {
    SetValue("long", REG_SZ, std::string(300, 'L'));
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey), 1);
    struct Case {
        const char* name;
        const char* fallback;
        std::string expected;
    } cases[] = {
        {"missing", "", std::string(260, '\0')},
        {"missing", nullptr, std::string(260, '\0')},
        {"missing", "fallback", "fallback" + std::string(252, '\0')},
        // The platform wants more room than the capacity: the read fails.
        {"long", "", std::string(260, '\0')},
        {"long", "fb", "fb" + std::string(258, '\0')},
    };
    for (const Case& c : cases) {
        char buffer[260];
        memset(buffer, 0x7F, sizeof(buffer));
        EXPECT_EQ(key.QueryString(c.name, buffer, sizeof(buffer), c.fallback), 0) << c.name;
        EXPECT_EQ(std::string(buffer, sizeof(buffer)), c.expected)
            << "value " << c.name << ", fallback " << (c.fallback ? c.fallback : "null");
    }
    EXPECT_EQ(key.QueryString("missing", nullptr, 260, "x"), 1) << "a null buffer reads nothing";
}

TEST_F(RegistryKeyTest, ExpandableValueComesBackUnexpanded) {
    SetValue(nullptr, REG_EXPAND_SZ, "%ProgramFiles%\\X\\Pelagio2.scr");
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey), 1);
    char buffer[260];
    EXPECT_EQ(key.QueryString(nullptr, buffer, sizeof(buffer), ""), 1);
    EXPECT_STREQ(buffer, "%ProgramFiles%\\X\\Pelagio2.scr");
}

TEST_F(RegistryKeyTest, CloseTwiceGivesOneThenZero) {
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey), 1);
    EXPECT_EQ(key.Close(), 1);
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(key.Handle(), nullptr);
    char buffer[8];
    EXPECT_EQ(key.QueryString(nullptr, buffer, sizeof(buffer), "fb"), 0) << "closed key";
    EXPECT_STREQ(buffer, "fb");
}

// The platform opens sub-key paths of up to 260 characters; one of exactly 260 is cut to the
// field's 259 and stays terminated, and the bytes after the object are untouched.
TEST_F(RegistryKeyTest, LongSubKeyPathStaysInsideItsField) {
    // Created one level at a time, each name within the platform's limit.
    std::string path = kTestKey;
    HKEY parent = key_;
    for (int i = 0; i < 2; ++i) {
        std::string name(i == 0 ? 120 : 110, char('a' + i));
        HKEY child = 0;
        ASSERT_EQ(RegCreateKeyExA(parent, name.c_str(), 0, 0, 0, KEY_ALL_ACCESS, 0, &child, 0),
                  ERROR_SUCCESS);
        if (parent != key_)
            RegCloseKey(parent);
        parent = child;
        path += "\\" + name;
    }
    RegCloseKey(parent);
    struct Guarded {
        RegistryKey key;
        char canary[16];
    } guarded;
    memset(guarded.canary, 0x5A, sizeof(guarded.canary));
    ASSERT_EQ(path.size(), 260u);
    ASSERT_EQ(guarded.key.Open(HKEY_CURRENT_USER, path.c_str()), 1);
    EXPECT_EQ(std::string(guarded.key.SubKeyPath()), path.substr(0, 259));
    EXPECT_EQ(std::string(guarded.canary, 16), std::string(16, 0x5A));
}

} // namespace
