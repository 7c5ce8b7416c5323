#!/usr/bin/env python3
"""What the way the gateway is linked costs per request.

Links the objects of an existing build (the gateway's main object and
libnph_core.a) several ways in a temporary folder, without touching the
build, and runs each once per figure against a loopback nginx with a typical
CGI environment:

  instructions  valgrind callgrind, whole process (loader included)
  syscalls      strace -c
  wall time     median of interleaved runs (noisy on a busy machine)

next to the trivial C CGI program linked dynamically and statically.

  bench/link_variants.py [--build-dir build] [--runs 200]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no cache folder left in bench/
import bench  # noqa: E402  (the benchmark's server and environment helpers)

VARIANTS = [
    ("as built: -static-libstdc++ -static-libgcc", ["-static-libstdc++", "-static-libgcc"]),
    ("shared C++ runtime", []),
    ("fully static (-static)", ["-static"]),
    ("static PIE (-static-pie)", ["-static-pie"]),
]


def callgrind(program, env, folder):
    out = os.path.join(folder, "callgrind.out")
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, program],
                          env=env, capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
    with open(out) as profile:
        for line in profile:
            if line.startswith("summary:"):
                return int(line.split()[1]), done.stdout
    return None, done.stdout


def syscalls(program, env, folder):
    out = os.path.join(folder, "strace.out")
    subprocess.run(["strace", "-f", "-c", "-o", out, program], env=env,
                   stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)
    with open(out) as summary:
        for line in summary:
            fields = line.split()
            if fields and fields[-1] == "total":
                # "% time, seconds, usecs/call, calls[, errors] total"
                return int(fields[3])
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(bench.REPO, "build"))
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    main_object = os.path.join(args.build_dir, "CMakeFiles", "nph-gw.dir", "gateway", "main.cpp.o")
    core = os.path.join(args.build_dir, "libnph_core.a")
    for needed in (main_object, core):
        if not os.path.isfile(needed):
            bench.log("missing %s: build the gateway in %s first" % (needed, args.build_dir))
            return 2

    root = tempfile.mkdtemp(prefix="nph-gw-link-")
    os.chmod(root, 0o755)
    servers = bench.Servers(root)
    try:
        www = os.path.join(root, "www")
        os.makedirs(www)
        os.chmod(www, 0o755)
        bench.write_file(os.path.join(www, "small.bin"), os.urandom(bench.SMALL_SIZE))
        servers.start_nginx()
        ini = "[Forward]\nTargetServer=127.0.0.1\nTargetPort=%d\n" % servers.nginx_port

        programs = []
        for number, (label, flags) in enumerate(VARIANTS):
            path = os.path.join(root, "nph-gw-%d" % number)
            done = subprocess.run(["c++", "-O2"] + flags + ["-o", path, main_object, core],
                                  capture_output=True, text=True)
            if done.returncode != 0:
                bench.log("%s does not link:\n%s" % (label, done.stderr))
                continue
            bench.write_file(path + ".ini", ini.encode())
            programs.append(("nph-gw, " + label, path))
        reply = None
        for label, flags in (("trivial C CGI, dynamic", []), ("trivial C CGI, static", ["-static"])):
            path = os.path.join(root, "trivial-%d" % len(programs))
            subprocess.run(["cc", "-O2", "-DREPLY_SIZE=1278"] + flags +
                           ["-o", path, os.path.join(HERE, "trivial_nph.c")], check=True)
            programs.append((label, path))

        rows = []
        for label, path in programs:
            env = bench.typical_cgi_environment(path, "/small.bin")
            instructions, reply = callgrind(path, env, root)
            if label.startswith("nph-gw") and not reply.startswith(b"HTTP/1.1 200"):
                bench.log("%s did not relay the target's reply: %r" % (label, reply[:100]))
            rows.append([label, path, instructions, syscalls(path, env, root),
                         os.path.getsize(path), []])
        # Interleaved, so that a change in the machine's load hits every variant alike.
        for _ in range(args.runs):
            for row in rows:
                env = bench.typical_cgi_environment(row[1], "/small.bin")
                start = time.perf_counter()
                subprocess.run([row[1]], env=env, stdout=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL)
                row[5].append(time.perf_counter() - start)

        print("| Program | Instructions | System calls | Size | Median wall time |")
        print("|---|---:|---:|---:|---:|")
        for label, _, instructions, calls, size, times in rows:
            print("| %s | %s | %s | %d KiB | %.3f ms |" % (
                label, "{:,}".format(instructions) if instructions else "n/a", calls,
                (size + 1023) // 1024, statistics.median(times) * 1000))
        print()
        print("Load average: %s; %d runs each; wall time includes Python's fork and exec."
              % (bench.load_average(), args.runs))
    finally:
        servers.stop()
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
