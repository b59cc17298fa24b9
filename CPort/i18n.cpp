#include "CPort/i18n_p.h"

#include <dlfcn.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace CPort::I18n {
namespace {

constexpr const char* kDomains[] = {"default", "cport"};

struct State {
  std::mutex mutex;
  std::string directory;
  bool initialised = false;
  bool languageSetHere = false;  // LANGUAGE was set by the fallback below
};

State& GetState() {
  static State state;
  return state;
}

std::string ExecutableDirectory() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string s(path);
  const auto slash = s.rfind('/');
  return slash == std::string::npos ? "." : s.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Catalogs beside the program win: a build tree, or a program shipped with a
// locale/ directory of its own. Otherwise the installed catalogs: first
// relative to this library's own file, so that an installation that was
// moved still finds them, then where the library was built to be installed.
std::string DefaultDirectory() {
  const std::string beside = ExecutableDirectory() + "/locale";
  if (IsDirectory(beside)) return beside;
#ifdef CPORT_LIB_TO_LOCALEDIR
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&DefaultDirectory), &info) != 0 && info.dli_fname != nullptr) {
    const std::string library = info.dli_fname;
    const auto slash = library.rfind('/');
    if (slash != std::string::npos) {
      const std::string installed = library.substr(0, slash) + "/" + CPORT_LIB_TO_LOCALEDIR;
      if (IsDirectory(installed)) return installed;
    }
  }
#endif
#ifdef CPORT_INSTALLED_LOCALEDIR
  if (IsDirectory(CPORT_INSTALLED_LOCALEDIR)) return CPORT_INSTALLED_LOCALEDIR;
#endif
  return beside;
}

const char* Env(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}

// The language the user asked for, in POSIX precedence.
std::string RequestedLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* v = Env(name)) return v;
  return {};
}

bool IsPlainC(const std::string& locale) {
  return locale.empty() || locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0;
}

// Picks the message language. When the user's locale is not generated on this
// machine glibc stays in "C", where gettext never translates; then fall back
// to C.UTF-8 and hand the language to gettext through LANGUAGE, so that LANG
// still picks the catalog.
void SelectLanguage(State& state) {
  if (state.languageSetHere) {
    ::unsetenv("LANGUAGE");
    state.languageSetHere = false;
  }
  const std::string requested = RequestedLocale();
  const char* chosen = std::setlocale(LC_MESSAGES, "");
  const bool generated = chosen && !IsPlainC(chosen);
  if (generated || IsPlainC(requested)) return;
  std::setlocale(LC_MESSAGES, "C.UTF-8");
  if (!Env("LANGUAGE")) {
    const std::string language = requested.substr(0, requested.find_first_of(".@"));
    ::setenv("LANGUAGE", language.c_str(), 1);
    state.languageSetHere = true;
  }
}

void InitialiseLocked(State& state) {
  if (state.directory.empty()) state.directory = DefaultDirectory();
  SelectLanguage(state);
  for (const char* domain : kDomains) {
    ::bindtextdomain(domain, state.directory.c_str());
    ::bind_textdomain_codeset(domain, "UTF-8");
  }
  // gettext caches its answers per locale; touching the locale category
  // again makes it drop them after an environment change.
  const std::string current = std::setlocale(LC_MESSAGES, nullptr);
  std::setlocale(LC_MESSAGES, current.c_str());
  state.initialised = true;
}

}  // namespace

void Initialise() {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  InitialiseLocked(state);
}

std::string Translate(const char* msgid) {
  State& state = GetState();
  {
    std::lock_guard lock(state.mutex);
    if (!state.initialised) InitialiseLocked(state);
  }
  for (const char* domain : kDomains) {
    const char* translated = ::dgettext(domain, msgid);
    if (translated != msgid && std::strcmp(translated, msgid) != 0) return translated;
  }
  return msgid;
}

std::string CatalogDirectory() {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  if (state.directory.empty()) state.directory = DefaultDirectory();
  return state.directory;
}

void SetCatalogDirectory(const std::string& directory) {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  state.directory = directory;
  InitialiseLocked(state);
}

}  // namespace CPort::I18n
