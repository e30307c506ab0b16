// The default worker count: environment variables, CPU affinity and the
// cgroup CPU quota (Linux only: elsewhere the cgroup files do not exist).
#include "cpu_count.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <vector>

#include "platform.h"

namespace velmar::detail {
namespace {

std::optional<std::size_t> env_thread_count(const char* name) {
  const char* text = std::getenv(name);
  if (!text) return std::nullopt;
  return parse_thread_count(text);
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

bool has_item(const std::string& list, const char* item) {
  for (const auto& part : split(list, ',')) {
    if (part == item) return true;
  }
  return false;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// mountinfo escapes blanks and backslashes in paths as \ooo.
std::string unescape_mount_path(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && is_octal(s[i + 1]) &&
        is_octal(s[i + 2]) && is_octal(s[i + 3])) {
      out.push_back(static_cast<char>((s[i + 1] - '0') * 64 +
                                      (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::optional<std::uint64_t> parse_u64(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\n") - b + 1);
}

// CPUs allowed by one cgroup directory, or nothing when it sets no limit.
std::optional<std::uint64_t> cgroup_dir_quota(const std::string& dir, bool v2) {
  std::string limit_text, period_text;
  if (v2) {
    std::string line;
    if (!platform::read_file(dir + "/cpu.max", line)) return std::nullopt;
    const auto fields = split(trim(line), ' ');
    if (fields.size() < 2) return std::nullopt;
    limit_text = fields[0];  // "max" when unlimited
    period_text = fields[1];
  } else {
    if (!platform::read_file(dir + "/cpu.cfs_quota_us", limit_text) ||
        !platform::read_file(dir + "/cpu.cfs_period_us", period_text)) {
      return std::nullopt;
    }
    limit_text = trim(limit_text);  // "-1" when unlimited
    period_text = trim(period_text);
  }
  const auto limit = parse_u64(limit_text);
  const auto period = parse_u64(period_text);
  if (!limit || !period || *period == 0) return std::nullopt;
  return std::max<std::uint64_t>(1, *limit / *period);
}

}  // namespace

std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& proc_cgroup,
                                              const std::string& mountinfo,
                                              const std::string& fs_root) {
  // Lines read "id:controllers:path"; a v1 hierarchy with the cpu controller
  // takes precedence over the unified (v2) one, whose controller list is empty.
  std::optional<std::string> group;
  bool v2 = false;
  for (const auto& line : split(proc_cgroup, '\n')) {
    const auto first = line.find(':');
    const auto second =
        line.find(':', first == std::string::npos ? 0 : first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) {
      if (!group) {
        group = path;
        v2 = true;
      }
    } else if (has_item(controllers, "cpu")) {
      group = path;
      v2 = false;
      break;
    }
  }
  if (!group) return std::nullopt;

  for (const auto& line : split(mountinfo, '\n')) {
    // "id parent dev root mountpoint options [optional...] - fstype src super"
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const auto head = split(line.substr(0, dash), ' ');
    const auto tail = split(line.substr(dash + 3), ' ');
    if (head.size() < 5 || tail.size() < 3) continue;
    if (v2 ? tail[0] != "cgroup2"
           : tail[0] != "cgroup" || !has_item(tail[2], "cpu")) {
      continue;
    }
    const std::string root = unescape_mount_path(head[3]);
    const std::string mount = fs_root + unescape_mount_path(head[4]);
    // The mount shows the hierarchy from `root` down; the group must lie
    // below it to be reachable through this mount.
    std::string rel;
    if (root == "/") {
      rel = *group;
    } else if (group->compare(0, root.size(), root) == 0 &&
               (group->size() == root.size() || (*group)[root.size()] == '/')) {
      rel = group->substr(root.size());
    } else {
      continue;
    }
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    std::optional<std::uint64_t> quota;
    for (;;) {
      if (auto q = cgroup_dir_quota(mount + rel, v2)) {
        quota = quota ? std::min(*quota, *q) : *q;
      }
      if (rel.empty()) break;
      rel.resize(rel.rfind('/'));
    }
    return quota;
  }
  return std::nullopt;
}

namespace {

std::size_t machine_thread_count() {
  std::size_t count = platform::affinity_cpu_count();
  if (count == 0) return 1;
  std::string cgroup, mountinfo;
  if (!platform::read_file("/proc/self/cgroup", cgroup) ||
      !platform::read_file("/proc/self/mountinfo", mountinfo)) {
    return count;
  }
  if (auto quota = cgroup_cpu_quota(cgroup, mountinfo, "")) {
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, *quota));
  }
  return count;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t default_thread_count() {
  // RAYON_NUM_THREADS=0 asks for the machine's count and skips the second
  // variable; only an unset or unparsable value falls through to it.
  if (auto n = env_thread_count("RAYON_NUM_THREADS")) {
    return *n > 0 ? *n : machine_thread_count();
  }
  if (auto n = env_thread_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return machine_thread_count();
}

}  // namespace velmar::detail
