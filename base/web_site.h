// The product's web site: where the update check asks for the newest version and
// what the update window's link and the website command show.
#pragma once

#include <string_view>

namespace kelvox {

/// The web site's host: named in the users' greeting banner and in place of the
/// real name of their USER lines.
inline constexpr std::string_view kWebHost = "www.kelvox.net";
/// The address the operator is shown and sent to.
inline constexpr std::string_view kWebSite = "http://www.kelvox.net/";
/// The page that names the newest release: plain HTTP, port 80.
inline constexpr std::string_view kVersionPage = "http://www.kelvox.net/version.html";
/// This release, as the version page writes it.
inline constexpr std::string_view kThisVersion = "2.6";

}  // namespace kelvox
