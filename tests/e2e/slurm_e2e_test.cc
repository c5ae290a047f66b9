// The burn-in of docs/slurm under a real Slurm of Debian's packages:
// munged, slurmctld and slurmd on 127.0.0.1 with their configuration in a
// scratch folder, the batch script submitted with sbatch and the Epilog
// run by slurmd after each job, as on a cluster.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "program.h"

namespace e2e {
namespace {

const std::string kScripts = KELVARING_DOCS "/slurm/";
const std::string kNode = "kelvaring-node";
const char* kScontrol = "/usr/bin/scontrol";
const std::vector<std::string> kTools = {"/usr/sbin/munged", "/usr/sbin/slurmctld", "/usr/sbin/slurmd",
                                         "/usr/bin/sbatch", kScontrol, "/usr/bin/scancel", "/usr/bin/squeue"};

// Runs a command to its end; its standard output.
std::string run(const std::vector<std::string>& argv) {
  Process command(Options{.path = argv.front(), .argv = argv});
  ExitStatus status = command.wait_exit(Millis(20000));
  EXPECT_TRUE(status.exited_with(0)) << argv.front() << " " << argv.back() << ": " << status << "\n" << command.err();
  return command.out();
}

// Asks `query` every 100 ms until its answer matches `pattern`; the last
// answer.
std::string waitFor(const std::vector<std::string>& query, const std::string& pattern, Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string answer = run(query);
  while (!std::regex_search(answer, std::regex(pattern)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(Millis(100));
    answer = run(query);
  }
  return answer;
}

// The job's record once it has ended, its Epilog included (a job stays
// COMPLETING until then).
std::string waitForEnd(const std::string& job) {
  return waitFor({kScontrol, "show", "job", job}, "JobState=(COMPLETED|FAILED|CANCELLED|TIMEOUT)", Millis(40000));
}

std::string nodeRecord() { return run({kScontrol, "show", "node", kNode}); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The processes of that name with `variable` (NAME=value) in their
// environment.
std::vector<pid_t> processes(const std::string& name, const std::string& variable) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") == std::string::npos && readFile(entry.path() / "comm") == name + "\n" &&
        readFile(entry.path() / "environ").find(variable + '\0') != std::string::npos)
      found.push_back(std::stoi(pid));
  }
  return found;
}

// The Kelvaring process of a job: a child of slurmstepd (the script's exec
// makes it the task itself).
pid_t jobProcess(const std::string& job) {
  for (pid_t pid : processes("kelvaring", "SLURM_JOB_ID=" + job)) {
    const std::string stat = readFile(proc(pid, "stat"));
    const pid_t parent = std::stoi(stat.substr(stat.rfind(')') + 4));
    if (readFile(proc(parent, "comm")) == "slurmstepd\n") return pid;
  }
  return 0;
}

// munged, slurmctld and slurmd in the foreground, so that their ids are
// known. On the way out, also when the test fails: the jobs cancelled, their
// slurmstepd gone (they report to slurmd on their way out), then each daemon
// stopped by its id, the last started first.
class Cluster {
 public:
  explicit Cluster(const TempDir& dir) : dir_(dir) {}
  ~Cluster() {
    if (daemons_.size() == 3) {
      run({"/usr/bin/scancel", "--user=root"});
      waitFor({"/usr/bin/squeue", "--noheader"}, "^$", Millis(15000));
      const std::string ours = "SLURM_CONF=" + dir_.file("slurm.conf");
      for (int i = 0; i < 200 && !processes("slurmstepd", ours).empty(); ++i) std::this_thread::sleep_for(Millis(50));
      for (pid_t step : processes("slurmstepd", ours)) kill(step, SIGKILL);
    }
    for (auto daemon = daemons_.rbegin(); daemon != daemons_.rend(); ++daemon) {
      (*daemon)->send_signal(SIGTERM);
      (*daemon)->wait_exit(Millis(10000));
    }
  }

  void start(const std::vector<std::string>& argv) {
    const std::string name = std::filesystem::path(argv.front()).filename();
    daemons_.push_back(std::make_unique<Process>(
        Options{.path = argv.front(), .argv = argv, .out = Redirect::to_file(dir_.file(name + ".out")),
                .err = Redirect::to_file(dir_.file(name + ".out"))}));
  }

 private:
  const TempDir& dir_;
  std::vector<std::unique_ptr<Process>> daemons_;
};

// A cluster of one node, this machine, that runs every job's Epilog through
// docs/slurm's with the results folder of the scratch folder.
std::string configure(const TempDir& dir) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::ifstream random("/dev/urandom", std::ios::binary);
  std::string key(1024, '\0');
  random.read(key.data(), static_cast<std::streamsize>(key.size()));
  dir.write_file("munge.key", key);
  std::filesystem::permissions(dir.file("munge.key"), std::filesystem::perms::owner_read);
  dir.make_dir("state");
  dir.make_dir("spool");
  dir.make_dir("results");
  dir.write_file("epilog", "#!/bin/sh\nKELVARING_RESULTS=" + dir.file("results") + " exec " + kScripts +
                               "kelvaring-epilog\n");
  std::filesystem::permissions(dir.file("epilog"), std::filesystem::perms::owner_all);
  const std::string& d = dir.path();
  return dir.write_file(
      "slurm.conf",
      "ClusterName=kelvaring\nSlurmctldHost=" + std::string(host) + "(127.0.0.1)\n" +
          "SlurmctldPort=" + std::to_string(freePort()) + "\nSlurmdPort=" + std::to_string(freePort()) +
          "\nAuthInfo=socket=" + d + "/munge.socket\nStateSaveLocation=" + d + "/state\nSlurmdSpoolDir=" + d +
          "/spool\nSlurmctldPidFile=" + d + "/slurmctld.pid\nSlurmdPidFile=" + d + "/slurmd.pid\n" +
          "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\nSelectType=select/cons_tres\n"
          "SelectTypeParameters=CR_Core_Memory\nReturnToService=2\nEpilog=" + d + "/epilog\n" +
          "NodeName=" + kNode + " NodeAddr=127.0.0.1 CPUs=" + std::to_string(std::thread::hardware_concurrency()) +
          " RealMemory=1024\nPartitionName=burnin Nodes=" + kNode + " Default=YES State=UP\n");
}

// Submits the batch script at 16 MiB with `end`; the job's id.
std::string submit(const TempDir& dir, const std::string& end) {
  std::string out = run({"/usr/bin/sbatch", "--parsable", "--chdir=" + dir.path(), "--output=" + dir.file("job-%j.out"),
                         "--export=ALL,KELVARING=" + std::string(kExecutable) + ",KELVARING_SIZE=16,KELVARING_RESULTS=" +
                             dir.file("results"),
                         kScripts + "kelvaring-burnin.sbatch", end});
  return out.substr(0, out.find_first_of(";\n"));
}

TEST(Slurm, BurnInPassesOnAGoodNodeAndDrainsANodeWithErrors) {
  for (const std::string& tool : kTools)
    if (access(tool.c_str(), X_OK) != 0)
      GTEST_SKIP() << tool << " is not installed (slurmctld, slurmd, slurm-client, munge; .ci/run installs them)";
  if (geteuid() != 0) GTEST_SKIP() << "not root: slurmd starts each job as its user, and the test writes into a job's memory";
  if (sanitizedBuild()) GTEST_SKIP() << "the plain build's executable alone is run under Slurm";
  TempDir dir;
  setenv("SLURM_CONF", configure(dir).c_str(), 1);
  Cluster cluster(dir);
  const std::string& d = dir.path();
  // munged refuses root without --force.
  cluster.start({"/usr/sbin/munged", "--foreground", "--force", "--key-file=" + d + "/munge.key",
                 "--socket=" + d + "/munge.socket", "--pid-file=" + d + "/munged.pid",
                 "--seed-file=" + d + "/munged.seed", "--log-file=" + d + "/munged.log"});
  for (int i = 0; i < 200 && !std::filesystem::exists(d + "/munge.socket"); ++i) std::this_thread::sleep_for(Millis(50));
  cluster.start({"/usr/sbin/slurmctld", "-D"});
  cluster.start({"/usr/sbin/slurmd", "-D", "-N", kNode});
  std::string node = waitFor({kScontrol, "show", "node", kNode}, "State=IDLE ", Millis(20000));
  ASSERT_TRUE(node.find("State=IDLE ") != std::string::npos)
      << node << dir.read_file("slurmctld.out") << dir.read_file("slurmd.out");

  // A good node: the run ends by its coverage and the node takes jobs on.
  std::string job = submit(dir, "coverage=100");
  std::string record = waitForEnd(job);
  EXPECT_TRUE(record.find("ExitCode=0:0") != std::string::npos) << record << dir.read_file("job-" + job + ".out");
  std::string log = dir.read_file("results/" + kNode + "-" + job + ".jsonl");
  EXPECT_TRUE(log.find(R"("verdict":"pass","status":0,)") != std::string::npos) << log;
  node = nodeRecord();
  EXPECT_TRUE(node.find("State=IDLE ") != std::string::npos) << node;

  // A word flipped in the job's buffer B: status 1 and the node drained.
  job = submit(dir, "coverage=1000");
  const std::string output = dir.file("job-" + job + ".out");
  std::smatch allocation;
  std::string text;
  for (int i = 0; i < 1000 && !std::regex_search(text = readFile(output), allocation, std::regex(kAllocationLine)); ++i)
    std::this_thread::sleep_for(Millis(20));
  ASSERT_FALSE(allocation.empty()) << text;
  const pid_t kelvaring = jobProcess(job);
  ASSERT_NE(kelvaring, 0) << "no kelvaring child of slurmstepd in job " << job;
  ASSERT_TRUE(flip_u32(kelvaring, *parse_hex_address(allocation.str(3)) + 4 * 1000, 0x400));
  record = waitForEnd(job);
  EXPECT_TRUE(record.find("ExitCode=1:0") != std::string::npos) << record << dir.read_file("job-" + job + ".out");
  node = nodeRecord();
  EXPECT_TRUE(node.find("State=IDLE+DRAIN ") != std::string::npos) << node;
  EXPECT_TRUE(node.find("Reason=Kelvaring: 1 errors in job " + job + ",") != std::string::npos) << node;
}

}  // namespace
}  // namespace e2e
