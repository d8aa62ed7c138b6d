// Runs the command-line tool as a user does: a child `java -jar quentrel.jar ...` with -Xcheck:jni
// and no LD_LIBRARY_PATH, on the library of LibraryFolder() (the host the test's world needs),
// which the JVM finds on java.library.path before the copy in the jar.
#pragma once

#include <string>
#include <vector>

#include "harness/tool/json.h"

namespace tooltest {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  // stdout parsed as JSON; a test failure when it is not valid JSON.
  JsonValue Json() const;
};

// `jvmOptions` go before -jar (system properties); `environment` entries (NAME=VALUE) are added to
// the child's. A run whose options name java.library.path or quentrel.native.dir gets no library
// folder of the harness's: it is a run of the jar's own loader. Fails the test on a JNI warning.
ToolRun RunTool(const std::vector<std::string>& args, const std::vector<std::string>& jvmOptions = {},
                const std::vector<std::string>& environment = {});

// The folder of the library the tests run on, for runs that put it on java.library.path.
std::string LibraryFolder();

// The section of a --json report with that name (the first one), or a test failure.
const JsonValue& SectionNamed(const JsonValue& report, const std::string& name);

// A new empty folder for the test, removed with its content by RemoveTree.
std::string MakeTempFolder();
void RemoveTree(const std::string& path);
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace tooltest
