// A memory cgroup of its own for one test, made below the test's own memory
// cgroup (cgroup v1) and removed again on destruction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace e2e {

class MemoryCgroup {
 public:
  // Makes the cgroup with a limit of `limit` bytes. Where that is not
  // possible (no v1 memory controller, no permission), folder() is empty and
  // whyNot() says what stands in the way.
  explicit MemoryCgroup(std::uint64_t limit);
  ~MemoryCgroup();
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;

  const std::string& folder() const { return folder_; }
  const std::string& whyNot() const { return whyNot_; }

  // Processes of the cgroup ended by the OOM killer so far.
  std::optional<long> oomKills() const;
  // The highest memory charge of the cgroup so far, in bytes.
  std::optional<std::uint64_t> maxUsage() const;

 private:
  std::string folder_;
  std::string whyNot_;
};

}  // namespace e2e
