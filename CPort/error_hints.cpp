// EComPort::Hint and the advice it gives for the common failures.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/PortList.h"
#include "CPort/error_hints_p.h"
#include "CPort/i18n_p.h"
#include "CPort/platform/in_process_devices_p.h"

namespace CPort::Detail {

namespace {

// The buffer size the passwd and group lookups ask for; they answer ERANGE
// when it is too small, and we grow it.
std::size_t LookupBufferSize(int name) {
  const long size = ::sysconf(name);
  return size > 0 ? static_cast<std::size_t>(size) : 1024;
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(LookupBufferSize(_SC_GETGR_R_SIZE_MAX));
  for (;;) {
    group entry{};
    group* found = nullptr;
    const int error = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    return (error == 0 && found != nullptr) ? std::string(found->gr_name) : std::to_string(gid);
  }
}

bool UserEntry(uid_t uid, std::string& name, gid_t& primaryGroup) {
  std::vector<char> buffer(LookupBufferSize(_SC_GETPW_R_SIZE_MAX));
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return false;
    name = found->pw_name;
    primaryGroup = found->pw_gid;
    return true;
  }
}

std::string UserName(uid_t uid) {
  std::string name;
  gid_t primary = 0;
  return UserEntry(uid, name, primary) ? name : std::to_string(uid);
}

// "crw-rw----", as ls shows it.
std::string ModeText(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : S_ISBLK(mode) ? "b" : "-";
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? letters[bit] : '-';
  return text;
}

std::string Translated(const char* msgid, const std::vector<std::pair<std::string, std::string>>& values) {
  return FillPlaceholders(I18n::Translate(msgid), values);
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

}  // namespace

std::string FillPlaceholders(const std::string& pattern,
                             const std::vector<std::pair<std::string, std::string>>& values) {
  std::string out;
  std::size_t i = 0;
  while (i < pattern.size()) {
    if (pattern[i] == '{') {
      const std::size_t close = pattern.find('}', i + 1);
      if (close != std::string::npos) {
        const std::string name = pattern.substr(i + 1, close - i - 1);
        bool replaced = false;
        for (const auto& [key, value] : values) {
          if (key == name) {
            out += value;
            replaced = true;
            break;
          }
        }
        if (replaced) {
          i = close + 1;
          continue;
        }
      }
    }
    out += pattern[i++];
  }
  return out;
}

AccessFacts AccessFactsFor(gid_t group) {
  AccessFacts facts;
  gid_t primary = 0;
  if (!UserEntry(::geteuid(), facts.user, primary)) facts.user = std::to_string(::geteuid());
  facts.processInGroup = ::getegid() == group;
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i)
      facts.processInGroup = facts.processInGroup || groups[static_cast<std::size_t>(i)] == group;
  }
  // The groups a new login of this user would have.
  int listed = 64;
  std::vector<gid_t> userGroups(static_cast<std::size_t>(listed));
  if (::getgrouplist(facts.user.c_str(), primary, userGroups.data(), &listed) < 0 && listed > 0) {
    userGroups.resize(static_cast<std::size_t>(listed));
    if (::getgrouplist(facts.user.c_str(), primary, userGroups.data(), &listed) < 0) listed = 0;
  }
  for (int i = 0; i < listed; ++i)
    facts.userInGroup = facts.userInGroup || userGroups[static_cast<std::size_t>(i)] == group;
  return facts;
}

std::string AccessHint(const std::string& path, const struct stat& st, const AccessFacts& facts) {
  const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (!groupMayUse)
    return Translated("Only its owner \"{owner}\" may open {device} (permissions {mode}).",
                      {{"owner", UserName(st.st_uid)}, {"device", path}, {"mode", ModeText(st.st_mode)}});
  // Already in the group: the refusal has another cause, and joining would
  // not help.
  if (facts.processInGroup) return {};
  const std::string group = GroupName(st.st_gid);
  if (facts.userInGroup)
    return Translated(
        "Your user joined the group \"{group}\", which may open {device}, after this session began. Log in again "
        "(or start a shell with \"newgrp {group}\").",
        {{"group", group}, {"device", path}});
  return Translated(
      "Only members of the group \"{group}\" may open {device}. Add your user to it with \"sudo usermod -aG {group} "
      "{user}\", then log in again.",
      {{"group", group}, {"device", path}, {"user", facts.user}});
}

std::string BusyHint(const std::string& path, const std::vector<Holder>& holders, bool incomplete) {
  if (!holders.empty()) {
    std::vector<std::string> names;
    for (const Holder& holder : holders) names.push_back(holder.command + " (PID " + std::to_string(holder.pid) + ")");
    return Translated("{device} is in use by {processes}.", {{"device", path}, {"processes", Joined(names)}});
  }
  if (incomplete)
    return Translated(
        "{device} is in use by a program that could not be identified; it may belong to another user "
        "(\"sudo fuser -v {device}\" names it).",
        {{"device", path}});
  return Translated("{device} is in use, but no program on this system has it open.", {{"device", path}});
}

std::string MissingHint(const std::string& path, const std::vector<std::string>& ports) {
  if (ports.empty())
    return Translated("There is no port {device}, and no serial ports were found.", {{"device", path}});
  return Translated("There is no port {device}. Ports present: {ports}.", {{"device", path}, {"ports", Joined(ports)}});
}

}  // namespace CPort::Detail

namespace CPort {

namespace {

// The device file a port name opens, as the platform layer resolves it;
// empty for a virtual device.
std::string DevicePath(const std::string& name, bool& isVirtual) {
  std::string plain = name;
  const std::string prefix = "\\\\.\\";
  if (plain.rfind(prefix, 0) == 0) plain.erase(0, prefix.size());
  isVirtual = Platform::IsVirtualDeviceName(plain);
  if (isVirtual) return {};
  return plain.front() == '/' ? plain : "/dev/" + plain;
}

std::string HintFor(const std::string& device, int error) {
  bool isVirtual = false;
  const std::string path = DevicePath(device, isVirtual);
  switch (error) {
    case EACCES: {
      struct stat st {};
      if (isVirtual || ::stat(path.c_str(), &st) != 0) return {};
      return Detail::AccessHint(path, st, Detail::AccessFactsFor(st.st_gid));
    }
    case EBUSY: {
      if (isVirtual)
        return Detail::FillPlaceholders(I18n::Translate("{device} is already open in this program."),
                                        {{"device", device}});
      bool incomplete = false;
      const auto holders = Detail::FindHolders(path, incomplete);
      return Detail::BusyHint(path, holders, incomplete);
    }
    case ENOENT: {
      if (isVirtual) return {};
      std::vector<std::string> ports;
      try {
        ListSerialPorts(ports);
      } catch (const EComPort&) {
        return {};  // no list to offer
      }
      return Detail::MissingHint(path, ports);
    }
    default:
      return {};
  }
}

}  // namespace

std::string EComPort::Hint() const {
  if (!device_ || device_->empty()) return {};
  try {
    return HintFor(*device_, osErrorCode_);
  } catch (...) {
    // Advice is an extra; failing to find it must not hide the error itself.
    return {};
  }
}

}  // namespace CPort
