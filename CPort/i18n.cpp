#include "CPort/i18n_p.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CPort/message_catalog_p.h"
#include "CPort/platform/module_paths_p.h"

namespace CPort::I18n {
namespace {

// Searched in this order.
constexpr const char* kDomains[] = {"default", "cport"};
constexpr std::size_t kDomainCount = std::size(kDomains);

struct State {
  std::mutex mutex;
  std::string directory;
  bool initialised = false;
  std::optional<MessageCatalog> catalogs[kDomainCount];
};

State& GetState() {
  static State state;
  return state;
}

// Catalogs beside the program win: a build tree, or a program shipped with a
// locale/ directory of its own. Otherwise the installed catalogs: first
// relative to this library's own file, so that an installation that was
// moved still finds them, then where the library was built to be installed.
std::string DefaultDirectory() {
  const std::string beside = ExecutableDirectory() + "/locale";
  if (IsDirectory(beside)) return beside;
#ifdef CPORT_LIB_TO_LOCALEDIR
  const std::string library = LibraryDirectory();
  if (!library.empty()) {
    const std::string installed = library + "/" + CPORT_LIB_TO_LOCALEDIR;
    if (IsDirectory(installed)) return installed;
  }
#endif
#ifdef CPORT_INSTALLED_LOCALEDIR
  if (IsDirectory(CPORT_INSTALLED_LOCALEDIR)) return CPORT_INSTALLED_LOCALEDIR;
#endif
  return beside;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// The languages to look for, in order, as gettext chooses them: the messages
// locale (LC_ALL, else LC_MESSAGES, else LANG, else the system's own choice
// where it has one apart from the environment); none for the plain C locale;
// otherwise the colon-separated LANGUAGE list when one is given, else the
// locale's own name. The locale need not be generated on this machine.
std::vector<std::string> RequestedLanguages() {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = Env(name);
    if (!locale.empty()) break;
  }
  if (locale.empty()) locale = SystemLanguage();
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::vector<std::string> languages;
  const std::string list = Env("LANGUAGE");
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) languages.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  if (languages.empty()) languages.push_back(locale);
  return languages;
}

// "de_DE.UTF-8@euro" is looked for as itself, then with fewer parts, down to
// "de".
std::vector<std::string> NameVariants(const std::string& name) {
  const auto at = name.find('@');
  const std::string modifier = at == std::string::npos ? "" : name.substr(at);
  const std::string base = name.substr(0, at);
  const auto dot = base.find('.');
  const std::string territoryPart = base.substr(0, dot);
  const std::string language = territoryPart.substr(0, territoryPart.find('_'));
  std::vector<std::string> variants;
  for (const std::string& v : {name, territoryPart + modifier, base, territoryPart, language + modifier, language})
    if (!v.empty() && std::find(variants.begin(), variants.end(), v) == variants.end()) variants.push_back(v);
  return variants;
}

std::optional<MessageCatalog> FindCatalog(const std::string& directory, const std::vector<std::string>& languages,
                                          const char* domain) {
  for (const auto& language : languages) {
    for (const auto& variant : NameVariants(language)) {
      auto catalog = MessageCatalog::Load(directory + "/" + variant + "/LC_MESSAGES/" + domain + ".mo");
      if (catalog) return catalog;
    }
  }
  return std::nullopt;
}

void InitialiseLocked(State& state) {
  if (state.directory.empty()) state.directory = DefaultDirectory();
  const std::vector<std::string> languages = RequestedLanguages();
  for (std::size_t i = 0; i < kDomainCount; ++i) state.catalogs[i] = FindCatalog(state.directory, languages, kDomains[i]);
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
  std::lock_guard lock(state.mutex);
  if (!state.initialised) InitialiseLocked(state);
  const std::string key = msgid;
  for (const auto& catalog : state.catalogs) {
    if (!catalog) continue;
    if (const std::string* translated = catalog->Find(key); translated && *translated != key) return *translated;
  }
  return key;
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
