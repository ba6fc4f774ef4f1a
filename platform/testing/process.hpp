// Runs another program of the build (a host app, a helper) and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace qm::testkit {

struct ProcessResult {
    int exitCode = -1;  // -1 when it could not start or did not exit normally
    std::string output; // standard output and standard error, interleaved
};

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace qm::testkit
