// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// Translation of the library's texts through gettext message catalogs. The
// domains, the catalog directory and the language selection live here only.
//
// The catalogs are read by the library itself: choosing the language reads
// the environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) but never changes it
// or the process's locale, so it is safe beside threads that use either, and
// a lookup touches nothing but the loaded catalogs.
#pragma once

#include <string>

namespace CPort::I18n {

// Picks the user's language and loads the catalogs of the "default" and
// "cport" domains from the catalog directory. Runs once on first use; call
// again after changing the environment or the directory.
void Initialise();

// Looks a text up in "default" first, then in "cport"; the first lookup that
// changes the text wins. An untranslated text comes back unchanged. Safe on
// any thread, also while Initialise runs on another.
std::string Translate(const char* msgid);

// Catalogs live under <dir>/<lang>/LC_MESSAGES/<domain>.mo. By default <dir>
// is "locale" beside the running executable when that exists, else the
// installed catalogs (<prefix>/share/locale).
std::string CatalogDirectory();
void SetCatalogDirectory(const std::string& directory);

}  // namespace CPort::I18n
