#include "program.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

namespace e2e {

Program::Program(const Options& launch) {
  Options options = launch;
  std::string path = dir_.copy_executable(kExecutable, launch.name);
  options.cwd = launch.workingDir.empty() ? dir_.path() : dir_.make_dir(launch.workingDir);
  for (const auto& [name, text] : launch.files) dir_.write_file(name, text);
  if (launch.settings) {
    // The extension, if any, gives way to ".ini".
    dir_.write_file(launch.name.substr(0, launch.name.rfind('.')) + ".ini", *launch.settings);
  }
  if (launch.openToAll) chmod(dir_.path().c_str(), 0755);
  options.argv = launch.wrapper;
  options.argv.push_back(path);
  options.argv.insert(options.argv.end(), launch.args.begin(), launch.args.end());
  options.path = options.argv.front();
  if (launch.toFile) options.out = Redirect::to_file(dir_.file("out.txt"));
  process_ = std::make_unique<Process>(options);
}

Match Program::expectOut(const std::string& pattern, Millis timeout) {
  Match m = process_->wait_for_regex(Channel::kOut, std::regex(pattern), timeout);
  EXPECT_TRUE(m) << "no match for " << pattern << " in:\n" << m.text << "\nstderr:\n" << err();
  return m;
}

void Program::bufferAddresses(std::uint64_t& a, std::uint64_t& b) {
  Match m = expectOut(kAllocationLine);
  a = b = 0;
  if (!m) return;
  a = parse_hex_address(m.groups[2]).value_or(0);
  b = parse_hex_address(m.groups[3]).value_or(0);
  bufferB_ = b;
}

bool Program::flipInB(std::uint64_t index, std::uint32_t bits) {
  if (bufferB_ == 0) {
    std::uint64_t a;
    bufferAddresses(a, bufferB_);
  }
  return flip_u32(process_->pid(), bufferB_ + 4 * index, bits);
}

pid_t Program::thread(const std::string& name) {
  for (pid_t tid : process_->threads()) {
    std::ifstream comm(proc(process_->pid(), "task/" + std::to_string(tid) + "/comm"));
    std::string line;
    if (std::getline(comm, line) && line == name) return tid;
  }
  return 0;
}

ExitStatus Program::stop(int signal, Millis timeout) {
  process_->send_signal(signal);
  return process_->wait_exit(timeout);
}

bool sanitizedBuild() {
#ifdef KELVARING_SANITIZED
  return true;
#else
  return false;
#endif
}

}  // namespace e2e
