#include "provisioning/clConfig.h"
#include "support/platform_fakes.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace velnaro {
namespace {

const char kDerived[] = "DSM303031413242334334443545";

class ConfigTest : public ::testing::Test {
 protected:
  ConfigTest() {
    adapters_.adapters.push_back({"eth0", 2, true, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}});
  }
  TConfig Make() { return TConfig({&store_, &adapters_, &hardware_}); }

  FakeUserStore store_;
  FakeAdapterSource adapters_;
  FakeHardwareInfoSource hardware_;
};

TEST_F(ConfigTest, DefaultsAtCreation) {
  TConfig c = Make();
  EXPECT_EQ(c.oID, "0");
  EXPECT_EQ(c.ClientID, kDerived);
  EXPECT_EQ(c.ClientVersion, "Windows 333");
  EXPECT_EQ(c.SoftwareID, "3");
  EXPECT_EQ(c.SoftwareVersion, "4.00.002");
  EXPECT_EQ(c.ServiceURL, "http://127.0.0.1:8088/oService");
  for (const std::string* v : {&c.SipServer, &c.SipInterno, &c.SipUtente, &c.SipPassword,
                               &c.ClientDS, &c.Rete, &c.ConferenceNumber, &c.Note, &c.UpdateURL,
                               &c.UpdateFILE, &c.UpdateFORCE, &c.UpdateMSG, &c.UpdateInfoURL}) {
    EXPECT_EQ(*v, "");
  }
  EXPECT_EQ(c.HardwareError, "");
}

TEST_F(ConfigTest, HardwareFailureIsReportedAndDoesNotTouchTheIdentifier) {
  hardware_.fail = true;
  TConfig c = Make();
  EXPECT_EQ(c.ClientID, kDerived);
  EXPECT_NE(c.HardwareError, "");
}

TEST_F(ConfigTest, NoKeyAtAllKeepsTheDerivedIdentifierAndWritesNothing) {
  TConfig c = Make();
  c.LoadFromRegistry();
  EXPECT_EQ(c.ClientID, kDerived);
  EXPECT_EQ(store_.writes, 0);
  EXPECT_FALSE(store_.KeyExists(kCurrentKey));
  // The next run follows the adapter.
  adapters_.adapters[0].mac[5] = 0x5F;
  TConfig next = Make();
  next.LoadFromRegistry();
  EXPECT_EQ(next.ClientID, "DSM303031413242334334443546");
}

TEST_F(ConfigTest, CurrentKeyWinsOverTheLegacyKey) {
  store_.Set(kCurrentKey, "ClientID", {StoreValueType::kString, "DSMCURRENT"});
  store_.Set(kLegacyKey, "ClientID", {StoreValueType::kString, "DSMLEGACY"});
  TConfig c = Make();
  c.LoadFromRegistry();
  EXPECT_EQ(c.ClientID, "DSMCURRENT");
  EXPECT_EQ(store_.writes, 0);
}

TEST_F(ConfigTest, EmptyOrMissingCurrentValueKeepsDerivedAndLeavesTheKeyAlone) {
  store_.Set(kCurrentKey, "ClientID", {StoreValueType::kString, ""});
  store_.Set(kLegacyKey, "ClientID", {StoreValueType::kString, "DSMLEGACY"});
  TConfig c = Make();
  c.LoadFromRegistry();
  EXPECT_EQ(c.ClientID, kDerived);
  EXPECT_EQ(store_.writes, 0);
  EXPECT_EQ(store_.Get(kCurrentKey, "ClientID")->data, "");

  FakeUserStore other;
  other.AddKey(kCurrentKey);
  TConfig d({&other, &adapters_, &hardware_});
  d.LoadFromRegistry();
  EXPECT_EQ(d.ClientID, kDerived);
  EXPECT_EQ(other.writes, 0);
}

TEST_F(ConfigTest, ExpandableStringIsTakenWithoutExpansion) {
  store_.Set(kCurrentKey, "ClientID", {StoreValueType::kExpandString, "DSM%USERNAME%"});
  TConfig c = Make();
  c.LoadFromRegistry();
  EXPECT_EQ(c.ClientID, "DSM%USERNAME%");
}

TEST_F(ConfigTest, LegacyValueIsUsedAndCopiedOnce) {
  store_.Set(kLegacyKey, "ClientID", {StoreValueType::kString, "DSMLEGACY"});
  TConfig c = Make();
  c.LoadFromRegistry();
  EXPECT_EQ(c.ClientID, "DSMLEGACY");
  ASSERT_NE(store_.Get(kCurrentKey, "ClientID"), nullptr);
  EXPECT_EQ(store_.Get(kCurrentKey, "ClientID")->data, "DSMLEGACY");
  EXPECT_EQ(store_.Get(kCurrentKey, "ClientID")->type, StoreValueType::kString);
  EXPECT_TRUE(store_.KeyExists(kLegacyKey));  // never deleted
  EXPECT_EQ(store_.writes, 1);

  TConfig next = Make();
  next.LoadFromRegistry();
  EXPECT_EQ(next.ClientID, "DSMLEGACY");
  EXPECT_EQ(store_.writes, 1);
}

TEST_F(ConfigTest, LegacyKeyWithoutValueFixesTheDerivedIdentifier) {
  store_.AddKey(kLegacyKey);
  TConfig c = Make();
  c.LoadFromRegistry();
  EXPECT_EQ(c.ClientID, kDerived);
  EXPECT_EQ(store_.Get(kCurrentKey, "ClientID")->data, kDerived);
  adapters_.adapters[0].mac = {0x02, 0, 0, 0, 0, 1};
  TConfig next = Make();
  next.LoadFromRegistry();
  EXPECT_EQ(next.ClientID, kDerived);
}

TEST_F(ConfigTest, WrongValueTypeRaisesAndKeepsTheIdentifier) {
  for (const char* key : {kCurrentKey, kLegacyKey}) {
    FakeUserStore store;
    store.Set(key, "ClientID", {StoreValueType::kDword, "7"});
    TConfig c({&store, &adapters_, &hardware_});
    try {
      c.LoadFromRegistry();
      ADD_FAILURE() << "no error for " << key;
    } catch (const StoreError& e) {
      EXPECT_STREQ(e.what(), "Invalid data type for 'ClientID'");
    }
    EXPECT_EQ(c.ClientID, kDerived);
    EXPECT_EQ(store.writes, 0);
  }
}

TEST_F(ConfigTest, CurrentKeyThatCannotBeCreatedIsRetriedNextRun) {
  store_.Set(kLegacyKey, "ClientID", {StoreValueType::kString, "DSMLEGACY"});
  store_.fail_create = true;
  TConfig c = Make();
  EXPECT_NO_THROW(c.LoadFromRegistry());
  EXPECT_EQ(c.ClientID, "DSMLEGACY");
  EXPECT_FALSE(store_.KeyExists(kCurrentKey));
  store_.fail_create = false;
  TConfig next = Make();
  next.LoadFromRegistry();
  EXPECT_EQ(store_.Get(kCurrentKey, "ClientID")->data, "DSMLEGACY");
}

TEST_F(ConfigTest, FailedWriteRaises) {
  store_.Set(kLegacyKey, "ClientID", {StoreValueType::kString, "DSMLEGACY"});
  store_.fail_write = true;
  TConfig c = Make();
  try {
    c.LoadFromRegistry();
    ADD_FAILURE() << "no error";
  } catch (const StoreError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'ClientID'");
  }
  EXPECT_EQ(c.ClientID, "DSMLEGACY");
}

TEST_F(ConfigTest, UnopenableCurrentKeyFallsBackToTheLegacyKey) {
  store_.Set(kCurrentKey, "ClientID", {StoreValueType::kString, "DSMCURRENT"});
  store_.fail_open = true;
  TConfig c = Make();
  EXPECT_NO_THROW(c.LoadFromRegistry());
  EXPECT_EQ(c.ClientID, kDerived);
}

TEST_F(ConfigTest, FirstCommandLineParameterReplacesTheServiceAddress) {
  TConfig c = Make();
  c.ReadCommandLine(std::vector<std::string>{});
  EXPECT_EQ(c.ServiceURL, "http://127.0.0.1:8088/oService");
  c.ReadCommandLine({""});
  EXPECT_EQ(c.ServiceURL, "http://127.0.0.1:8088/oService");
  c.ReadCommandLine({"", "http://127.0.0.1:9/x"});
  EXPECT_EQ(c.ServiceURL, "http://127.0.0.1:8088/oService");
  c.ReadCommandLine({"http://127.0.0.1:18088/oService", "ignored"});
  EXPECT_EQ(c.ServiceURL, "http://127.0.0.1:18088/oService");
  // The test program's own command line may carry gtest flags only; none is an address.
  TConfig d = Make();
  d.ReadCommandLine();
  EXPECT_FALSE(d.ServiceURL.empty());
}

TEST_F(ConfigTest, MigrationThroughTheFileStoreAcrossRuns) {
  char tmpl[] = "/tmp/velnaro-cfg-XXXXXX";
  std::filesystem::path dir = mkdtemp(tmpl);
  std::string path = (dir / "velnaro/VelnaroDS.json").string();
  std::filesystem::create_directories(dir / "velnaro");
  {
    std::ofstream(path) << R"({"Software\\Morvel\\VelnaroDS": {"ClientID": "DSMOLD"}})";
  }
  {
    FileUserStore store(path);
    TConfig c({&store, &adapters_, &hardware_});
    c.LoadFromRegistry();
    EXPECT_EQ(c.ClientID, "DSMOLD");
  }
  {
    FileUserStore store(path);
    EXPECT_TRUE(store.KeyExists("Software\\Velnaro\\VelnaroDS"));
    EXPECT_TRUE(store.KeyExists("Software\\Morvel\\VelnaroDS"));
    ASSERT_TRUE(store.OpenKey("Software\\Velnaro\\VelnaroDS\\", false));
    EXPECT_EQ(store.ReadString("ClientID"), "DSMOLD");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velnaro
