"""The Kubernetes examples in docs/ played for real with podman.

The image is built from the Containerfile with the statically linked
kelvaring and tagged with the manifests' own image name; the DaemonSet's
and the Job's pod templates run as Pods (podman kube play), their hostPath
volumes in the test's folder:
- the DaemonSet's: the size fits under the memory limit; a word flipped
  from outside gives a report in the pod's log and in the metrics file,
  which a node exporter reads; `podman pod stop` reaches Kelvaring (PID 1),
  which prints the stop notice and the summary and ends with status 1;
- the Job's: the run ends by itself with status 0 and its log says pass;
- the two containers are alike but for the keys that end the run and the
  file it writes.

podman_test.py SOURCE_DIR STATIC_KELVARING
Needs root, podman, runc, catatonit (the pods' infra container) and
python3-yaml; exits 77 with the reason otherwise. The images and containers
live in a storage of the test's own folder; every pod, image and process it
made is removed at the end, also on failure."""
import copy
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

EXPORTER = "/usr/bin/prometheus-node-exporter"
ALLOCATION = r"(\d+) Mb allocated \(([0-9A-F]{16})/([0-9A-F]{16})\)\n"
# Root here may not raise nofile and nproc above these; crun refuses a
# cgroup v1 layout with a cgroup2 mount beside it; no systemd nor journald.
CONTAINERS_CONF = """[containers]
default_ulimits = ["nofile=20000:20000", "nproc=32768:32768"]
log_driver = "k8s-file"
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
"""

failures = []


def skip(reason):
    print("skipped: " + reason)
    sys.exit(77)


def expect(ok, message):
    if not ok:
        failures.append(message)
        print("FAILED: " + message)
    return ok


def require(ok, message):
    if not ok:
        raise AssertionError(message)
    return ok


def wait_for(get, done, timeout):
    """get() every 0.2 s until done(value) or the timeout; the last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = get()
        if done(value) or time.monotonic() > deadline:
            return value
        time.sleep(0.2)


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


class Podman:
    def __init__(self, folder):
        self.base = ["podman", "--root", folder + "/storage", "--runroot", folder + "/run",
                     "--tmpdir", folder + "/tmp"]
        conf = os.path.join(folder, "containers.conf")
        with open(conf, "w") as f:
            f.write(CONTAINERS_CONF)
        self.env = dict(os.environ, CONTAINERS_CONF=conf)
        self.folder = folder

    def run(self, *args, timeout=60, check=True):
        # Bytes, decoded here: text=True would turn the progress lines' \r
        # into \n. In the folder: conmon leaves a file "oom" where it starts
        # after an out-of-memory kill.
        done = subprocess.run(self.base + list(args), env=self.env, cwd=self.folder, capture_output=True,
                              timeout=timeout)
        done.stdout, done.stderr = done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")
        if check and done.returncode != 0:
            raise AssertionError("podman %s: status %d\n%s" % (" ".join(args), done.returncode, done.stderr))
        return done

    def logs(self, container):
        shown = self.run("logs", container, check=False)
        return shown.stdout + shown.stderr

    def wait_log(self, container, pattern, timeout=60):
        """The pattern's match in the container's log, waited for while the
        container runs, and the log."""
        ended = lambda: self.inspect(container, ".State.Status") in ("exited", "stopped")  # noqa: E731
        wait_for(lambda: re.search(pattern, self.logs(container)) or ended(), bool, timeout)
        log = self.logs(container)
        return re.search(pattern, log), log

    def inspect(self, container, field):
        return self.run("inspect", "--format", "{{" + field + "}}", container).stdout.strip()


def load(docs, name, kind):
    import yaml
    with open(os.path.join(docs, name)) as f:
        return next(d for d in yaml.safe_load_all(f) if d["kind"] == kind)


# The tests use a few hundred MiB: the containers' memory limit is this
# one instead of the manifests' (which the comparison of the two manifests
# still checks), and the size must follow it all the same.
TEST_MEMORY = "256Mi"


def pod_of(workload, name, host_folder, more_args=()):
    """The workload's pod template as a Pod run once, its hostPaths in
    host_folder, its memory limit TEST_MEMORY."""
    pod = copy.deepcopy(workload["spec"]["template"]["spec"])
    pod["restartPolicy"] = "Never"
    for volume in pod["volumes"]:
        volume["hostPath"]["path"] = host_folder
    for container in pod["containers"]:
        container["imagePullPolicy"] = "Never"
        for bound in ("limits", "requests"):
            if "memory" in container["resources"].get(bound, {}):
                container["resources"][bound]["memory"] = TEST_MEMORY
        # Kubernetes gives NODE_NAME the pod's node and puts $(NAME) of the
        # environment into the arguments; podman does neither.
        env = {e["name"]: e.get("value", "node-1") for e in container.get("env", [])}
        container["env"] = [{"name": k, "value": v} for k, v in env.items()]
        container["args"] = [re.sub(r"\$\((\w+)\)", lambda m: env[m.group(1)], a) for a in container["args"]]
        container["args"] += list(more_args)
    return {"apiVersion": "v1", "kind": "Pod", "metadata": {"name": name}, "spec": pod}


def play(podman, folder, pod):
    import yaml
    path = os.path.join(folder, pod["metadata"]["name"] + ".yaml")
    with open(path, "w") as f:
        yaml.safe_dump(pod, f)
    podman.run("kube", "play", "--network", "none", path)
    return pod["metadata"]["name"] + "-" + pod["spec"]["containers"][0]["name"]


def bytes_of(quantity):
    number, unit = re.fullmatch(r"(\d+)(Ki|Mi|Gi|Ti)?", quantity).groups()
    return int(number) << {None: 0, "Ki": 10, "Mi": 20, "Gi": 30, "Ti": 40}[unit]


def flip(pid, address, bits):
    with open("/proc/%d/mem" % pid, "r+b", buffering=0) as mem:
        mem.seek(address)
        word = int.from_bytes(mem.read(4), "little")
        mem.seek(address)
        mem.write((word ^ bits).to_bytes(4, "little"))


def start_exporter(folder, textfile):
    """A node exporter on a free port of 127.0.0.1 reading `textfile`: (process, port)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    err = os.path.join(folder, "exporter.err")
    with open(err, "w") as f:
        exporter = subprocess.Popen([EXPORTER, "--web.listen-address=127.0.0.1:%d" % port,
                                     "--collector.disable-defaults", "--collector.textfile",
                                     "--collector.textfile.directory=" + textfile],
                                    stdout=subprocess.DEVNULL, stderr=f)
    require("Listening on" in wait_for(lambda: read(err), lambda t: "Listening on" in t, 10), read(err))
    return exporter, port


def scrape(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as response:
            return response.read().decode()
    except OSError:
        return ""


def compare_containers(daemonset, job):
    """The same image, limits, privileges, grace period and arguments, but
    for the keys that end the run and the file it writes."""
    own = ("metrics", "log", "errmax", "minutes")

    def shared(workload):
        pod = workload["spec"]["template"]["spec"]
        c = pod["containers"][0]
        return (c["image"], c.get("command"), c["resources"], c["securityContext"],
                pod["terminationGracePeriodSeconds"], [a for a in c["args"] if a.split("=")[0] not in own])
    expect(shared(daemonset) == shared(job), "the Job's container differs from the DaemonSet's:\n%s\n%s"
           % (shared(daemonset), shared(job)))


def play_daemonset(podman, folder, daemonset, port):
    textfile = os.path.join(folder, "textfile")
    container = play(podman, folder, pod_of(daemonset, "kelvaring-daemonset", textfile))
    allocation, log = podman.wait_log(container, ALLOCATION)
    require(allocation, "no allocation line in the pod's log:\n" + log)
    # The limit less the reserve, less the little the program uses already.
    limit = bytes_of(TEST_MEMORY)
    size, ceiling = int(allocation[1]) << 20, limit - (64 << 20) - limit // 16
    expect(ceiling - (64 << 20) <= size <= ceiling,
           "%d MiB tested under a limit of %d MiB" % (size >> 20, limit >> 20))

    pid = int(podman.inspect(container, ".State.Pid"))
    expect(read("/proc/%d/comm" % pid) == "kelvaring\n", "the container's process is " + read("/proc/%d/comm" % pid))
    # The buffers are filled once the allocation line is out: a flipped word
    # of B is found by the test (progress=60 prints no line before a minute).
    flip(pid, int(allocation[3], 16) + 4 * 1000, 0x400)
    report, log = podman.wait_log(container, r"\nError 1, out of \d+ cycles, \(\d+% coverage\)\n")
    expect(report, "no error report in the pod's log:\n" + log)
    metrics = os.path.join(textfile, "kelvaring.prom")
    # The file is rewritten right after the report.
    expect("kelvaring_errors_total 1\n" in wait_for(lambda: read(metrics), lambda t: "errors_total 1\n" in t, 10),
           "no error in the metrics:\n" + read(metrics))
    if port:
        body = wait_for(lambda: scrape(port), lambda t: "kelvaring_errors_total 1\n" in t, 10)
        expect("kelvaring_errors_total 1\n" in body and "node_textfile_scrape_error 0\n" in body,
               "the node exporter does not publish the error:\n" + body)

    podman.run("pod", "stop", "-t", "30", "kelvaring-daemonset", timeout=60)
    status = podman.inspect(container, ".State.ExitCode")
    expect(status == "1", "the stopped container's exit status is " + status)
    log = podman.logs(container)
    # progress=60: lines with line ends, none rewritten in place.
    expect("\r" not in log, "a line rewritten in place in the pod's log:\n" + log)
    expect("\nStop signaled. Terminating...\n" in log, "no stop notice in the pod's log:\n" + log)
    expect(re.search(r"\nErrors 1, cycles \d+, \(\d+% coverage\)\n$", log), "no summary at the end:\n" + log)
    final = read(metrics)
    expect("kelvaring_running 0\n" in final and "kelvaring_exit_status 1\n" in final,
           "the final metrics do not say the run ended failed:\n" + final)


def play_job(podman, folder, job):
    results = os.path.join(folder, "results")
    # coverage=1 ends the run after a few cycles; its minutes=120 (or even
    # minutes=1) would take too long here.
    container = play(podman, folder, pod_of(job, "kelvaring-job", results, ["coverage=1"]))
    podman.run("wait", container, timeout=90)
    status = podman.inspect(container, ".State.ExitCode")
    expect(status == "0", "the Job's run ended with status %s:\n%s" % (status, podman.logs(container)))
    lines = read(os.path.join(results, "node-1.jsonl")).splitlines()
    expect(len(lines) >= 2 and '"reason":"coverage"' in lines[-2] and '"verdict":"pass"' in lines[-1],
           "the Job's results log does not end with a pass:\n" + "\n".join(lines[-2:]))


def become_subreaper():
    """conmon leaves podman by a double fork: its orphans come to this
    process instead of PID 1, to be stopped and reaped by stop_children."""
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER


def stop_children():
    """Reaps every child; one still running after 10 s is killed by its pid."""
    deadline = time.monotonic() + 10
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0 and time.monotonic() > deadline:
            for stat in os.listdir("/proc"):
                if stat.isdigit() and read("/proc/%s/stat" % stat).rpartition(")")[2].split()[1:2] == [str(os.getpid())]:
                    os.kill(int(stat), 9)
        if pid == 0:
            time.sleep(0.1)


def remove_all(podman, folder, pods):
    for pod in pods:
        podman.run("pod", "rm", "-f", "-t", "0", pod, check=False)
    podman.run("rmi", "-a", "-f", check=False)
    # Whatever storage mount is left under the folder goes before the folder.
    with open("/proc/self/mountinfo") as f:
        mounts = [line.split()[4] for line in f if line.split()[4].startswith(folder + "/")]
    for mount in reversed(mounts):
        subprocess.run(["umount", "-l", mount], check=False)
    shutil.rmtree(folder, ignore_errors=True)


def main():
    source, program = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        skip("not root: the containers need root here (cgroup memory limits, IPC_LOCK, /proc/PID/mem)")
    for tool in ("podman", "runc", "catatonit"):
        if not shutil.which(tool):
            skip(tool + " is not installed (Debian's " + tool + "; .ci/run installs it)")
    try:
        import yaml  # noqa: F401
    except ImportError:
        skip("python3-yaml is not installed")
    docs = os.path.join(source, "docs")
    daemonset = load(docs, "kelvaring-daemonset.yaml", "DaemonSet")
    job = load(docs, "kelvaring-job.yaml", "Job")
    compare_containers(daemonset, job)

    become_subreaper()
    folder = tempfile.mkdtemp(prefix="kelvaring-podman-")
    for sub in ("image", "textfile", "results"):
        os.mkdir(os.path.join(folder, sub))
    podman = Podman(folder)
    exporter, port = None, 0
    try:
        shutil.copy(program, os.path.join(folder, "image", "kelvaring"))
        image = daemonset["spec"]["template"]["spec"]["containers"][0]["image"]
        podman.run("build", "-f", os.path.join(source, "Containerfile"), "-t", image, os.path.join(folder, "image"))
        if os.access(EXPORTER, os.X_OK):
            exporter, port = start_exporter(folder, os.path.join(folder, "textfile"))
        else:
            print("note: %s is not installed: the metrics file is read directly" % EXPORTER)
        play_daemonset(podman, folder, daemonset, port)
        play_job(podman, folder, job)
    except (AssertionError, subprocess.TimeoutExpired, OSError, ValueError) as e:
        failures.append(str(e))
        print("FAILED: %s" % e)
    finally:
        if exporter:
            exporter.kill()
            exporter.wait()
        remove_all(podman, folder, ["kelvaring-daemonset", "kelvaring-job"])
        stop_children()
    if failures:
        sys.exit(1)
    print("passed")


if __name__ == "__main__":
    main()
