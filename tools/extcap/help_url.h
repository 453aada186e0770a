// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>

namespace ovk {

// The file:// URL of the README that Wireshark's Help button opens: the one
// installed beside this program's installation (a package or a --prefix
// installs the extcap and the documentation below one prefix), else the
// configured documentation folder's, else the source tree's (a program run
// from the build tree). The configured one when none of them exists.
std::string help_url();

} // namespace ovk
