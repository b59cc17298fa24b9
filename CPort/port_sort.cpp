#include "CPort/port_sort_p.h"

#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>
#include <cstddef>
#include <new>

namespace CPort::Detail {

namespace {

// The user's locale, opened from the environment without touching the
// process-wide locale (which the program may have set for other reasons). An
// environment naming a locale that is not installed falls back to "C".
class UserLocale {
 public:
  UserLocale() {
    handle_ = newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (handle_ == static_cast<locale_t>(nullptr))
      handle_ = newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    // "C" is always there, so only a lack of memory ends here.
    if (handle_ == static_cast<locale_t>(nullptr)) throw std::bad_alloc();
  }
  ~UserLocale() { freelocale(handle_); }
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;
  locale_t Get() const { return handle_; }

 private:
  locale_t handle_;
};

// The name as wide characters in the locale's encoding, folded to lower case.
// A name that is not valid in that encoding (a path given in another one) is
// taken byte by byte, so it still has a fixed place in the order.
std::wstring CollationText(const std::string& name, locale_t loc) {
  std::wstring wide;
  wide.reserve(name.size());
  mbstate_t state{};
  const locale_t previous = uselocale(loc);
  const char* p = name.data();
  std::size_t left = name.size();
  bool valid = true;
  while (left > 0) {
    wchar_t wc = 0;
    const std::size_t used = mbrtowc(&wc, p, left, &state);
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
      valid = false;
      break;
    }
    const std::size_t step = used == 0 ? 1 : used;  // an embedded zero byte
    wide.push_back(wc);
    p += step;
    left -= step;
  }
  uselocale(previous);
  if (!valid) wide.assign(name.begin(), name.end());
  for (wchar_t& wc : wide) wc = static_cast<wchar_t>(towlower_l(static_cast<wint_t>(wc), loc));
  return wide;
}

}  // namespace

void SortPortNames(std::vector<std::string>& names) {
  const UserLocale locale;
  const locale_t loc = locale.Get();

  struct Entry {
    std::wstring key;
    std::string name;
  };
  std::vector<Entry> entries;
  entries.reserve(names.size());
  for (auto& name : names) entries.push_back({CollationText(name, loc), std::move(name)});

  // wcscoll stops at a zero character; the keys hold none that matter for
  // port names, and a tie there is resolved by keeping the original order.
  std::stable_sort(entries.begin(), entries.end(), [loc](const Entry& a, const Entry& b) {
    return wcscoll_l(a.key.c_str(), b.key.c_str(), loc) < 0;
  });

  names.clear();
  for (auto& e : entries) names.push_back(std::move(e.name));
}

}  // namespace CPort::Detail
