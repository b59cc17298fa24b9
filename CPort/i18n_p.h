// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// Translation of the library's texts through glibc's gettext. The domains,
// the catalog directory and the language selection live here only.
#pragma once

#include <string>

namespace CPort::I18n {

// Binds the "default" and "cport" domains to the catalog directory and picks
// the user's language. Runs once on first use; call again after changing the
// environment (LANG, LANGUAGE, LC_ALL, LC_MESSAGES) or the directory.
void Initialise();

// Looks a text up in "default" first, then in "cport"; the first lookup that
// changes the text wins. An untranslated text comes back unchanged.
std::string Translate(const char* msgid);

// Catalogs live under <dir>/<lang>/LC_MESSAGES/<domain>.mo. By default <dir>
// is "locale" beside the running executable when that exists, else the
// installed catalogs (<prefix>/share/locale).
std::string CatalogDirectory();
void SetCatalogDirectory(const std::string& directory);

}  // namespace CPort::I18n
