"""Memory per idle terminal at scale: N brokers, each with the shell
`sleep 1000`, against node-pty with N terminals in one Node.js process.

PSS (proportional set size) splits every shared page among the processes
that map it, so the sum over the brokers is what they cost together; the
shells are never counted. For node-pty the Node.js process holds every
terminal: its own PSS over N is the figure (its children are the shells,
not counted; any other child would be, and is listed). The breakdown reads
/proc/PID/smaps of a sample of brokers, mapping by mapping.
"""

import os
import resource
import statistics
import subprocess
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
STACK_KB = (8180, 8200)  # a thread stack: 8 MiB (RLIMIT_STACK) mapped read-write


def rollup(pid):
    """The fields of /proc/PID/smaps_rollup, in kB."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as text:
        for line in text:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1])
    return fields


def threads(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


def mappings(pid):
    """(name, size kB, Pss kB, Private_Dirty kB) of every mapping of pid."""
    out = []
    current = None
    with open(f"/proc/{pid}/smaps") as text:
        for line in text:
            head = line.split()
            if "-" in head[0] and not head[0].endswith(":"):
                if current:
                    out.append(current)
                name = head[5] if len(head) > 5 else ""
                current = {"name": name, "perms": head[1], "Size": 0, "Pss": 0, "Private_Dirty": 0}
            elif head[0].rstrip(":") in ("Size", "Pss", "Private_Dirty"):
                current[head[0].rstrip(":")] = int(head[1])
    if current:
        out.append(current)
    return out


def classify(mapping):
    name = mapping["name"]
    if name == "[heap]":
        return "heap"
    if name == "[stack]":
        return "main thread stack"
    if name.startswith("["):
        return "kernel ([vdso], [vvar])"
    if not name:
        if "w" in mapping["perms"] and STACK_KB[0] <= mapping["Size"] <= STACK_KB[1]:
            return "thread stacks"
        return "other anonymous"
    base = os.path.basename(name)
    for library in ("libstdc++", "libc.so", "libm.so", "libgcc_s", "ld-linux", "libutil"):
        if base.startswith(library):
            return base.split(".so")[0]
    if base == "terminal-stream-broker":
        return "broker binary"
    return "other files"


def breakdown(pids):
    """Per class of mapping: mean PSS and private dirty kB over pids."""
    sums = {}
    for pid in pids:
        for mapping in mappings(pid):
            pss, dirty = sums.get(classify(mapping), (0, 0))
            sums[classify(mapping)] = (pss + mapping["Pss"], dirty + mapping["Private_Dirty"])
    return {name: (pss / len(pids), dirty / len(pids)) for name, (pss, dirty) in sums.items()}


def raise_file_limit(need):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(need, hard), hard))


def brokers_idle(broker, count, settle=1.0, sample=20):
    """Starts `count` brokers on `sleep 1000`, measures, ends them."""
    raise_file_limit(3 * count + 100)
    env = dict(os.environ)
    env.pop("TERMINAL_STREAM_SHELL_CMD_JSON", None)
    procs = []
    try:
        for _ in range(count):
            procs.append(subprocess.Popen([broker, "--", "sleep", "1000"], stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env))
        for proc in procs:
            if b'"type":"ready"' not in proc.stdout.readline():
                raise RuntimeError("a broker did not start")
        time.sleep(settle)
        rolls = [rollup(p.pid) for p in procs]
        result = {
            "count": count,
            "pss_kb": sum(r["Pss"] for r in rolls) / count,
            "rss_kb": statistics.median(r["Rss"] for r in rolls),
            "private_dirty_kb": statistics.median(r["Private_Dirty"] for r in rolls),
            "threads": statistics.median(threads(p.pid) for p in procs),
            "breakdown": breakdown([p.pid for p in procs[:: max(1, count // sample)]]),
        }
    finally:
        for proc in procs:
            proc.stdin.close()
        for proc in procs:
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            proc.stdout.close()
    return result


def nodepty_idle(count):
    """PSS of one Node.js process holding `count` node-pty terminals."""
    raise_file_limit(3 * count + 100)
    proc = subprocess.Popen(["node", os.path.join(BENCH, "nodepty_idle.js"), str(count)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=BENCH)
    try:
        line = proc.stdout.readline().split()
        if not line or line[0] != b"ready":
            raise RuntimeError("node-pty terminals did not start")
        shells = {int(pid) for pid in line[1:]}
        roll = rollup(proc.pid)
        others = []
        for task in os.listdir(f"/proc/{proc.pid}/task"):
            with open(f"/proc/{proc.pid}/task/{task}/children") as children:
                others += [int(pid) for pid in children.read().split() if int(pid) not in shells]
        other_pss = sum(rollup(pid)["Pss"] for pid in others)
        result = {"count": count, "process_pss_kb": roll["Pss"], "other_children": len(others),
                  "pss_kb": (roll["Pss"] + other_pss) / count, "threads": threads(proc.pid)}
    finally:
        proc.stdin.close()
        proc.wait(timeout=60)
    return result
