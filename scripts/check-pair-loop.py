#!/usr/bin/env python3
"""Static check of the CPU force pass's pair loop: llvm-mca on the compiled loop.

For the x86-64-v4 and x86-64-v3 objects of the CPU loops (cpu_level.cpp, one object per level),
takes the pair loop of each division (compute_group with the divider's arithmetic, "hardware",
and with the fused multiply-adds', "fma"), runs llvm-mca on it for Intel and AMD models, and
prints the simulated cycles per pair evaluation and vector beside the bound that the execution
ports alone set. Also prints the vector operations per pair and vector in the machine code, the
count the benchmark's FMA floor uses.

The ports' bound is the larger of two figures from llvm-mca: the block reciprocal throughput,
which spreads each instruction's micro-operations evenly over the ports that may take them,
and the busiest port's cycles in the simulated schedule. The first alone can lie below any
schedule: a model that lets a load's micro-operation take port 0, 1 or 5 counts a third of it
on port 1, while the 512-bit arithmetic, which port 1 cannot take, already fills ports 0 and 5.
A loop that latency bounds leaves every port idle for part of the time, so that its cycles
exceed both figures.

Fails (exit status 1) when the fma division's loop takes more than --limit (1.15) times its
bound on an Intel model: a loop that latency, not the ports, bounds. Needs no particular
processor: llvm-mca simulates the models. Uses the newest llvm-mca installed (Debian 12 has
llvm-mca-19 in the llvm-19 package; its models include sapphirerapids and znver4).

    scripts/check-pair-loop.py [--build-dir build] [--object LEVEL=PATH ...] [--limit 1.15]
                               [--llvm-mca llvm-mca]

The objects are those of the build folder (default: build, as the release preset makes it), or
the ones named (the ctest kernels.pair_loop names them).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

LEVELS = {"x86-64-v4": "level_x86_64_v4", "x86-64-v3": "level_x86_64_v3"}
DIVISIONS = {"hardware": "IeeeArithmetic", "fma": "FmaArithmetic"}
# The models: the Intel ones decide the check; znver4 only where this llvm-mca knows it.
INTEL_MODELS = ["skylake-avx512", "icelake-server", "sapphirerapids"]
OTHER_MODELS = ["znver4"]

INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s*(.*)$")
BRANCH = re.compile(r"^(j[a-z]+)\s+([0-9a-f]+)\b")
# Instructions that only move data (loads, stores, register copies, broadcasts from memory) and
# the loop's scalar bookkeeping: not vector operations of the pair evaluation.
MOVES = re.compile(r"^(vmov|vbroadcast|kmov|mov|lea|add|sub|cmp|test|inc|dec|cmov|j|nop|xchg|push|pop)")


def tool(name, fallbacks):
    for candidate in [name] + fallbacks:
        path = shutil.which(candidate)
        if path:
            return path
    return None


def pairs_in_flight(source_dir):
    text = open(os.path.join(source_dir, "src", "kernels", "cpu_level.cpp")).read()
    match = re.search(r"constexpr int kPairsInFlight = (\d+);", text)
    if not match:
        sys.exit("check-pair-loop: kPairsInFlight not found in cpu_level.cpp")
    return int(match.group(1))


def compute_group_symbol(objdump_tool, nm, obj, arithmetic):
    """The mangled name of compute_group<...arithmetic...> in the object."""
    out = subprocess.run([nm, obj], capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if "compute_group" in line]
    demangled = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True,
                               text=True, check=True).stdout.splitlines()
    found = [m for m, d in zip(names, demangled) if "compute_group<" in d and arithmetic in d]
    if len(found) != 1:
        sys.exit(f"check-pair-loop: {len(found)} compute_group<{arithmetic}> in {obj}")
    return found[0]


def disassemble(objdump_tool, obj, symbol):
    out = subprocess.run([objdump_tool, "-d", "--no-show-raw-insn", f"--disassemble={symbol}",
                          obj], capture_output=True, text=True, check=True).stdout
    code = []
    for line in out.splitlines():
        match = INSTRUCTION.match(line)
        if match and match.group(2).strip():
            text = match.group(2).split("#")[0].strip()
            text = re.sub(r"\s+<[^>]*>", "", text)
            code.append((int(match.group(1), 16), text))
    return code


def hot_path(code, header):
    """The loop through `header` as the processor runs it when no fallback is taken: from the
    header on, conditional branches fall through, except one to a latch (a block that jumps
    back to the header with no branch of its own), and the path ends at the branch back to
    the header. None when no such loop closes."""
    index_of = {address: k for k, (address, _) in enumerate(code)}
    k = index_of[header]
    path = []
    while k < len(code) and len(path) < 20000:
        address, text = code[k]
        path.append(text)
        branch = BRANCH.match(text)
        if branch:
            target = int(branch.group(2), 16)
            if target == header:
                return path
            if branch.group(1) == "jmp" or target not in index_of:
                return None
            latch = []
            for _, latch_text in code[index_of[target]:index_of[target] + 16]:
                latch.append(latch_text)
                latch_branch = BRANCH.match(latch_text)
                if latch_branch:
                    if latch_branch.group(1) == "jmp" and int(latch_branch.group(2), 16) == header:
                        return path + latch
                    break
        elif text.startswith("ret"):
            return None
        k += 1
    return None


def pair_loop(objdump_tool, obj, symbol):
    """The instructions of the function's pair loop: of the loops through the targets of
    backward branches, the one whose hot path holds the most vector operations. GCC moves
    the rare fallbacks out of the hot path, jumping back from them."""
    code = disassemble(objdump_tool, obj, symbol)
    best = None
    for address, text in code:
        branch = BRANCH.match(text)
        if branch and int(branch.group(2), 16) <= address:
            path = hot_path(code, int(branch.group(2), 16))
            if path and (best is None or vector_operations(path) > vector_operations(best)):
                best = path
    if best is None:
        sys.exit(f"check-pair-loop: no loop in {symbol}")
    return best


def vector_operations(loop):
    return sum(1 for text in loop if "%zmm" in text or "%ymm" in text or "%xmm" in text or
               re.match(r"^k[a-z]", text)
               if not MOVES.match(text))


def mca_source(loop):
    lines = [".Lloop:"]
    for text in loop:
        branch = BRANCH.match(text)
        lines.append(f"    {branch.group(1)} .Lloop" if branch else f"    {text}")
    return "\n".join(lines) + "\n"


def run_mca(mca, cpu, source):
    result = subprocess.run([mca, f"-mcpu={cpu}", "-iterations=200", "-all-stats=false",
                             "-resource-pressure", "-instruction-info=false"],
                            input=source, capture_output=True, text=True)
    if result.returncode != 0:
        return None
    values = {}
    for key, pattern in [("iterations", r"Iterations:\s+(\d+)"),
                         ("cycles", r"Total Cycles:\s+(\d+)"),
                         ("throughput", r"Block RThroughput:\s+([0-9.]+)")]:
        match = re.search(pattern, result.stdout)
        if not match:
            return None
        values[key] = float(match.group(1))
    # The line under "Resource pressure per iteration:" and its header: each port's (and
    # divider's) busy cycles per iteration in the simulated schedule.
    lines = result.stdout.splitlines()
    rows = [k for k, line in enumerate(lines) if line.startswith("Resource pressure per iteration")]
    if not rows or rows[0] + 2 >= len(lines):
        return None
    busy = [0.0 if v == "-" else float(v) for v in lines[rows[0] + 2].split()]
    values["busiest"] = max(busy)
    values["bound"] = max(values["throughput"], values["busiest"])
    return values


def known_cpus(mca):
    result = subprocess.run([mca, "-mcpu=help", "-mtriple=x86_64"], input="",
                            capture_output=True, text=True)
    return set(re.findall(r"^\s+([a-z0-9-]+)\s+- ", result.stdout + result.stderr, re.M))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--source-dir", default=os.path.dirname(here))
    parser.add_argument("--build-dir", default=None, help="the build folder (default: build)")
    parser.add_argument("--object", action="append", default=[],
                        help="LEVEL=PATH: the object of cpu_level.cpp for x86-64-v4 or -v3")
    parser.add_argument("--limit", type=float, default=1.15)
    parser.add_argument("--llvm-mca", default=None)
    args = parser.parse_args()
    build = args.build_dir or os.path.join(args.source_dir, "build")

    versions = [f"llvm-mca-{v}" for v in range(25, 12, -1)]
    mca = args.llvm_mca or tool(versions[0], versions[1:] + ["llvm-mca"])
    objdump_tool = tool("objdump", [])
    nm = tool("nm", [])
    if not (mca and objdump_tool and nm and shutil.which("c++filt")):
        print("check-pair-loop: needs llvm-mca (Debian: apt-get install llvm-19), objdump, nm and "
              "c++filt")
        return 1
    cpus = known_cpus(mca)
    models = INTEL_MODELS + [cpu for cpu in OTHER_MODELS if cpu in cpus]
    n = pairs_in_flight(args.source_dir)
    objects = {}
    for given in args.object:
        level, _, path = given.partition("=")
        if level not in LEVELS or not path:
            parser.error(f"--object {given}: not x86-64-v4=PATH or x86-64-v3=PATH")
        objects[level] = path

    failures = []
    print(f"pair loop: {n} pairs per iteration; cycles per pair and vector, simulated by "
          f"{os.path.basename(mca)}, against the ports' bound (the larger of the block reciprocal "
          f"throughput and the busiest port)")
    print(f"{'level':10} {'division':9} {'ops':>6}  " +
          "  ".join(f"{cpu:>32}" for cpu in models))
    for level, target in LEVELS.items():
        obj = objects.get(level) or os.path.join(build, "src", "kernels", "CMakeFiles",
                                                 f"lumeth_kernels_{target}.dir", "cpu_level.cpp.o")
        if not os.path.exists(obj):
            print(f"check-pair-loop: {obj} missing (not a portable x86-64 build with GCC?)")
            return 1
        for division, arithmetic in DIVISIONS.items():
            symbol = compute_group_symbol(objdump_tool, nm, obj, arithmetic)
            loop = pair_loop(objdump_tool, obj, symbol)
            source = mca_source(loop)
            cells = []
            for cpu in models:
                values = run_mca(mca, cpu, source)
                if values is None:
                    cells.append(f"{'llvm-mca failed':>32}")
                    if division == "fma" and cpu in INTEL_MODELS:
                        failures.append(f"{level} {division} on {cpu}: llvm-mca failed")
                    continue
                cycles = values["cycles"] / values["iterations"]
                ratio = cycles / values["bound"]
                cells.append(f"{cycles / n:7.1f} / {values['bound'] / n:5.1f} = {ratio:4.2f}x "
                             f"({values['throughput'] / n:5.1f})")
                if division == "fma" and cpu in INTEL_MODELS and ratio > args.limit:
                    failures.append(f"{level} {division} on {cpu}: {ratio:.2f}x its bound, "
                                    f"over {args.limit:.2f}x")
            print(f"{level:10} {division:9} {vector_operations(loop) / n:6.1f}  " +
                  "  ".join(cells))
    print("(ops: vector operations per pair and vector in the machine code, moves and loads "
          "not counted; in brackets the block reciprocal throughput alone)")
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
