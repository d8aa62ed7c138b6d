// Registry values through WinUtil: the views, the stored forms, reading any type as text, and
// what the writers report when a key cannot be opened.
#include "harness/jvm/api.h"
#include "winhost/control.h"
#include "winhost/control_host.h"

using namespace api::winutil;
using winhost::View;
using winhost::Wow64;

namespace {

const char kVendorKey[] = "SOFTWARE\\Vendor";
const char16_t kVendorWide[] = u"SOFTWARE\\Vendor";

std::vector<uint8_t> Bytes(std::initializer_list<int> values) { return std::vector<uint8_t>(values.begin(), values.end()); }

std::vector<std::string> OpenMasks() {
  std::vector<std::string> masks;
  for (const auto& call : winhost::JournalOf("RegOpenKeyExW")) masks.push_back(call.Arg("access"));
  return masks;
}

class RegistryValuesTest : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    winhost::CreateRegistryKey(View::k64, kVendorKey);
  }
  void TearDown() override {
    EXPECT_EQ(winhost::LiveCount("key"), 0) << "a registry key was left open";
    JvmTest::TearDown();
  }
};

TEST_F(RegistryValuesTest, AccessMasksFollowWow64AndTheViewFlag) {
  struct Row {
    Wow64 mode;
    bool view64;
    std::vector<std::string> read, write;
  };
  const std::string plainRead = "0x00020019", plainWrite = "0x00000002";
  const Row rows[] = {
      // Without WOW64 there is one view: a true flag only makes a second, identical attempt.
      {Wow64::Off, false, {plainRead}, {plainWrite}},
      {Wow64::Off, true, {plainRead, plainRead}, {plainWrite, plainWrite}},
      {Wow64::Absent, true, {plainRead, plainRead}, {plainWrite, plainWrite}},
      {Wow64::Failing, true, {plainRead, plainRead}, {plainWrite, plainWrite}},
      // Under WOW64 the flag picks the 64-bit view, and the second attempt is the false flag's.
      {Wow64::On, true, {"0x00020119", "0x00020219"}, {"0x00000102", plainWrite}},
      {Wow64::On, false, {"0x00020219"}, {plainWrite}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "WOW64 mode " << static_cast<int>(row.mode) << ", flag " << row.view64);
    winhost::Reset();
    winhost::SetWow64(row.mode);
    EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE\\Missing"), J(u"v"), row.view64).value, std::nullopt);
    EXPECT_EQ(OpenMasks(), row.read);
    // IsWow64Process is looked up in kernel32 each time a mask is computed.
    auto lookups = winhost::JournalOf("GetProcAddress");
    ASSERT_EQ(lookups.size(), row.read.size());
    EXPECT_EQ(lookups[0].Arg("name"), "IsWow64Process");
    EXPECT_EQ(winhost::JournalOf("GetModuleHandleW")[0].Arg("module"), "kernel32");

    winhost::ClearJournal();
    EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE\\Missing"), J(u"v"), J(u"x"), row.view64).value, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenMasks(), row.write);
    winhost::ClearJournal();
    EXPECT_EQ(SetHKLMIntRegValue(J(u"SOFTWARE\\Missing"), J(u"v"), 7, row.view64).value, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenMasks(), row.write);
  }
}

TEST_F(RegistryValuesTest, UnderWow64TheFlagChoosesTheViewAndFallsBackToThe32BitOne) {
  winhost::SetWow64(Wow64::On);
  winhost::SetRegistryString(View::k64, "SOFTWARE\\Both", "Name", u"sixty-four");
  winhost::SetRegistryString(View::k32, "SOFTWARE\\Both", "Name", u"thirty-two");
  EXPECT_EQ(Utf8(GetHKLMStringRegValue(J(u"SOFTWARE\\Both"), J(u"Name"), true).value), "sixty-four");
  EXPECT_EQ(Utf8(GetHKLMStringRegValue(J(u"SOFTWARE\\Both"), J(u"Name"), false).value), "thirty-two");

  // A key only the 32-bit view has is found on the second attempt, and written there.
  winhost::CreateRegistryKey(View::k32, "SOFTWARE\\Only32");
  EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE\\Only32"), J(u"Name"), J(u"written"), true).value, 0);
  EXPECT_EQ(SetHKLMIntRegValue(J(u"SOFTWARE\\Only32"), J(u"Count"), 5, true).value, 0);
  EXPECT_EQ(Utf8(GetHKLMStringRegValue(J(u"SOFTWARE\\Only32"), J(u"Name"), true).value), "written");
  EXPECT_TRUE(winhost::GetRegistryValue(View::k32, "SOFTWARE\\Only32", "Count").has_value());
  EXPECT_FALSE(winhost::RegistryKeyExists(View::k64, "SOFTWARE\\Only32")) << "no key is created";

  // Without WOW64 there is no redirection: the 32-bit copy is not what SOFTWARE\Both names.
  winhost::SetWow64(Wow64::Off);
  EXPECT_EQ(Utf8(GetHKLMStringRegValue(J(u"SOFTWARE\\Both"), J(u"Name"), false).value), "sixty-four");
  EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE\\Only32"), J(u"Name"), true).value, std::nullopt);
}

TEST_F(RegistryValuesTest, StringsAreStoredWithoutTerminatorAndReadBack) {
  EXPECT_EQ(SetHKLMStringRegValue(J(kVendorWide), J(u"Text"), J(u"A\u20AC"), false).value, 0);
  auto stored = winhost::GetRegistryValue(View::k64, kVendorKey, "Text");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(stored->data, Bytes({0x41, 0x00, 0xAC, 0x20}));

  for (const std::u16string& text : {std::u16string(u"Gr\u00FC\u00DFe \u2603 \U0001D11E"), std::u16string(u"x"),
                                     std::u16string(300, u'w')}) {
    ASSERT_EQ(SetHKLMStringRegValue(J(kVendorWide), J(u"Text"), text, true).value, 0);
    EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), J(u"Text"), true).value, text);
  }

  // An embedded U+0000 is stored with the rest; the reader stops at it.
  std::u16string embedded(u"ab\0cd", 5);
  ASSERT_EQ(SetHKLMStringRegValue(J(kVendorWide), J(u"Text"), embedded, false).value, 0);
  EXPECT_EQ(winhost::GetRegistryValue(View::k64, kVendorKey, "Text")->data.size(), 10u);
  EXPECT_EQ(Utf8(GetHKLMStringRegValue(J(kVendorWide), J(u"Text"), false).value), "ab");

  // The empty string is written with no bytes at all, and such a value reads as null.
  ASSERT_EQ(SetHKLMStringRegValue(J(kVendorWide), J(u"Text"), J(u""), false).value, 0);
  EXPECT_TRUE(winhost::GetRegistryValue(View::k64, kVendorKey, "Text")->data.empty());
  EXPECT_EQ(winhost::JournalOf("RegSetValueExW").back().Arg("size"), "0");
  EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), J(u"Text"), false).value, std::nullopt);
}

TEST_F(RegistryValuesTest, IntegersAreFourLittleEndianBytesOfRegSz) {
  const std::pair<int, std::vector<uint8_t>> cases[] = {
      {1, Bytes({0x01, 0x00, 0x00, 0x00})},
      {-1, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
      {0x00410042, Bytes({0x42, 0x00, 0x41, 0x00})},
  };
  for (const auto& [value, bytes] : cases) {
    ASSERT_EQ(SetHKLMIntRegValue(J(kVendorWide), J(u"Number"), value, false).value, 0);
    auto stored = winhost::GetRegistryValue(View::k64, kVendorKey, "Number");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, static_cast<uint32_t>(REG_SZ));
    EXPECT_EQ(stored->data, bytes);
  }
  // Read back as text: the bytes are UTF-16 units up to the first zero unit.
  EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), J(u"Number"), false).value, std::u16string(u"BA"));
  SetHKLMIntRegValue(J(kVendorWide), J(u"Number"), 1, false);
  EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), J(u"Number"), false).value, std::u16string(u"\u0001"));
  SetHKLMIntRegValue(J(kVendorWide), J(u"Number"), 0, false);
  EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), J(u"Number"), false).value, std::u16string(u""));
}

TEST_F(RegistryValuesTest, ValuesOfAnyTypeAndShapeAreReadAsBoundedText) {
  const struct {
    uint32_t type;
    std::vector<uint8_t> data;
    std::u16string text;
  } cases[] = {
      {REG_DWORD, Bytes({0x01, 0x00, 0x00, 0x00}), u"\u0001"},
      {REG_SZ, Bytes({'h', 0, 'i', 0, 0, 0}), u"hi"},
      {REG_MULTI_SZ, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}), u"a"},
      // No terminator, and odd sizes: nothing past the value's bytes is taken.
      {REG_BINARY, Bytes({'A', 0, 'B', 0}), u"AB"},
      {REG_BINARY, Bytes({'A', 0, 'B'}), u"AB"},
      {REG_BINARY, Bytes({'A'}), u"A"},
      {REG_BINARY, Bytes({0x3A, 0x26, 0x3B, 0x26, 0x3C}), u"\u263A\u263B<"},
  };
  for (const auto& c : cases) {
    winhost::SetRegistryValue(View::k64, kVendorKey, "Data", {c.type, c.data});
    EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), J(u"Data"), false).value, c.text) << "type " << c.type;
  }
  // A long value without a terminator is read whole, and the second read asks for its exact size.
  std::vector<uint8_t> large(4097, 'z');
  winhost::SetRegistryValue(View::k64, kVendorKey, "Data", {REG_BINARY, large});
  winhost::ClearJournal();
  auto text = GetHKLMStringRegValue(J(kVendorWide), J(u"Data"), false).value;
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->size(), 2049u);
  auto queries = winhost::JournalOf("RegQueryValueExW");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].Arg("buffer"), "null");
  EXPECT_EQ(queries[0].Arg("size"), "0");
  EXPECT_EQ(queries[1].Arg("size"), "4097");
}

TEST_F(RegistryValuesTest, MissingKeysValuesAndFailedReadsGiveNull) {
  EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE\\Nowhere"), J(u"Name"), true).value, std::nullopt);
  EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), J(u"Absent"), false).value, std::nullopt);
  // The value changes between the size query and the read: no text, not an empty one.
  winhost::SetRegistryString(View::k64, kVendorKey, "Name", u"value");
  winhost::ClearJournal();
  winhost::Fail("RegQueryValueExW", ERROR_MORE_DATA, 1);
  auto raced = GetHKLMStringRegValue(J(kVendorWide), J(u"Name"), false);
  EXPECT_TRUE(raced.ok());
  EXPECT_EQ(raced.value, std::nullopt);
  EXPECT_EQ(winhost::JournalOf("RegCloseKey").size(), 1u);
}

TEST_F(RegistryValuesTest, WritersReportWhyTheKeyCouldNotBeOpened) {
  const auto keysBefore = winhost::RegistryKeys();
  EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE\\Vendor\\Sub"), J(u"v"), J(u"x"), true).value, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetHKLMIntRegValue(J(u"SOFTWARE\\Nope"), J(u"v"), 1, false).value, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(winhost::RegistryKeys(), keysBefore) << "a writer created a key";
  EXPECT_TRUE(winhost::JournalOf("RegSetValueExW").empty());

  // The status of the last attempt is the one reported.
  winhost::Fail("RegOpenKeyExW", ERROR_ACCESS_DENIED, 0, true);
  EXPECT_EQ(SetHKLMStringRegValue(J(kVendorWide), J(u"v"), J(u"x"), true).value, ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetHKLMIntRegValue(J(kVendorWide), J(u"v"), 1, false).value, ERROR_ACCESS_DENIED);
  winhost::ClearFaults();
  // A first attempt refused for any reason is followed by the second.
  winhost::Fail("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetHKLMIntRegValue(J(kVendorWide), J(u"v"), 1, true).value, 0);
  EXPECT_TRUE(winhost::GetRegistryValue(View::k64, kVendorKey, "v").has_value());

  // The write's own status comes back, and the key is still closed.
  winhost::Fail("RegSetValueExW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(SetHKLMStringRegValue(J(kVendorWide), J(u"v"), J(u"x"), false).value, ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(RegistryValuesTest, NullArgumentsAreRefusedBeforeAnythingIsDone) {
  const std::pair<Outcome<int>, const char*> writes[] = {
      {SetHKLMStringRegValue(std::nullopt, J(u"v"), J(u"x"), false), "keyPath must not be null"},
      {SetHKLMStringRegValue(J(kVendorWide), std::nullopt, J(u"x"), false), "valueName must not be null"},
      {SetHKLMStringRegValue(J(kVendorWide), J(u"v"), std::nullopt, false), "value must not be null"},
      {SetHKLMIntRegValue(std::nullopt, J(u"v"), 1, false), "keyPath must not be null"},
      {SetHKLMIntRegValue(J(kVendorWide), std::nullopt, 1, false), "valueName must not be null"},
  };
  for (const auto& [outcome, message] : writes) {
    EXPECT_EQ(outcome.Failure(), std::string("NullPointerException: ") + message);
    EXPECT_EQ(outcome.value, 0);
  }
  EXPECT_EQ(GetHKLMStringRegValue(std::nullopt, J(u"v"), true).Failure(),
            "NullPointerException: keyPath must not be null");
  EXPECT_EQ(GetHKLMStringRegValue(J(kVendorWide), std::nullopt, true).Failure(),
            "NullPointerException: valueName must not be null");
  EXPECT_TRUE(winhost::Journal().empty());
}

}  // namespace
