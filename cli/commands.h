// SPDX-License-Identifier: MIT
#pragma once
// The subcommands of tamarind2-cli. Each takes the arguments after its own
// name and returns the process exit status.
#include <span>
#include <string_view>

namespace tamcli {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // some file could not be processed
inline constexpr int kExitUsage = 2;   // the command line itself is wrong

int RunReduce(std::span<const std::string_view> args);

}  // namespace tamcli
