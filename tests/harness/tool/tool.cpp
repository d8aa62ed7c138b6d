#include "harness/tool/tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace tooltest {
namespace {

std::string Setting(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    ADD_FAILURE() << name << " is not set; run the tests through ctest";
    return "";
  }
  return value;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string TempFile() {
  char name[] = "/tmp/quentrel-tool-test-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  return name;
}

}  // namespace

JsonValue ToolRun::Json() const {
  std::string error;
  auto value = ParseJson(out, &error);
  if (!value) {
    ADD_FAILURE() << "stdout is not JSON (" << error << "):\n" << out;
    return JsonValue();
  }
  return *value;
}

ToolRun RunTool(const std::vector<std::string>& args, const std::vector<std::string>& jvmOptions,
                const std::vector<std::string>& environment) {
  std::vector<std::string> argv = {Setting("QUENTREL_TOOL_JAVA"), "-Xcheck:jni", "-XX:TieredStopAtLevel=1",
                                   "-XX:+UseSerialGC"};
  bool ownLoader = false;
  for (const std::string& option : jvmOptions)
    ownLoader = ownLoader || option.rfind("-Djava.library.path=", 0) == 0 || option.rfind("-Dquentrel.native.dir=", 0) == 0;
  if (!ownLoader) argv.push_back("-Djava.library.path=" + LibraryFolder());
  argv.insert(argv.end(), jvmOptions.begin(), jvmOptions.end());
  argv.push_back("-jar");
  argv.push_back(Setting("QUENTREL_TOOL_JAR"));
  argv.insert(argv.end(), args.begin(), args.end());

  // The child sees the environment without LD_LIBRARY_PATH, which the JVM would add to
  // java.library.path.
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LD_LIBRARY_PATH=", 16) != 0) env.push_back(*entry);
  }
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> argvPointers, envPointers;
  for (auto& arg : argv) argvPointers.push_back(arg.data());
  argvPointers.push_back(nullptr);
  for (auto& entry : env) envPointers.push_back(entry.data());
  envPointers.push_back(nullptr);

  const std::string outPath = TempFile(), errPath = TempFile();
  ToolRun run;
  pid_t child = fork();
  if (child == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
    int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    execve(argvPointers[0], argvPointers.data(), envPointers.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    ADD_FAILURE() << "cannot run " << argv[0];
  } else if (WIFEXITED(status)) {
    run.exitCode = WEXITSTATUS(status);
  } else {
    ADD_FAILURE() << "the tool ended by signal " << WTERMSIG(status);
  }
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  for (const char* warning : {"WARNING in native method", "WARNING: JNI local refs", "Warning: Calling other JNI"}) {
    EXPECT_EQ(run.out.find(warning), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find(warning), std::string::npos) << run.err;
  }
  return run;
}

std::string LibraryFolder() { return Setting("QUENTREL_TOOL_LIBDIR"); }

const JsonValue& SectionNamed(const JsonValue& report, const std::string& name) {
  for (const auto& section : report["sections"].items) {
    if (section.Has("name") && section["name"].text == name) return section;
  }
  ADD_FAILURE() << "no section \"" << name << "\" in the report";
  static const JsonValue none;
  return none;
}

std::string MakeTempFolder() {
  char name[] = "/tmp/quentrel-tool-folder-XXXXXX";
  const char* made = mkdtemp(name);
  EXPECT_NE(made, nullptr);
  return made ? made : "";
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  for (const auto& name : ListFolder(path)) {
    std::string child = path + "/" + name;
    if (unlink(child.c_str()) != 0) RemoveTree(child);
  }
  rmdir(path.c_str());
}

}  // namespace tooltest
