// Runs the command-line tool inside the test JVM, against a stand-in world the test has set up:
// the failures a separate process cannot be given (a refused host query, a package's odd answer)
// and the objects the tool leaves held afterwards.
#pragma once

#include <string>
#include <vector>

#include "harness/tool/json.h"

namespace report {

struct InProcessRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  // stdout parsed as JSON; a test failure when it is not valid JSON.
  tooltest::JsonValue Json() const;
};

// Main.run(args, out, err) of the tool, with both streams captured.
InProcessRun RunInProcess(const std::vector<std::string>& args);

}  // namespace report
