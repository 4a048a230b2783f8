#!/usr/bin/env python3
"""Puts small faults into a scratch copy of the tree, one at a time, and
reports whether the test that should catch each one fails.

Mutants are listed in scripts/mutants/*.txt, one block each:

    == a short name
    file: net/socket_client.cpp
    target: net_tests
    run: bin/net_tests --gtest_filter=SocketClient*
    - text that appears exactly once in the file
    - (several "- " lines form one multi-line text)
    + its replacement
    + (several "+ " lines likewise; no "+" line deletes the text)

"target" is what is rebuilt; "run" is a command run in the build folder
(exit status 0 means the mutant survived). Lines starting with # are
comments. Usage: scripts/mutants.sh [NAME-SUBSTRING...]
"""
import glob
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.environ.get("KV_MUTANTS_DIR", "/tmp/kestavane-mutants")
TIMEOUT = int(os.environ.get("KV_MUTANT_TIMEOUT", "600"))


def parse(path):
    mutants, cur = [], None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith("#") or (not line.strip() and cur is None):
                continue
            if line.startswith("== "):
                cur = {"name": line[3:].strip(), "from": [], "to": [], "list": os.path.basename(path)}
                mutants.append(cur)
            elif cur is None:
                continue
            elif line.startswith("file: "):
                cur["file"] = line[6:].strip()
            elif line.startswith("target: "):
                cur["target"] = line[8:].strip()
            elif line.startswith("run: "):
                cur["run"] = line[5:].strip()
            elif line.startswith("- ") or line == "-":
                cur["from"].append(line[2:])
            elif line.startswith("+ ") or line == "+":
                cur["to"].append(line[2:])
    for m in mutants:
        for key in ("file", "target", "run"):
            if key not in m:
                sys.exit(f"{m['list']}: mutant '{m['name']}' has no {key}")
        if not m["from"]:
            sys.exit(f"{m['list']}: mutant '{m['name']}' changes nothing")
    return mutants


def copy_tree():
    src = os.path.join(SCRATCH, "src")
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for rel in filter(None, files):
        a, b = os.path.join(ROOT, rel), os.path.join(src, rel)
        if not os.path.isfile(a):
            continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        with open(a, "rb") as fa:
            data = fa.read()
        if os.path.exists(b):
            with open(b, "rb") as fb:
                if fb.read() == data:
                    continue
        with open(b, "wb") as fb:
            fb.write(data)
    return src


def main():
    wanted = sys.argv[1:]
    mutants = []
    for path in sorted(glob.glob(os.path.join(ROOT, "scripts", "mutants", "*.txt"))):
        mutants += parse(path)
    if wanted:
        mutants = [m for m in mutants if any(w in m["name"] for w in wanted)]
    src = copy_tree()
    build = os.path.join(SCRATCH, "build")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    subprocess.run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DKV_BUILD_BENCH=OFF"] + (["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []),
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)

    tally = {"killed": 0, "survived": 0, "stale": 0, "broken": 0}
    for m in mutants:
        path = os.path.join(src, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        text_from, text_to = "\n".join(m["from"]), "\n".join(m["to"])
        if original.count(text_from) != 1:
            verdict = "stale"
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(text_from, text_to))
            try:
                built = subprocess.run(["cmake", "--build", build, "--target", m["target"]], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL).returncode == 0
                if not built:
                    verdict = "broken"
                else:
                    start = time.time()
                    try:
                        r = subprocess.run(m["run"], shell=True, cwd=build, env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, timeout=TIMEOUT)
                        verdict = "survived" if r.returncode == 0 else "killed"
                    except subprocess.TimeoutExpired:
                        verdict = "killed"
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
        tally[verdict] += 1
        print(f"{verdict:9} {m['list']:18} {m['name']}", flush=True)
    # Leave the scratch build matching the tree again.
    subprocess.run(["cmake", "--build", build], stdout=subprocess.DEVNULL)
    print(f"\n{len(mutants)} mutants: {tally['killed']} killed, {tally['survived']} survived, "
          f"{tally['stale']} stale (text not found once), {tally['broken']} broken (did not build)")
    return 0 if tally["survived"] == tally["stale"] == tally["broken"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
