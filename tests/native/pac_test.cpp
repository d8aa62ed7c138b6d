// The PAC's logon information: the decoder against what a domain controller writes and against
// each kind of inconsistency, and the token a decoded PAC gives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

#include "common/sids.h"
#include "harness/pac/pac_encoder.h"
#include "system/kerberos/pac.h"
#include "system/directory/pac_account.h"

namespace {

using winhost::system::kerberos::DecodeLogonInfo;
using winhost::system::kerberos::LogonInfo;
using pactest::Encoded;
using pactest::SidOf;

std::optional<LogonInfo> Decode(const Encoded& encoded, std::string& failure) {
  const char* why = "";
  auto info = DecodeLogonInfo(encoded.bytes.data(), encoded.bytes.size(), &why);
  failure = why;
  return info;
}

struct Case {
  const char* name;
  std::function<void(LogonInfo&, pactest::Encoder&)> model;  // before encoding
  std::function<void(Encoded&)> spoil;                       // after encoding
  const char* failure;                                        // null: decodes to the model
};

void Same(LogonInfo&, pactest::Encoder&) {}
void Keep(Encoded&) {}
auto Set(const char* field, uint32_t value) {
  return [=](Encoded& e) { e.Set(field, value); };
}

TEST(PacLogonInfo, DecodesWhatADomainControllerWritesAndRefusesEachInconsistency) {
  const Case cases[] = {
      {"alice with every kind of group", Same, Keep, nullptr},
      {"no groups, extra SIDs or resource groups",
       [](LogonInfo& i, pactest::Encoder&) {
         i.groupIds.clear();
         i.extraSids.clear();
         i.resourceGroupDomainSid.clear();
         i.resourceGroupIds.clear();
         i.userFlags = 0;
       },
       Keep, nullptr},
      {"empty strings pointing at no characters", [](LogonInfo&, pactest::Encoder& e) { e.emptyStringsPointed = true; },
       Keep, nullptr},
      {"a resource domain without resource groups", [](LogonInfo& i, pactest::Encoder&) { i.resourceGroupIds.clear(); },
       Keep, nullptr},
      // The headers.
      {"serialization version 2", Same, Set("version", 2), "not version 1"},
      {"big-endian", Same, Set("endianness", 0), "not little-endian"},
      {"a common header of 16 bytes", Same, Set("commonLength", 16), "common header not of 8"},
      {"an object length off the 8-byte grid", Same,
       [](Encoded& e) { e.Set("objectLength", static_cast<uint32_t>(e.bytes.size() - 16 - 4)); }, "multiple of 8"},
      {"an object longer than the buffer", Same,
       [](Encoded& e) { e.Set("objectLength", static_cast<uint32_t>(e.bytes.size() - 16 + 8)); }, "longer than the buffer"},
      {"a buffer holding more than the object", Same, [](Encoded& e) { e.bytes.resize(e.bytes.size() + 8); },
       "bytes after the object"},
      {"an object holding more than the structure", Same,
       [](Encoded& e) {
         e.bytes.resize(e.bytes.size() + 8);
         e.Set("objectLength", static_cast<uint32_t>(e.bytes.size() - 16));
       },
       "left over"},
      {"a null top-level pointer", Same, Set("top", 0), "null pointer"},
      // Counted strings.
      {"an odd string length", Same, Set("effectiveName.length", 9), "odd"},
      {"a string longer than its maximum", Same, Set("effectiveName.maximumLength", 8), "longer than its maximum"},
      {"a string's maximum count disagreeing", Same, Set("effectiveName.maxCount", 6), "array counts disagree"},
      {"a string's offset not 0", Same, Set("logonDomainName.offset", 1), "array counts disagree"},
      {"a string's actual count disagreeing", Same, Set("fullName.actualCount", 12), "array counts disagree"},
      {"a string length with a null pointer", Same, Set("effectiveName.pointer", 0), "a length but no characters"},
      // Arrays.
      {"a group count beyond the array's size", Same, Set("groupCount", 4), "size disagrees with its count"},
      {"a huge group count and array size",
       Same,
       [](Encoded& e) {
         e.Set("groupCount", 0x20000000);
         e.Set("groupIds.maxCount", 0x20000000);
       },
       "runs past"},
      {"groups counted behind a null pointer", Same, Set("groupIds.pointer", 0), "counted but missing"},
      {"extra SIDs counted behind a null pointer", Same, Set("extraSids.pointer", 0), "counted but missing"},
      {"an extra SID count beyond the array's size", Same, Set("sidCount", 3), "size disagrees with its count"},
      {"an extra SID's null pointer", Same, Set("extraSid1.pointer", 0), "extra SID's pointer is null"},
      {"resource groups without their domain",
       [](LogonInfo& i, pactest::Encoder&) { i.resourceGroupDomainSid.clear(); }, Keep, "without their domain"},
      // SIDs.
      {"no logon domain SID", Same, Set("logonDomainId.pointer", 0), "no logon domain SID"},
      {"a SID of revision 2", Same, Set("logonDomainId.revision", 2), "revision"},
      {"a SID of 16 sub-authorities",
       Same,
       [](Encoded& e) {
         e.Set("extraSid0.count", 16);
         e.Set("extraSid0.maxCount", 16);
       },
       "more than 15"},
      {"a SID's size disagreeing with its count", Same, Set("resourceDomain.maxCount", 3), "sub-authority count"},
      {"a SID count running past the end", Same,
       [](Encoded& e) {
         e.Set("resourceDomain.count", 15);
         e.Set("resourceDomain.maxCount", 15);
       },
       "runs past"},
      // The names the client will bear.
      {"an empty effective name", [](LogonInfo& i, pactest::Encoder&) { i.effectiveName.clear(); }, Keep,
       "effective name"},
      {"a U+0000 in the effective name", [](LogonInfo& i, pactest::Encoder&) { i.effectiveName = std::u16string(u"al\0ce", 5); }, Keep,
       "effective name"},
      {"an unpaired surrogate in the domain name",
       [](LogonInfo& i, pactest::Encoder&) { i.logonDomainName = u"SAM\xD800" u"DOM"; }, Keep, "logon domain name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogonInfo model = pactest::Alice();
    pactest::Encoder encoder;
    c.model(model, encoder);
    Encoded encoded = encoder.Encode(model);
    c.spoil(encoded);
    std::string failure;
    const std::optional<LogonInfo> decoded = Decode(encoded, failure);
    if (c.failure == nullptr) {
      ASSERT_TRUE(decoded.has_value()) << failure;
      EXPECT_TRUE(*decoded == model);
    } else {
      EXPECT_FALSE(decoded.has_value());
      EXPECT_NE(failure.find(c.failure), std::string::npos) << "refused for: " << failure;
    }
  }
}

TEST(PacLogonInfo, EveryShorterObjectIsRefused) {
  Encoded whole = pactest::Encode(pactest::Alice());
  for (size_t length = 0; length + 16 < whole.bytes.size(); length += 8) {
    Encoded cut = whole;
    cut.bytes.resize(16 + length);
    cut.Set("objectLength", static_cast<uint32_t>(length));
    std::string failure;
    EXPECT_FALSE(Decode(cut, failure).has_value()) << "an object of " << length << " bytes";
  }
  for (size_t size = 0; size < 16; ++size) EXPECT_FALSE(DecodeLogonInfo(whole.bytes.data(), size).has_value());
}

// PACs a Samba domain controller issued (the fuzz target's seeds): alice in Engineers, in Staff
// through it and in the domain-local Printers; carol in Domain Users alone; dave a Domain Admin.
TEST(PacLogonInfo, DecodesTheLogonInformationOfARealDomainController) {
  struct Issued {
    const char* file;
    const char16_t* name;
    uint32_t userId;
    std::vector<uint32_t> groups;
  };
  const Issued issued[] = {{"samba-alice", u"alice", 1102, {513, 1106, 1107, 1108}},
                           {"samba-carol", u"carol", 1104, {513}},
                           {"samba-dave", u"dave", 1105, {513, 512, 572}}};
  for (const Issued& pac : issued) {
    SCOPED_TRACE(pac.file);
    std::ifstream file(std::string(QUENTREL_PAC_CORPUS) + "/" + pac.file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const char* failure = "";
    const std::optional<LogonInfo> info = DecodeLogonInfo(bytes.data(), bytes.size(), &failure);
    ASSERT_TRUE(info.has_value()) << failure;
    EXPECT_TRUE(info->effectiveName == pac.name && info->logonDomainName == u"SAMDOM");
    EXPECT_EQ(info->userId, pac.userId);
    EXPECT_EQ(info->primaryGroupId, 513u);
    std::vector<uint32_t> rids;
    for (const auto& group : info->groupIds) rids.push_back(group.rid);
    EXPECT_EQ(rids, pac.groups);
    ASSERT_EQ(info->extraSids.size(), 1u);  // the authentication authority's asserted identity
    EXPECT_EQ(info->extraSids[0].sid, SidOf("S-1-18-1"));
    EXPECT_EQ(info->userFlags & winhost::system::kerberos::kExtraSidsFlag, winhost::system::kerberos::kExtraSidsFlag);
    EXPECT_EQ(info->userAccountControl, 0x10u) << "USER_NORMAL_ACCOUNT, and delegable";
  }
}

// The token of a decoded PAC: which parts count, the aliases it earns, and what it may not grant.
TEST(PacToken, GroupsComeFromThePacFlagsAndTheConfiguredAdministratorGroups) {
  using winhost::system::GroupEntry;
  const std::string domain = "S-1-5-21-1000-2000-3000";
  struct Row {
    const char* name;
    std::function<void(LogonInfo&)> change;
    const char* adminGroups;  // QUENTREL_DOMAIN_ADMIN_GROUPS; null for unset
    std::vector<std::string> members;
    std::vector<std::string> nonMembers;
  };
  const Row rows[] = {
      {"alice", [](LogonInfo&) {}, nullptr,
       {"S-1-1-0", domain + "-513", domain + "-1105", "S-1-18-1", "S-1-5-21-9-9-9-1201", domain + "-1107", "S-1-5-32-545",
        "S-1-5-11"},
       {"S-1-5-32-544", domain + "-512"}},
      {"flags off: no extra SIDs, no resource groups", [](LogonInfo& i) { i.userFlags = 0; }, nullptr,
       {domain + "-1106", "S-1-5-32-545"},
       {"S-1-18-1", "S-1-5-21-9-9-9-1201", domain + "-1107"}},
      {"a Domain Admin", [](LogonInfo& i) { i.groupIds.push_back({512, 7}); }, nullptr, {"S-1-5-32-544"}, {}},
      {"a disabled Domain Admins entry", [](LogonInfo& i) { i.groupIds.push_back({512, 0}); }, nullptr, {},
       {"S-1-5-32-544", domain + "-512"}},
      {"an administrator group named by SID", [](LogonInfo&) {}, "S-1-5-21-9-9-9-1201", {"S-1-5-32-544"}, {}},
      {"an administrator group named as this computer's domain's", [](LogonInfo& i) { i.groupIds.push_back({512, 7}); },
       "domain admins", {"S-1-5-32-544"}, {}},
      {"another domain's Domain Admins and Domain Users are not this computer's",
       [](LogonInfo& i) {
         i.logonDomainId = SidOf("S-1-5-21-111-222-333");
         i.groupIds.push_back({512, 7});
       },
       nullptr, {"S-1-5-21-111-222-333-512", "S-1-5-21-111-222-333-513"}, {"S-1-5-32-544", "S-1-5-32-545"}},
      {"another domain's group named by SID lets its members in",
       [](LogonInfo& i) { i.logonDomainId = SidOf("S-1-5-21-111-222-333"); }, "S-1-5-21-111-222-333-513",
       {"S-1-5-32-544"}, {"S-1-5-32-545"}},
      {"no Domain Users: no BUILTIN\\Users",
       [](LogonInfo& i) {
         i.groupIds = {{1105, 7}};
         i.primaryGroupId = 1105;
       },
       nullptr, {domain + "-1105"}, {"S-1-5-32-545", domain + "-513"}},
      {"SIDs only this computer grants, offered by the PAC",
       [](LogonInfo& i) {
         // Authenticated Users disabled by the PAC stays this computer's, enabled.
         i.extraSids = {{SidOf("S-1-5-32-544"), 7}, {SidOf("S-1-22-1-0"), 7}, {SidOf("S-1-5-18"), 7},
                        {SidOf("S-1-5-11"), 0}};
         i.resourceGroupDomainSid = SidOf("S-1-5-32");
         i.resourceGroupIds = {{544, 7}};
       },
       "S-1-5-32-544", {"S-1-5-32-545", "S-1-5-11"}, {"S-1-5-32-544", "S-1-22-1-0", "S-1-5-18"}},
  };
  setenv("QUENTREL_DOMAIN_SID", domain.c_str(), 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.adminGroups ? setenv("QUENTREL_DOMAIN_ADMIN_GROUPS", row.adminGroups, 1) : unsetenv("QUENTREL_DOMAIN_ADMIN_GROUPS");
    LogonInfo logon = pactest::Alice();
    row.change(logon);
    const std::vector<GroupEntry> groups =
        winhost::system::directory::PacTokenGroups(logon, winhost::system::directory::LocalAliasMembers());
    auto enabled = [&groups](const std::string& text) {
      for (const GroupEntry& group : groups)
        if (group.sid == SidOf(text)) return (group.attributes & SE_GROUP_ENABLED) != 0;
      return false;
    };
    for (const std::string& sid : row.members) EXPECT_TRUE(enabled(sid)) << sid;
    for (const std::string& sid : row.nonMembers) EXPECT_FALSE(enabled(sid)) << sid;
  }
  unsetenv("QUENTREL_DOMAIN_ADMIN_GROUPS");
  unsetenv("QUENTREL_DOMAIN_SID");
}

// UPN_DNS_INFO as a controller writes it: lengths and offsets, flags, then the SAM name and SID.
std::vector<uint8_t> UpnDnsInfo(const std::u16string& upn, const std::u16string& dns, uint32_t flags,
                                const std::u16string& sam, const std::vector<uint8_t>& sid) {
  const bool extended = (flags & winhost::system::kerberos::kUpnSamNameAndSid) != 0;
  std::vector<uint8_t> out(extended ? 24 : 16, 0);
  auto put16 = [&out](size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
  };
  auto append = [&out, &put16](size_t field, const std::vector<uint8_t>& bytes) {
    put16(field, bytes.size());
    put16(field + 2, out.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  auto utf16 = [](const std::u16string& text) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
    return bytes;
  };
  for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(flags >> (8 * i));
  append(0, utf16(upn));
  append(4, utf16(dns));
  if (extended) {
    append(12, utf16(sam));
    append(16, sid);
  }
  return out;
}

// Whether a PAC may name its ticket's client and what it may carry across a trust.
TEST(PacTrust, ThePacMustNameItsTicketsClientAndStaysInsideItsOwnDomain) {
  using winhost::system::kerberos::DecodeUpnDnsInfo;
  using winhost::system::kerberos::kUpnSamNameAndSid;
  const LogonInfo alice = pactest::Alice();
  const auto aliceSid = *winhost::common::WithRid(alice.logonDomainId, alice.userId);
  struct Row {
    const char* name;
    std::string principal;
    std::vector<uint8_t> upn;  // empty: the PAC has no UPN_DNS_INFO
    bool named;
  };
  const Row rows[] = {
      {"alice's own ticket", "alice@SAMDOM.TEST", {}, true},
      {"the principal's case", "ALICE@SAMDOM.TEST", {}, true},
      {"another client's ticket", "dave@SAMDOM.TEST", {}, false},
      {"a longer name", "alicex@SAMDOM.TEST", {}, false},
      {"UPN_DNS_INFO that agrees",
       "alice@SAMDOM.TEST", UpnDnsInfo(u"alice@samdom.test", u"samdom.test", kUpnSamNameAndSid, u"alice", aliceSid), true},
      {"UPN_DNS_INFO without the SAM name", "alice@SAMDOM.TEST", UpnDnsInfo(u"alice@samdom.test", u"SAMDOM.TEST", 0, u"", {}),
       true},
      {"UPN_DNS_INFO of another domain", "alice@SAMDOM.TEST",
       UpnDnsInfo(u"alice@partner.test", u"PARTNER.TEST", 0, u"", {}), false},
      {"UPN_DNS_INFO of another account",
       "alice@SAMDOM.TEST", UpnDnsInfo(u"dave@samdom.test", u"SAMDOM.TEST", kUpnSamNameAndSid, u"dave", aliceSid), false},
      {"UPN_DNS_INFO with another SID", "alice@SAMDOM.TEST",
       UpnDnsInfo(u"alice@samdom.test", u"SAMDOM.TEST", kUpnSamNameAndSid, u"alice", SidOf("S-1-5-21-1000-2000-3000-500")),
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<winhost::system::kerberos::UpnDnsInfo> upn;
    if (!row.upn.empty()) {
      upn = DecodeUpnDnsInfo(row.upn.data(), row.upn.size());
      ASSERT_TRUE(upn.has_value());
    }
    EXPECT_EQ(winhost::system::kerberos::PacNameRefusal(alice, upn, row.principal) == nullptr, row.named);
  }

  // A buffer whose parts leave it, or whose SID does not hold together, is no UPN_DNS_INFO.
  const std::vector<uint8_t> whole =
      UpnDnsInfo(u"alice@samdom.test", u"SAMDOM.TEST", kUpnSamNameAndSid, u"alice", aliceSid);
  for (size_t size = 0; size < whole.size(); ++size)
    EXPECT_FALSE(DecodeUpnDnsInfo(whole.data(), size).has_value()) << size << " bytes";
  std::vector<uint8_t> badSid = whole;
  badSid[whole.size() - aliceSid.size() + 1] = 3;  // fewer sub-authorities than its length holds
  EXPECT_FALSE(DecodeUpnDnsInfo(badSid.data(), badSid.size()).has_value());
  std::vector<uint8_t> nul = UpnDnsInfo(u"alice@samdom.test", u"SAMDOM.TEST", kUpnSamNameAndSid, std::u16string(u"alice\0x", 7), aliceSid);
  EXPECT_FALSE(DecodeUpnDnsInfo(nul.data(), nul.size()).has_value());

  // Across a trust: never this computer's domain's SID; only the PAC's own domain's groups.
  const auto home = SidOf("S-1-5-21-7-8-9");
  LogonInfo partner = alice;  // its extra SIDs: S-1-18-1 and S-1-5-21-9-9-9-1201
  partner.extraSids.push_back({SidOf("S-1-5-21-7-8-9-512"), 7});
  partner.extraSids.push_back({*winhost::common::WithRid(alice.logonDomainId, 1300), 7});
  EXPECT_FALSE(winhost::system::directory::FilteredAcrossTrust(partner, std::nullopt, false).has_value());
  LogonInfo claimsHome = partner;
  claimsHome.logonDomainId = home;
  EXPECT_FALSE(winhost::system::directory::FilteredAcrossTrust(claimsHome, home, true).has_value());
  const auto filtered = winhost::system::directory::FilteredAcrossTrust(partner, home, false);
  ASSERT_TRUE(filtered.has_value());
  std::vector<std::string> kept;
  for (const auto& entry : filtered->extraSids) kept.push_back(winhost::common::SidText(entry.sid));
  EXPECT_EQ(kept, (std::vector<std::string>{"S-1-18-1", "S-1-5-21-1000-2000-3000-1300"}));
  EXPECT_EQ(filtered->resourceGroupIds.empty(), alice.resourceGroupDomainSid != alice.logonDomainId);
  EXPECT_EQ(winhost::system::directory::FilteredAcrossTrust(partner, home, true)->extraSids.size(), partner.extraSids.size());
}

}  // namespace

namespace {

using winhost::system::kerberos::DecodePacBuffers;
using winhost::system::kerberos::PacBuffers;

std::vector<uint8_t> CorpusFile(const char* name) {
  std::ifstream file(std::string(QUENTREL_PAC_CORPUS) + "/" + name, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A PAC of the given buffers, each at the next multiple of 8, as a KDC lays one out.
std::vector<uint8_t> Pac(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& buffers) {
  size_t offset = 8 + 16 * buffers.size();
  std::vector<uint8_t> pac(offset);
  Put32(pac, 0, static_cast<uint32_t>(buffers.size()));
  for (size_t i = 0; i < buffers.size(); ++i) {
    Put32(pac, 8 + 16 * i, buffers[i].first);
    Put32(pac, 12 + 16 * i, static_cast<uint32_t>(buffers[i].second.size()));
    Put32(pac, 16 + 16 * i, static_cast<uint32_t>(offset));
    pac.insert(pac.end(), buffers[i].second.begin(), buffers[i].second.end());
    pac.resize((pac.size() + 7) / 8 * 8);
    offset = pac.size();
  }
  return pac;
}

}  // namespace

// A real domain controller's PAC lists its buffers and signatures; the requestor (issued to whom)
// must be the logon information's user, and a table that does not hold together is refused.
TEST(PacBuffers, ListsSignaturesChecksTheRequestorAndRefusesABrokenTable) {
  const char* failure = "";
  const std::vector<uint8_t> samba = CorpusFile("alice-pac");
  std::optional<PacBuffers> real = DecodePacBuffers(samba.data(), samba.size(), &failure);
  ASSERT_TRUE(real.has_value()) << failure;
  EXPECT_EQ(real->types, (std::vector<uint32_t>{1, 10, 12, 6, 7, 16, 19}));
  EXPECT_EQ(winhost::system::kerberos::SignaturesText(*real),
            "signatures present: server, KDC, ticket, full PAC; checked here: server (with the service's key); not "
            "checkable here: KDC, ticket, full PAC (the domain's krbtgt key; only a DC holds it)");

  const std::vector<uint8_t> logonBytes = CorpusFile("samba-alice");
  const std::optional<LogonInfo> alice = DecodeLogonInfo(logonBytes.data(), logonBytes.size());
  ASSERT_TRUE(alice.has_value());
  const std::vector<uint8_t> aliceSid = *winhost::common::WithRid(alice->logonDomainId, alice->userId);
  const std::vector<uint8_t> daveSid = *winhost::common::WithRid(alice->logonDomainId, 1105);
  const std::vector<uint8_t> attributes = {1, 0, 0, 0, 1, 0, 0, 0};
  struct Case {
    const char* what;
    std::vector<uint8_t> pac;
    const char* failure;   // null: decodes
    bool requestorMatches;
  };
  std::vector<uint8_t> misaligned = Pac({{18, aliceSid}});
  Put32(misaligned, 16, 28);
  std::vector<uint8_t> beyond = Pac({{18, aliceSid}});
  Put32(beyond, 12, 4096);
  std::vector<uint8_t> version1 = Pac({{1, logonBytes}});
  Put32(version1, 4, 1);
  const Case cases[] = {
      {"issued to alice", Pac({{1, logonBytes}, {17, attributes}, {18, aliceSid}}), nullptr, true},
      {"issued to dave", Pac({{1, logonBytes}, {18, daveSid}}), nullptr, false},
      {"no requestor (a KDC before 2021)", Pac({{1, logonBytes}, {6, std::vector<uint8_t>(16)}}), nullptr, true},
      {"a requestor that is no SID", Pac({{18, {1, 5, 0}}}), "a requestor that is not one SID", true},
      {"a requestor twice", Pac({{18, aliceSid}, {18, daveSid}}), "a buffer type appears twice", true},
      {"attributes without flags", Pac({{17, {0, 0, 0, 0}}}), "attributes without flags", true},
      {"a buffer at an odd offset", misaligned, "a buffer lies outside the PAC", true},
      {"a buffer past the end", beyond, "a buffer lies outside the PAC", true},
      {"more buffers than bytes", std::vector<uint8_t>{200, 0, 0, 0, 0, 0, 0, 0}, "more buffers than the PAC holds", true},
      {"version 1", version1, "not version 0", true},
      {"no bytes", {}, "shorter than its header", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    failure = "";
    std::optional<PacBuffers> decoded = DecodePacBuffers(c.pac.data(), c.pac.size(), &failure);
    if (c.failure != nullptr) {
      EXPECT_FALSE(decoded.has_value());
      EXPECT_STREQ(failure, c.failure);
      continue;
    }
    ASSERT_TRUE(decoded.has_value()) << failure;
    EXPECT_EQ(winhost::system::kerberos::RequestorMatches(*decoded, *alice), c.requestorMatches);
    // The logon information is read out of the whole PAC where its table says it lies.
    if (const auto place = decoded->Find(winhost::system::kerberos::kLogonInfoBuffer)) {
      EXPECT_EQ(std::vector<uint8_t>(c.pac.begin() + place->offset, c.pac.begin() + place->offset + place->length),
                logonBytes);
    }
  }
  const auto realLogon = real->Find(winhost::system::kerberos::kLogonInfoBuffer);
  ASSERT_TRUE(realLogon.has_value());
  EXPECT_TRUE(DecodeLogonInfo(samba.data() + realLogon->offset, realLogon->length).has_value());
  EXPECT_FALSE(real->Find(winhost::system::kerberos::kRequestorBuffer).has_value());
  std::vector<uint8_t> withAttributes = Pac({{17, attributes}});
  EXPECT_EQ(DecodePacBuffers(withAttributes.data(), withAttributes.size())->attributes,
            winhost::system::kerberos::kPacWasRequested);
}
