"""The examples in docs/: every YAML file parses, none wraps the run in
timeout(1), and the metrics land in the folder the node exporter reads.

examples_test.py yaml DOCS       YAML parses (python3-yaml)
examples_test.py textfile DOCS   DaemonSet and unit name the exporter's folder
examples_test.py rules DOCS      promtool check rules on the alerting rules
Exits 77 with the reason when a tool is missing."""
import os
import re
import subprocess
import sys

EXPORTER = "/usr/bin/prometheus-node-exporter"
PROMTOOL = "/usr/bin/promtool"


def skip(reason):
    print("skipped: " + reason)
    sys.exit(77)


def fail(message):
    print(message)
    sys.exit(1)


def load(docs, name):
    import yaml
    with open(os.path.join(docs, name)) as f:
        return list(yaml.safe_load_all(f))


def parse_yaml(docs):
    names = sorted(n for n in os.listdir(docs) if n.endswith(".yaml"))
    for name in names:
        for document in load(docs, name):
            if not isinstance(document, dict) or not ("kind" in document or "groups" in document):
                fail(name + ": neither a Kubernetes object nor a rule file")
    for folder, _, files in os.walk(docs):
        for name in files:
            if "timeout --preserve-status" in open(os.path.join(folder, name)).read():
                fail(name + ": the run is wrapped in timeout(1); use minutes=")
    print("parsed: " + ", ".join(names))


def exporter_folder():
    """The textfile folder of the installed exporter, from its --help."""
    shown = subprocess.run([EXPORTER, "--help"], capture_output=True, text=True)
    help_text = shown.stdout + shown.stderr
    found = re.search(r'--collector\.textfile\.directory="([^"]+)"', help_text)
    if not found:
        fail("no default textfile folder in " + EXPORTER + " --help")
    return found.group(1).rstrip("/")


def metrics_path(text):
    found = re.search(r"metrics=(/[^\\\s']+)", text)
    if not found:
        fail("no metrics= path in: " + text)
    return found.group(1)


def textfile(docs):
    if not os.access(EXPORTER, os.X_OK):
        skip(EXPORTER + " is not installed (Debian's prometheus-node-exporter)")
    folder = exporter_folder()
    daemonset = next(d for d in load(docs, "kelvaring-daemonset.yaml") if d["kind"] == "DaemonSet")
    pod = daemonset["spec"]["template"]["spec"]
    host = {v["name"]: v["hostPath"]["path"].rstrip("/") for v in pod["volumes"] if "hostPath" in v}
    container = pod["containers"][0]
    path = metrics_path(" ".join(container["args"]))
    mounts = [m for m in container["volumeMounts"] if path.startswith(m["mountPath"].rstrip("/") + "/")]
    if len(mounts) != 1 or host.get(mounts[0]["name"]) != folder:
        fail("the DaemonSet writes %s, not into a hostPath of %s (volumes %s)" % (path, folder, host))
    if not path.endswith(".prom"):
        fail("the textfile collector reads *.prom only, not " + path)
    service = metrics_path(open(os.path.join(docs, "kelvaring.service.in")).read())
    if os.path.dirname(service) != folder or not service.endswith(".prom"):
        fail("the systemd unit writes %s, not a .prom file in %s" % (service, folder))
    print("both write into " + folder)


def rules(docs):
    if not os.access(PROMTOOL, os.X_OK):
        skip(PROMTOOL + " is not installed (Debian's prometheus)")
    checked = subprocess.run([PROMTOOL, "check", "rules", os.path.join(docs, "kelvaring-alerts.yaml")],
                             capture_output=True, text=True)
    print(checked.stdout + checked.stderr)
    sys.exit(checked.returncode)


if __name__ == "__main__":
    mode, docs = sys.argv[1], sys.argv[2]
    if mode != "rules":
        try:
            import yaml  # noqa: F401
        except ImportError:
            skip("python3-yaml is not installed")
    {"yaml": parse_yaml, "textfile": textfile, "rules": rules}[mode](docs)
