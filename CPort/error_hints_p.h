// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// The advice EComPort::Hint gives for the common failures, built from facts
// gathered about the system. The builders take the facts as arguments so
// that every variant can be checked without arranging the system for it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

namespace CPort::Detail {

// Replaces each "{name}" in a (translated) pattern with its value. Unknown
// or unclosed braces stay as they are: a translation is data and must never
// make the substitution read something that is not there.
std::string FillPlaceholders(const std::string& pattern,
                             const std::vector<std::pair<std::string, std::string>>& values);

// What is known about the user who was refused a device (EACCES).
struct AccessFacts {
  std::string user;             // the user's login name
  bool processInGroup = false;  // this process already has the device's group
  bool userInGroup = false;     // the user is a member of it (a new login has it)
};
// The advice for a device whose ownership and mode are `st`: join the group
// that may use it, log in again after having joined, or, when the group may
// not use it either, that only the owner may. Empty when the process has the
// group already (joining would not help then).
std::string AccessHint(const std::string& path, const struct stat& st, const AccessFacts& facts);
AccessFacts AccessFactsFor(gid_t group);

// A process that has a device open.
struct Holder {
  int pid = 0;
  std::string command;
};
// The processes under `procRoot` with a descriptor open on `path` (or on what
// it links to). `incomplete` tells whether some processes could not be
// looked at (other users' processes, for a user who is not root).
std::vector<Holder> FindHolders(const std::string& path, bool& incomplete, const std::string& procRoot = "/proc");
// The advice for a device in use: who holds it, or why no one was found.
std::string BusyHint(const std::string& path, const std::vector<Holder>& holders, bool incomplete);

// The advice for a port that does not exist: the ports that do.
std::string MissingHint(const std::string& path, const std::vector<std::string>& ports);

}  // namespace CPort::Detail
