// The account-name rules over names recorded at load; each test arranges this computer's names
// before the library is loaded, in a process of its own.
#include "userauth/support.h"

using userauth_test::Strip;
using userauth_test::W;

namespace {

std::string Member(int handle, const std::string& group) {
  auto answer = api::userauth::IsGroupMember(handle, W(group));
  if (!answer.ok()) return answer.Failure();
  return answer.value ? "yes" : "no";
}

int Create(const std::string& name) {
  auto created = api::userauth::CreateUserContext(W(name));
  EXPECT_TRUE(created.ok()) << name << ": " << created;
  return created.value;
}

// On a computer MYHOST (DNS host name myhost) that belongs to the domain CORP.
TEST(FreshNameRules, ExampleTablesHold) {
  winhost::SetComputerNames({"MYHOST", "myhost", "corp.example"});
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "alice");
  winhost::AddUser("CORP", "member");
  winhost::AddGroup("CORP", "Domain Admins");
  winhost::AddAlias("MYHOST", "Helpdesk");
  for (const char* group : {"CORP\\Domain Admins", "MYHOST\\Helpdesk", "BUILTIN\\Administrators"})
    winhost::AddMember(group, "CORP\\member");
  jvm::PackageClass("UserAuth");

  const std::pair<std::u16string, std::u16string> stripped[] = {
      {u"MYHOST\\alice", u"alice"},
      {u"Builtin\\Administrators", u"Administrators"},
      {u"\\alice", u"alice"},
      {u"CORP\\alice", u"CORP\\alice"},
      {u"alice", u"alice"},
      {u"alice@corp.example", u"alice@corp.example"},
      {u"MYHOST\\ops\\alice", u"ops\\alice"},
      {u"MYHOST\\", u""},
      {u"MYHOST01\\alice", u"MYHOST01\\alice"},
  };
  for (auto& [name, result] : stripped) EXPECT_EQ(Strip(name), result) << winhost::Narrow(name);

  int member = Create("CORP\\member");
  const std::pair<const char*, const char*> resolved[] = {
      {"Administrators", "yes"},
      {"\\Administrators", "yes"},
      {"builtin\\Administrators", "yes"},
      {"Helpdesk", "yes"},
      {"MYHOST\\Helpdesk", "yes"},
      {"CORP\\Domain Admins", "yes"},
      {"corp\\Domain Admins", "yes"},
      {"Domain Admins", "GroupNotFoundException: "},
      {"CORP\\alice", "GroupNotFoundException: "},
      {"Everyone", "GroupNotFoundException: "},
      {"CORP\\nosuchgroup", "GroupNotFoundException: "},
  };
  for (auto& [name, answer] : resolved) EXPECT_EQ(Member(member, name), answer) << name;
  api::userauth::FreeHandle(member);
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

// A host name with accented letters whose NetBIOS name is cut short, and a built-in domain that the
// system calls by another word.
TEST(FreshNameRules, NamesComeFromTheSystemAndOnlyAsciiLettersFold) {
  const std::string netbios = "\xC3\x89T\xC3\x89-SRV-LONGNAM";  // ÉTÉ-SRV-LONGNAM
  const std::string host = "\xC3\xA9t\xC3\xA9-srv-longname";    // été-srv-longname
  winhost::SetComputerNames({netbios, host, ""});
  winhost::SetBuiltinDomainName("VORDEFINIERT");
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "carol");
  winhost::AddAlias(netbios, "Helpdesk");
  winhost::AddMember(netbios + "\\Helpdesk", "CORP\\carol");
  winhost::AddMember("VORDEFINIERT\\Administrators", "CORP\\carol");
  jvm::PackageClass("UserAuth");

  // The DNS host name matches with A-Z folded, and nothing else folded.
  EXPECT_EQ(Strip(winhost::Wide(host + "\\alice")), u"alice");
  EXPECT_EQ(Strip(winhost::Wide("\xC3\xA9t\xC3\xA9-SRV-LONGNAME\\alice")), u"alice");
  const std::string upperAccents = "\xC3\x89T\xC3\x89-SRV-LONGNAME\\alice";
  EXPECT_EQ(Strip(winhost::Wide(upperAccents)), winhost::Wide(upperAccents));
  // The NetBIOS name is not this computer's name for these rules.
  EXPECT_EQ(Strip(winhost::Wide(netbios + "\\alice")), winhost::Wide(netbios + "\\alice"));
  // The built-in domain goes by the name the system reports for it.
  EXPECT_EQ(Strip(u"vordefiniert\\Users"), u"Users");
  EXPECT_EQ(Strip(u"BUILTIN\\Users"), u"BUILTIN\\Users");

  int carol = Create("CORP\\carol");
  // Unqualified, the local alias reports the NetBIOS name as its domain, which is not the host name.
  EXPECT_EQ(Member(carol, "Helpdesk"), "GroupNotFoundException: ");
  EXPECT_EQ(Member(carol, netbios + "\\Helpdesk"), "yes");
  EXPECT_EQ(Member(carol, "\xC3\x89T\xC3\x89-srv-longnam\\Helpdesk"), "yes");
  // The lookup ignores the accents' case, but the qualifier must match what it reports.
  EXPECT_EQ(Member(carol, "\xC3\xA9t\xC3\xA9-srv-longnam\\Helpdesk"), "GroupNotFoundException: ");
  EXPECT_EQ(Member(carol, "Administrators"), "yes");
  EXPECT_EQ(Member(carol, "Vordefiniert\\Administrators"), "yes");
  EXPECT_EQ(Member(carol, "BUILTIN\\Administrators"), "GroupNotFoundException: ");
  EXPECT_EQ(Utf8(api::userauth::GetUserSID(W("VORDEFINIERT\\Administrators")).value), "S-1-5-32-544");
  api::userauth::FreeHandle(carol);
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

}  // namespace
