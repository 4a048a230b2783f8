#!/usr/bin/env python3
"""Times `kestavane-cli run --all` where every connection is dropped.

Needs a kestavane-cli built with bench/loopback_hosts.txt, so that every
catalogue host is a loopback address:

    cmake -S . -B build-loopback -G Ninja -DKV_HOSTS_FILE=$PWD/bench/loopback_hosts.txt \\
          -DKV_BUILD_GUI=OFF -DKV_BUILD_TESTS=OFF
    cmake --build build-loopback --target kestavane-cli secur32
    python3 bench/run_all_jobs.py build-loopback/bin/kestavane-cli [JOBS...]

The script moves itself into a network namespace of its own (unshare; as
root, or through a user namespace), brings its loopback up and listens on
every catalogue port with a backlog that one connection fills, so every
further SYN is dropped and each connect waits out its full bound, as behind
a firewall that drops everything. Then it runs `run --all` once per JOBS
value (default 1 and 8) and prints the wall time and the peak memory of the
program itself: GNU time (Debian package time) starts it and reports its
maximum resident size. The size wait4 reports for a child of this script
would start at the size of the Python interpreter that forked it.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

MARK = "KV_BENCH_IN_NAMESPACE"


def enter_namespace():
    if os.environ.get(MARK):
        return
    env = dict(os.environ, **{MARK: "1"})
    unshare = ["unshare", "--net"] if os.geteuid() == 0 else ["unshare", "--user", "--map-root-user", "--net"]
    sys.exit(subprocess.run(unshare + [sys.executable] + sys.argv, env=env).returncode)


def catalogue_endpoints(cli):
    listing = subprocess.run([cli, "list"], check=True, capture_output=True, text=True).stdout
    endpoints = set()
    for line in listing.splitlines():
        fields = line.split("\t")
        host, port = fields[6], int(fields[7])
        try:
            if not socket.inet_aton(host)[0] == 127:
                raise OSError
        except OSError:
            sys.exit(f"host {host} is not a loopback address: build with bench/loopback_hosts.txt")
        endpoints.add((host, port))
    return sorted(endpoints)


def dropping_listener(host, port):
    """A listener whose accept queue one connection fills: further SYNs are dropped."""
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, port))
    server.listen(0)
    filler = socket.create_connection((host, port), timeout=2)
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.settimeout(1.5)
    try:
        probe.connect((host, port))
        sys.exit(f"{host}:{port} still accepts connections; the benchmark would not measure drops")
    except socket.timeout:
        pass
    finally:
        probe.close()
    return server, filler


def run(cli, jobs):
    with tempfile.NamedTemporaryFile(mode="r") as report:
        start = time.monotonic()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report.name, cli, "run", "--all", "--jobs",
                                  str(jobs)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        output = child.stdout.read()
        code = child.wait()
        elapsed = time.monotonic() - start
        # The last line: before it, time notes a status other than 0.
        peak_kib = int(report.read().split()[-1])
    failed_connects = output.count("** FAILED to Connect to ")
    return elapsed, peak_kib, code, failed_connects


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    if not os.access("/usr/bin/time", os.X_OK):
        sys.exit("/usr/bin/time missing: scripts/bootstrap.sh installs it (package time)")
    cli = os.path.abspath(args[0])
    jobs_list = [int(j) for j in args[1:]] or [1, 8]
    enter_namespace()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    held = [dropping_listener(host, port) for host, port in catalogue_endpoints(cli)]
    print(f"{len(held)} catalogue endpoints drop every new connection")
    print(f"{'jobs':>4}  {'wall s':>8}  {'peak RSS MiB':>12}  {'exit':>4}  {'connects failed':>15}")
    for jobs in jobs_list:
        elapsed, rss_kib, code, failed = run(cli, jobs)
        print(f"{jobs:>4}  {elapsed:>8.1f}  {rss_kib / 1024:>12.1f}  {code:>4}  {failed:>15}", flush=True)
    del held


if __name__ == "__main__":
    main()
