#include "search/sheet_select.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "search/pool.hpp"

namespace tbx::select {
namespace {

// Sheet lists are short: name tests run inline unless a finder holds a great many sheets.
constexpr pool::Cost kNameCost{.ns_per_item = 50.0};

template <class Pred>
std::vector<SheetHandle> keep(const Finder& f, Pred&& pred) {
  std::shared_lock l(f.lock());
  const auto& sheets = f.sheets_locked();
  return pool::filter_map(
      sheets.size(),
      [&](size_t i) -> std::optional<SheetHandle> {
        std::shared_lock sl(sheets[i]->lock());
        if (!pred(sheets[i]->name_locked())) return std::nullopt;
        return sheets[i];
      },
      kNameCost);
}

template <class Pred>
SheetHandle first(const Finder& f, Pred&& pred) {
  std::shared_lock l(f.lock());
  const auto& sheets = f.sheets_locked();
  const size_t i = pool::find_first(
      sheets.size(),
      [&](size_t k) {
        std::shared_lock sl(sheets[k]->lock());
        return pred(sheets[k]->name_locked());
      },
      kNameCost);
  return i < sheets.size() ? sheets[i] : SheetHandle();
}

bool listed(std::span<const std::string_view> names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

struct CodeDeleter {
  void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};

// One match-data block per thread, reused by every pattern (a yes/no test needs one pair).
pcre2_match_data* thread_match_data() {
  thread_local std::unique_ptr<pcre2_match_data, MatchDataDeleter> md(
      pcre2_match_data_create(1, nullptr));
  return md.get();
}

}  // namespace

SheetHandle sheet_at(const Finder& f, int32_t idx) {
  std::shared_lock l(f.lock());
  const auto& sheets = f.sheets_locked();
  if (idx < 0 || static_cast<size_t>(idx) >= sheets.size()) return {};
  return sheets[static_cast<size_t>(idx)];
}

std::vector<SheetHandle> with_names(const Finder& f, std::span<const std::string_view> names) {
  return keep(f, [&](const std::string& n) { return listed(names, n); });
}

std::vector<SheetHandle> without_names(const Finder& f, std::span<const std::string_view> names) {
  return keep(f, [&](const std::string& n) { return !listed(names, n); });
}

SheetHandle by_name(const Finder& f, std::string_view name) {
  return first(f, [&](const std::string& n) { return n == name; });
}

RegexResult by_regex(const Finder& f, std::string_view pattern) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  std::unique_ptr<pcre2_code, CodeDeleter> re(
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), PCRE2_UTF,
                    &code, &offset, nullptr));
  if (!re) {
    PCRE2_UCHAR buf[256];
    pcre2_get_error_message(code, buf, sizeof buf);
    return {false,
            std::string(reinterpret_cast<char*>(buf)) + " at offset " + std::to_string(offset),
            {}};
  }
  // JIT where the platform has it; the interpreter otherwise. Either gives the same answers.
  pcre2_jit_compile(re.get(), PCRE2_JIT_COMPLETE);
  const pcre2_code* compiled = re.get();
  SheetHandle found = first(f, [&](const std::string& name) {
    // A match error (such as the match limit) means the sheet does not qualify.
    return pcre2_match(compiled, reinterpret_cast<PCRE2_SPTR>(name.data()), name.size(), 0,
                       PCRE2_NO_UTF_CHECK, thread_match_data(), nullptr) >= 0;
  });
  return {true, {}, std::move(found)};
}

}  // namespace tbx::select
