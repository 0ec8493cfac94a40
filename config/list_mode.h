// How a list is applied: to nobody, as the only ones allowed, or as the ones
// refused. The `Acces` and `destination` settings hold one each.
#pragma once

#include <optional>
#include <string_view>

namespace kelvox {

enum class TListMode { all = 0, only = 1, except = 2 };

/// The file form: "all", "only" or "except".
inline constexpr std::string_view ListModeText(TListMode mode) {
  switch (mode) {
    case TListMode::only: return "only";
    case TListMode::except: return "except";
    case TListMode::all: break;
  }
  return "all";
}

/// Only the three exact lower-case texts name a mode; "ALL" or "" name none.
inline constexpr std::optional<TListMode> ParseListMode(std::string_view text) {
  if (text == "all") return TListMode::all;
  if (text == "only") return TListMode::only;
  if (text == "except") return TListMode::except;
  return std::nullopt;
}

}  // namespace kelvox
