#pragma once

namespace dorvane {

// Adds the one traceback entry a failing call leaves: file "dorvane",
// function "<qualname> (dorvane:<line>)", the module's globals. Failures
// while building the entry are dropped; the exception being reported stays.
void add_traceback(const char* qualname, int line);

}  // namespace dorvane
