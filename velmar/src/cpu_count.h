// How many workers a new pool gets: the pool-size environment variables,
// else the CPUs the process may run on (its affinity set, lowered to a cgroup
// CPU quota where one applies).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmar::detail {

// Parses a thread-count variable: optional '+', then decimal digits only.
// Returns nothing for text that does not parse.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The worker count a new pool would get from the environment and the machine.
// Safe to call in the child of a fork(): it takes no lock.
std::size_t default_thread_count();

// The smallest CPU quota (whole CPUs, at least 1) on the path from the
// process's cgroup up to its hierarchy's root, or nothing when none applies.
// `proc_cgroup` and `mountinfo` are the texts of /proc/self/cgroup and
// /proc/self/mountinfo; `fs_root` prefixes every path read ("" in use).
std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& proc_cgroup,
                                              const std::string& mountinfo,
                                              const std::string& fs_root);

}  // namespace velmar::detail
