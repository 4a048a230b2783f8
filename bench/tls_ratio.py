#!/usr/bin/env python3
"""Runs the TLS benchmark and prints our test's time over the bare handshake's."""
import json
import subprocess
import sys

binary = sys.argv[1] if len(sys.argv) > 1 else "build/bin/bench_tls"
out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=3",
                      "--benchmark_report_aggregates_only=true"],
                     check=True, capture_output=True, text=True).stdout
rows = {b["run_name"]: b for b in json.loads(out)["benchmarks"] if b.get("aggregate_name") == "median"}
ours = rows["BM_TlsTestOfOneTarget/min_time:2.000/real_time"]
bare = rows["BM_BareOpenSslHandshake/min_time:2.000/real_time"]
for kind in ("real_time", "cpu_time"):
    print(f"{kind}: ours {ours[kind]:.3f} ms, bare {bare[kind]:.3f} ms, ratio {ours[kind] / bare[kind]:.2f}x")
