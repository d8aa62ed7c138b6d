// The command-line tool, run as a user runs it: a child `java -jar quentrel.jar`, on the simulated
// host's default world (or, for the tests of its loader, on the copy of the library in the jar).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness/tool/tool.h"

namespace tooltest {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> SectionNames(const JsonValue& report) {
  std::vector<std::string> names;
  for (const auto& section : report["sections"].items) names.push_back(section["name"].text);
  return names;
}

TEST(ToolCommandLine, WrongCommandsAndArgumentsExitTwoWithAShortUsage) {
  const std::vector<std::vector<std::string>> wrong = {
      {"frob"},
      {"--bogus"},
      {"sid"},
      {"member", "WINHOST\\appuser"},
      {"paths", "a", "b"},
      {"host", "extra"},
      {"doctor", "--bogus"},
      {"doctor", "--group"},
      {"negotiate", "--flags", "ten"},
      {"negotiate", "--flags", "0x1FFFFFFFF"},
      {"reg"},
      {"reg", "delete", "SOFTWARE", "v"},
      {"reg", "get", "SOFTWARE"},
      {"reg", "set", "SOFTWARE", "v"},
      {"reg", "set-int", "SOFTWARE", "v", "1.5"},
      {"reg", "get", "SOFTWARE", "v", "--view64=yes"},
      {"help", "frob"},
  };
  for (const auto& args : wrong) {
    std::string line;
    for (const auto& arg : args) line += arg + " ";
    SCOPED_TRACE(line);
    ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, "usage: java -jar quentrel.jar")) << run.err;
    EXPECT_TRUE(Contains(run.err, "--help' for more.")) << run.err;
    // Short: what is wrong, the usage and where to read more, not the whole help.
    EXPECT_LE(std::count(run.err.begin(), run.err.end(), '\n'), 5) << run.err;
  }
}

TEST(ToolCommandLine, NumbersAndOptionsAreReadAsDocumented) {
  // Negative numbers are arguments, not options; 0x hexadecimal up to 32 bits is accepted; "--"
  // ends the options, so a text that starts with a dash can be written.
  EXPECT_NE(RunTool({"reg", "set-int", "SOFTWARE", "v", "-1"}).exitCode, 2);
  EXPECT_NE(RunTool({"reg", "set-int", "SOFTWARE", "v", "0xFFFFFFFF"}).exitCode, 2);
  EXPECT_NE(RunTool({"reg", "set", "SOFTWARE", "v", "--", "--text"}).exitCode, 2);
  EXPECT_NE(RunTool({"negotiate", "--flags=0x10", "--package=NTLM"}).exitCode, 2);
  EXPECT_EQ(RunTool({"reg", "set", "SOFTWARE", "v", "--text"}).exitCode, 2);
}

TEST(ToolCommandLine, HelpForTheToolAndForEachCommand) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"help"}}) {
    ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    for (const char* command : {"doctor [--package NAME]", "negotiate [--package NAME] [--target SPN] [--flags N]",
                                "sid NAME...", "member ACCOUNT GROUP...", "reg get KEY VALUE [--view64]",
                                "reg set KEY VALUE TEXT [--view64]", "reg set-int KEY VALUE N [--view64]",
                                "paths [FILE]", "host", "--json", "quentrel.native.dir"}) {
      EXPECT_TRUE(Contains(run.out, command)) << command << " missing from\n" << run.out;
    }
  }
  // A command's own help, however it is asked for, even with arguments that would be wrong.
  ToolRun sid = RunTool({"sid", "--help"});
  EXPECT_EQ(sid.exitCode, 0);
  EXPECT_TRUE(Contains(sid.out, "usage: java -jar quentrel.jar [--json] sid NAME...")) << sid.out;
  ToolRun reg = RunTool({"help", "reg"});
  EXPECT_EQ(reg.exitCode, 0);
  EXPECT_TRUE(Contains(reg.out, "reg set-int KEY VALUE N [--view64]")) << reg.out;
  EXPECT_EQ(RunTool({"reg", "get", "--help"}).out, reg.out);
  ToolRun doctor = RunTool({"--help", "doctor"});
  EXPECT_TRUE(Contains(doctor.out, "Loopback authentication")) << doctor.out;
}

TEST(ToolLibrary, TheJarLoadsTheLibraryItCarriesAndLeavesNothingBehind) {
  std::string folder = MakeTempFolder();
  ToolRun run = RunTool({"--json", "negotiate", "--package", "NoSuchPackage"}, {"-Dquentrel.native.dir=" + folder});
  // The package's refusal comes from the native code, so the library did load and run.
  JsonValue report = run.Json();
  EXPECT_EQ(SectionNamed(report, "loopback")["error"].text, "WinAuthException: Platform error: 80090305");
  EXPECT_TRUE(ListFolder(folder).empty());
  JsonValue doctor = RunTool({"--json"}, {"-Dquentrel.native.dir=" + folder}).Json();
  EXPECT_EQ(SectionNamed(doctor, "library")["source"].text, "the copy in the jar");
  EXPECT_TRUE(SectionNamed(doctor, "library")["ok"].boolean);
  EXPECT_TRUE(ListFolder(folder).empty());
  RemoveTree(folder);
}

TEST(ToolLibrary, AFolderThatCannotBeUsedFailsTheLoadWithAClearMessage) {
  ToolRun run = RunTool({}, {"-Dquentrel.native.dir=/nonexistent/quentrel"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.out, "Native library: FAILED: UnsatisfiedLinkError: cannot make a folder for the native "
                                "library under /nonexistent/quentrel"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "-Dquentrel.native.dir=FOLDER")) << run.out;
  // Every other section says it did not run, rather than failing on its own.
  EXPECT_TRUE(Contains(run.out, "Host names: FAILED: not run: the native library did not load")) << run.out;
  EXPECT_TRUE(Contains(run.out, "Process user: FAILED: not run: the native library did not load")) << run.out;
  EXPECT_TRUE(Contains(run.out, "doctor: 11 of 11 sections FAILED")) << run.out;
}

TEST(ToolLibrary, ALibraryOnJavaLibraryPathWinsOverThePackedCopy) {
  // Extraction would fail here; the library on the path is loaded without trying it.
  ToolRun run = RunTool({"--json", "negotiate", "--package", "NoSuchPackage"},
                        {"-Djava.library.path=" + LibraryFolder(), "-Dquentrel.native.dir=/nonexistent/quentrel"});
  EXPECT_EQ(SectionNamed(run.Json(), "loopback")["error"].text, "WinAuthException: Platform error: 80090305");
  ToolRun doctor = RunTool({}, {"-Djava.library.path=" + LibraryFolder(), "-Dquentrel.native.dir=/nonexistent/quentrel"});
  EXPECT_TRUE(Contains(doctor.out, "Native library: OK\n")) << doctor.out;
  EXPECT_TRUE(Contains(doctor.out, "  loaded from: " + LibraryFolder() + "/libquentrel.so\n")) << doctor.out;
}

TEST(ToolReport, AFailingSectionFailsTheRunAndSaysWhatFailed) {
  ToolRun text = RunTool({"doctor", "--package", "NoSuchPackage"});
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_TRUE(Contains(text.out, "Native library: OK\n")) << text.out;
  EXPECT_TRUE(Contains(text.out, "Loopback authentication: FAILED: WinAuthException: Platform error: 80090305\n"
                                 "  package: NoSuchPackage\n"))
      << text.out;
  EXPECT_TRUE(Contains(text.out, "Process user: FAILED: not run: the loopback authentication did not name the "
                                 "process user"))
      << text.out;
  EXPECT_TRUE(Contains(text.out, "sections FAILED: ")) << text.out;

  ToolRun json = RunTool({"doctor", "--package", "NoSuchPackage", "--json"});
  EXPECT_EQ(json.exitCode, 1);
  JsonValue report = json.Json();
  EXPECT_FALSE(report["ok"].boolean);
  const JsonValue& loopback = SectionNamed(report, "loopback");
  EXPECT_FALSE(loopback["ok"].boolean);
  EXPECT_EQ(loopback["exception"].text, "com.tarvex.pelk.quentrel.WinAuthException");
  EXPECT_EQ(loopback["package"].text, "NoSuchPackage");
  EXPECT_EQ(loopback["flags"].number, 0x81e);
}

TEST(ToolReport, TheDoctorsJsonHasEverySectionInOrderAndItsExitCodeFollowsThem) {
  ToolRun run = RunTool({"--json"});
  JsonValue report = run.Json();
  EXPECT_EQ(report["command"].text, "doctor");
  EXPECT_EQ(SectionNames(report), (std::vector<std::string>{"library", "hostNames", "domainController", "productPaths",
                                                           "loopback", "processUser"}));
  bool all = true;
  for (const auto& section : report["sections"].items) {
    EXPECT_EQ(section["title"].kind, JsonValue::Kind::String);
    ASSERT_EQ(section["ok"].kind, JsonValue::Kind::Bool);
    // A failed section says why; a passed one has no error.
    EXPECT_EQ(section.Has("error"), !section["ok"].boolean) << section["name"].text;
    all = all && section["ok"].boolean;
  }
  EXPECT_EQ(report["ok"].boolean, all);
  EXPECT_EQ(run.exitCode, all ? 0 : 1);
}

TEST(ToolReport, TextTakenFromTheUserIsEscapedInJsonAndShownInText) {
  const std::string tab = "tab\there", quoted = "quote\"back\\slash/", control = std::string("bell\a");
  ToolRun json = RunTool({"--json", "sid", tab, quoted, control});
  JsonValue report = json.Json();
  ASSERT_EQ(report["sections"].items.size(), 3u);
  EXPECT_EQ(report["sections"][0]["account"].text, tab);
  EXPECT_EQ(report["sections"][1]["account"].text, quoted);
  EXPECT_EQ(report["sections"][2]["account"].text, control);
  // People see control characters as escapes, so one fact stays one line.
  ToolRun text = RunTool({"sid", tab});
  EXPECT_TRUE(Contains(text.out, "SID of tab\\u0009here: FAILED")) << text.out;
  EXPECT_TRUE(Contains(text.out, "  name: tab\\u0009here\n")) << text.out;
  ToolRun member = RunTool({"member", "WINHOST\\appuser", tab});
  EXPECT_TRUE(Contains(member.out, "  member of tab\\u0009here: no group of that name\n")) << member.out;
}

std::vector<std::string> Legs(const JsonValue& loopback) {
  std::vector<std::string> legs;
  for (const auto& leg : loopback["legs"].items) {
    legs.push_back(leg["from"].text + "->" + leg["to"].text);
    EXPECT_GT(leg["bytes"].number, 0) << "an empty token was carried";
  }
  return legs;
}

TEST(ToolLoopback, EveryShapeOfExchangeIsCarriedToTheEndAndProtectsMessagesBothWays) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> legs;
  };
  const std::vector<Case> cases = {
      // Three legs: the client finishes with a last token for the server.
      {{"--package", "Negotiate"}, {"client->server", "server->client", "client->server"}},
      {{"--package", "NTLM", "--flags", "0"}, {"client->server", "server->client", "client->server"}},
      // Mutual authentication: the server finishes with a token the client still needs.
      {{"--package", "Kerberos"}, {"client->server", "server->client"}},
      // One leg: the client is established by its first step.
      {{"--package", "Kerberos", "--flags", "0x10"}, {"client->server"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--json", "negotiate"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " " + c.args[3] : ""));
    JsonValue report = RunTool(args).Json();
    const JsonValue& loopback = SectionNamed(report, "loopback");
    EXPECT_EQ(Legs(loopback), c.legs);
    for (const char* direction : {"clientToServer", "serverToClient"}) {
      EXPECT_TRUE(loopback[direction]["intact"].boolean) << direction;
      EXPECT_GT(loopback[direction]["wrappedBytes"].number, loopback[direction]["bytes"].number) << direction;
    }
    EXPECT_GT(loopback["clientMaxTokenSize"].number, 0);
    EXPECT_EQ(loopback["clientMaxTokenSize"].number, loopback["serverMaxTokenSize"].number);
  }
}

TEST(ToolLoopback, TheTextReportShowsEachLegAndEachAnswer) {
  ToolRun run = RunTool({"negotiate", "--package", "Kerberos"});
  EXPECT_TRUE(Contains(run.out, "  package: Kerberos\n  requested flags: 0x0000081e\n  leg 1: client -> server, "))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "  leg 2: server -> client, ")) << run.out;
  EXPECT_FALSE(Contains(run.out, "  leg 3:")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  client maximum token size: 48000\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  wrap and unwrap, server -> client: ")) << run.out;
  EXPECT_TRUE(Contains(run.out, " wrapped, intact\n")) << run.out;
}

TEST(ToolHost, HostShowsTheNamesAndTheDomainControllerCheckWithItsMeaning) {
  ToolRun text = RunTool({"host"});
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_EQ(text.out,
            "Host names: OK\n"
            "  NetBIOS name: WINHOST\n"
            "  fully qualified DNS name: winhost.example.test\n"
            "Domain controller: OK\n"
            "  check code: 1355 ERROR_NO_SUCH_DOMAIN (the domain does not exist or can't be contacted)\n");
  ToolRun json = RunTool({"host", "--json"});
  EXPECT_EQ(json.exitCode, 0);
  JsonValue report = json.Json();
  EXPECT_TRUE(report["ok"].boolean);
  EXPECT_EQ(SectionNamed(report, "hostNames")["netbiosName"].text, "WINHOST");
  EXPECT_EQ(SectionNamed(report, "hostNames")["fullyQualifiedName"].text, "winhost.example.test");
  const JsonValue& dc = SectionNamed(report, "domainController");
  EXPECT_EQ(dc["code"].number, 1355);
  EXPECT_EQ(dc["codeName"].text, "ERROR_NO_SUCH_DOMAIN");
  EXPECT_EQ(dc["meaning"].text, "the domain does not exist or can't be contacted");
}

TEST(ToolHost, PathsShowsNoInstallPathAndCreatesTheAppDataFolders) {
  std::string base = MakeTempFolder();
  const std::vector<std::string> env = {"WINHOST_COMMON_APPDATA=" + base};
  ToolRun folder = RunTool({"paths", "--json"}, {}, env);
  EXPECT_EQ(folder.exitCode, 0);
  JsonValue report = folder.Json();
  const JsonValue& paths = SectionNamed(report, "productPaths");
  EXPECT_TRUE(paths["installPath"].IsNull());
  EXPECT_EQ(paths["appDataPath"].text, base + "/Tarvex/Tarvex Quorvane");
  EXPECT_EQ(ListFolder(base + "/Tarvex"), std::vector<std::string>{"Tarvex Quorvane"});

  ToolRun file = RunTool({"paths", "server.log"}, {}, env);
  EXPECT_EQ(file.exitCode, 0);
  EXPECT_TRUE(Contains(file.out, "  install path: none (the product's registry key or its InstallPath value is "
                                 "missing)\n  app-data file: " + base + "/Tarvex/Tarvex Quorvane/server.log\n"))
      << file.out;
  RemoveTree(base);
}

TEST(ToolHost, AnAppDataFolderThatCannotBeMadeFailsPathsAndTheDoctor) {
  // A file where the first product folder belongs.
  std::string base = MakeTempFolder();
  FILE* blocker = fopen((base + "/Tarvex").c_str(), "w");
  ASSERT_NE(blocker, nullptr);
  fclose(blocker);
  const std::vector<std::string> env = {"WINHOST_COMMON_APPDATA=" + base};
  ToolRun paths = RunTool({"paths"}, {}, env);
  EXPECT_EQ(paths.exitCode, 1);
  EXPECT_TRUE(Contains(paths.out, "Product paths: FAILED: WinException: Failed to resolve common app data path\n"
                                  "  install path: none"))
      << paths.out;
  ToolRun doctor = RunTool({"--json"}, {}, env);
  EXPECT_EQ(doctor.exitCode, 1);
  JsonValue report = doctor.Json();
  EXPECT_FALSE(report["ok"].boolean);
  EXPECT_EQ(SectionNamed(report, "productPaths")["exception"].text, "com.tarvex.pelk.quentrel.WinException");
  // The other sections do not depend on it.
  EXPECT_TRUE(SectionNamed(report, "hostNames")["ok"].boolean);
  RemoveTree(base);
}

TEST(ToolRegistry, WritesReadBackAndMissingKeysFail) {
  // Each run is a new process, so the registry starts from the default world every time.
  ToolRun text = RunTool({"--json", "reg", "set", "SOFTWARE", "Greeting", "hello there"});
  EXPECT_EQ(text.exitCode, 0);
  JsonValue report = text.Json();
  const JsonValue& written = SectionNamed(report, "registry");
  EXPECT_EQ(written["key"].text, "HKEY_LOCAL_MACHINE\\SOFTWARE");
  EXPECT_EQ(written["status"].number, 0);
  EXPECT_EQ(written["readBack"].text, "hello there");

  // 0x00690048 is stored as the bytes 48 00 69 00, which read as "Hi"; 1 reads as U+0001.
  ToolRun hi = RunTool({"--json", "reg", "set-int", "SOFTWARE", "Number", "0x00690048", "--view64"});
  EXPECT_EQ(SectionNamed(hi.Json(), "registry")["readBack"].text, "Hi");
  EXPECT_TRUE(SectionNamed(hi.Json(), "registry")["view64"].boolean);
  ToolRun one = RunTool({"reg", "set-int", "SOFTWARE", "Number", "1"});
  EXPECT_TRUE(Contains(one.out, "  reads back as: \\u0001\n")) << one.out;

  ToolRun missingKey = RunTool({"reg", "set", "SOFTWARE\\No Such Key", "v", "x"});
  EXPECT_EQ(missingKey.exitCode, 1);
  EXPECT_TRUE(Contains(missingKey.out, "Registry write: FAILED: the value was not written: Windows error 2 "
                                       "ERROR_FILE_NOT_FOUND\n"))
      << missingKey.out;
  ToolRun missingValue = RunTool({"--json", "reg", "get", "SOFTWARE", "NoSuchValue"});
  EXPECT_EQ(missingValue.exitCode, 1);
  JsonValue readReport = missingValue.Json();
  const JsonValue& read = SectionNamed(readReport, "registry");
  EXPECT_FALSE(read["ok"].boolean);
  EXPECT_TRUE(read["text"].IsNull());
}

TEST(ToolAccounts, SidResolvesEachNameAndFailsForANameNoAccountBears) {
  ToolRun run = RunTool({"--json", "sid", "BUILTIN\\Administrators", "Users", "NoSuchAccount"});
  EXPECT_EQ(run.exitCode, 1);
  JsonValue report = run.Json();
  ASSERT_EQ(report["sections"].items.size(), 3u);
  EXPECT_EQ(report["sections"][0]["sid"].text, "S-1-5-32-544");
  EXPECT_TRUE(report["sections"][0]["ok"].boolean);
  EXPECT_EQ(report["sections"][1]["sid"].text, "S-1-5-32-545");
  EXPECT_FALSE(report["sections"][2]["ok"].boolean);
  EXPECT_TRUE(report["sections"][2]["sid"].IsNull());
  EXPECT_EQ(report["sections"][2]["error"].text, "no account, group or alias of that name can be found");

  ToolRun text = RunTool({"sid", "BUILTIN\\Administrators"});
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_EQ(text.out, "SID of BUILTIN\\Administrators: OK\n  name: BUILTIN\\Administrators\n  SID: S-1-5-32-544\n");
}

TEST(ToolAccounts, MemberAnswersForEachGroupAndAnUnknownGroupFailsWithoutHidingTheOthers) {
  ToolRun run = RunTool({"--json", "member", "WINHOST\\appuser", "BUILTIN\\Users", "NoSuchGroup",
                         "BUILTIN\\Administrators"});
  EXPECT_EQ(run.exitCode, 1);
  JsonValue report = run.Json();
  const JsonValue& membership = SectionNamed(report, "membership");
  EXPECT_EQ(membership["account"].text, "WINHOST\\appuser");
  EXPECT_EQ(membership["error"].text, "GroupNotFoundException: no group is named NoSuchGroup");
  const JsonValue& answers = membership["memberships"];
  ASSERT_EQ(answers.items.size(), 3u);
  EXPECT_EQ(answers[0]["group"].text, "BUILTIN\\Users");
  EXPECT_TRUE(answers[0]["member"].boolean);
  EXPECT_TRUE(answers[1]["member"].IsNull());
  EXPECT_EQ(answers[2]["member"].kind, JsonValue::Kind::Bool);
  EXPECT_FALSE(answers[2]["member"].boolean);

  ToolRun ok = RunTool({"member", "WINHOST\\appuser", "BUILTIN\\Users"});
  EXPECT_EQ(ok.exitCode, 0);
  EXPECT_TRUE(Contains(ok.out, "Groups of WINHOST\\appuser: OK\n  account: WINHOST\\appuser\n"
                               "  member of BUILTIN\\Users: yes\n"))
      << ok.out;
}

TEST(ToolAccounts, AnAccountThatCannotHaveAUserContextFailsWithTheLibrarysReason) {
  ToolRun unknown = RunTool({"member", "WINHOST\\nobody", "BUILTIN\\Users"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_TRUE(Contains(unknown.out, "Groups of WINHOST\\nobody: FAILED: UserNotFoundException: no account is named "
                                    "WINHOST\\nobody\n"))
      << unknown.out;
  ToolRun local = RunTool({"member", "appuser", "BUILTIN\\Users"});
  EXPECT_EQ(local.exitCode, 1);
  EXPECT_TRUE(Contains(local.out, "Groups of appuser: FAILED: WinAuthException: Local users not allowed\n"))
      << local.out;
}

// The report on the system world, registered on its own with the machine that nss_wrapper and
// uid_wrapper show: host quentrel-system-host, the process as root, no Kerberos realm, so the
// loopback says what it lacks and does not fail.
TEST(ToolSystemWorld, DoctorReportsTheMachinesOwnAccountsNamesAndDomain) {
  std::string base = MakeTempFolder();
  ToolRun text = RunTool({"doctor"}, {}, {"WINHOST_COMMON_APPDATA=" + base});
  for (const std::string& line : std::vector<std::string>
       {"  world: system (", "  security packages: Kerberos, Negotiate (SPNEGO over Kerberos)",
        "  NetBIOS name: QUENTREL-SYSTEM\n",
        "  fully qualified DNS name: quentrel-system-host.example.test\n",
        "Domain controller: OK\n  check code: 1355 ERROR_NO_SUCH_DOMAIN",
        "Loopback authentication: OK\n  missing: no default realm: /dev/null names none; ",
        "Process user: OK\n  account: QUENTREL-SYSTEM\\root\n  SID: S-1-22-1-0\n",
        "  member of BUILTIN\\Users: yes\n  member of BUILTIN\\Administrators: yes\n"}) {
    EXPECT_TRUE(Contains(text.out, line)) << "missing: " << line << "\nin:\n" << text.out;
  }
  RemoveTree(base);
}

TEST(ToolDoctor, OnTheDefaultWorldEverySectionPasses) {
  std::string base = MakeTempFolder();
  const std::vector<std::string> env = {"WINHOST_COMMON_APPDATA=" + base};
  ToolRun text = RunTool({"doctor"}, {}, env);
  EXPECT_EQ(text.exitCode, 0) << text.out;
  for (const std::string& line : std::vector<std::string>
       {"Native library: OK\n", "  loaded from: " + LibraryFolder() + "/libquentrel.so\n", "  world: simulated (",
        "Host names: OK\n",
        "  NetBIOS name: WINHOST\n",
        "Domain controller: OK\n  check code: 1355 ERROR_NO_SUCH_DOMAIN", "Product paths: OK\n",
        "  app-data folder: " + base + "/Tarvex/Tarvex Quorvane\n", "Loopback authentication: OK\n",
        "  package: Negotiate\n", "  leg 3: client -> server, ", "  established client name: appuser\n",
        "  impersonation: started and stopped\n", "  server context report:\n    Type: server\n    State: success\n",
        "    User name: WINHOST\\appuser\n", "Process user: OK\n  account: WINHOST\\appuser\n  SID: S-1-5-21-",
        "  member of BUILTIN\\Users: yes\n  member of BUILTIN\\Administrators: no\n",
        "\ndoctor: all 6 sections OK\n"}) {
    EXPECT_TRUE(Contains(text.out, line)) << "missing: " << line << "\nin:\n" << text.out;
  }

  ToolRun json = RunTool({"doctor", "--json"}, {}, env);
  EXPECT_EQ(json.exitCode, 0);
  JsonValue report = json.Json();
  EXPECT_TRUE(report["ok"].boolean);
  for (const auto& section : report["sections"].items) EXPECT_TRUE(section["ok"].boolean) << section["name"].text;
  const JsonValue& loopback = SectionNamed(report, "loopback");
  EXPECT_EQ(loopback["clientName"].text, "appuser");
  EXPECT_TRUE(loopback["impersonation"].boolean);
  EXPECT_EQ(loopback["serverReport"][0].text, "Type: server");
  EXPECT_EQ(loopback["serverAttributes"].number, 0x1e);
  const JsonValue& user = SectionNamed(report, "processUser");
  EXPECT_EQ(user["account"].text, "WINHOST\\appuser");
  EXPECT_EQ(user["sid"].text.rfind("S-1-5-21-", 0), 0u) << user["sid"].text;
  EXPECT_TRUE(user["memberships"][0]["member"].boolean);
  EXPECT_FALSE(user["memberships"][1]["member"].boolean);
  RemoveTree(base);
}

TEST(ToolDoctor, AGroupNoOneHasFailsOnlyTheProcessUser) {
  std::string base = MakeTempFolder();
  ToolRun run = RunTool({"doctor", "--json", "--group", "BUILTIN\\Administrators", "--group", "No Such Group"}, {},
                        {"WINHOST_COMMON_APPDATA=" + base});
  EXPECT_EQ(run.exitCode, 1);
  JsonValue report = run.Json();
  for (const auto& section : report["sections"].items) {
    EXPECT_EQ(section["ok"].boolean, section["name"].text != "processUser") << section["name"].text;
  }
  const JsonValue& user = SectionNamed(report, "processUser");
  EXPECT_EQ(user["error"].text, "GroupNotFoundException: no group is named No Such Group");
  EXPECT_EQ(user["memberships"].items.size(), 2u);
  EXPECT_FALSE(user["memberships"][0]["member"].boolean);
  RemoveTree(base);
}

TEST(ToolDoctor, NegotiateShowsBothContextReports) {
  ToolRun run = RunTool({"negotiate", "--package", "Kerberos", "--target", "HTTP/winhost.example.test"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(Contains(run.out, "  target: HTTP/winhost.example.test\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  client context report:\n    Type: client\n    State: success\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  server context report:\n    Type: server\n    State: success\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "    SSP package name: Kerberos\n")) << run.out;
}

}  // namespace
}  // namespace tooltest
