#!/usr/bin/env python3
"""Recounts the double-precision instructions of the force kernel's pair loop in every cubin of
the kernels image a built program carries, NVRTC's cubins included, and checks them against the
benchmark's table (kPairLoopFp64 in bench/gpu_rows.cpp): each cubin has its entry, with its
count, NVRTC's cubin of an architecture the same as nvcc's. NVRTC's cubins that nvdisasm no
longer reads (sm_60 and sm_70 with CUDA 13) are listed as not counted; the table has no entry
for them. The pair loop
is the loop (a backward branch and what it spans) with the most DFMA, DMUL and DADD.

usage: pair_loop_fp64.py CUOBJDUMP BENCH_SOURCE KERNEL PROGRAM
Prints SKIP and exits 0 where cuobjdump cannot disassemble (it needs nvdisasm beside it or on
the PATH).
"""
import os
import re
import subprocess
import sys
import tempfile

from kernels_image import extract, fail, nvrtc_images


def table(source):
    text = open(source).read()
    body = re.search(r"kPairLoopFp64\[\]\s*=\s*\{(.*?)\};", text, re.S)
    if not body:
        fail(f"no kPairLoopFp64 table in {source}")
    return {int(a): int(n) for a, n in re.findall(r"\{(\d+),\s*(\d+)\}", body.group(1))}


def pair_loop_count(sass):
    instructions = [(int(a, 16), text) for a, text in
                    re.findall(r"/\*([0-9a-f]{4,})\*/\s+([^;]*);", sass)]
    best = 0
    for address, text in instructions:
        branch = re.search(r"\bBRA\b.*?(0x[0-9a-f]+)", text)
        if not branch or int(branch.group(1), 16) >= address:
            continue
        start = int(branch.group(1), 16)
        count = sum(1 for at, t in instructions if start <= at <= address and
                    re.match(r"(@!?U?P[0-9T] )?(DFMA|DMUL|DADD)\b", t))
        best = max(best, count)
    return best


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    tool, source, kernel, program = sys.argv[1:]
    expected = table(source)
    image = extract(program)
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "kernels.fatbin")
        with open(path, "wb") as f:
            f.write(image)
        listing = subprocess.run([tool, "--list-elf", path], capture_output=True, text=True)
        architectures = sorted({int(a) for a in re.findall(r"\.sm_(\d+)\.cubin", listing.stdout)})
        environment = dict(os.environ)
        environment["PATH"] = os.path.dirname(tool) + os.pathsep + environment.get("PATH", "")
        counted = {}
        for architecture in architectures:
            run = subprocess.run([tool, "-sass", "-arch", f"sm_{architecture}", "-fun", kernel,
                                  path], capture_output=True, text=True, env=environment)
            if "nvdisasm" in run.stderr:
                print(f"SKIP: cuobjdump cannot disassemble without nvdisasm: {run.stderr.strip()}")
                return 0
            if run.returncode != 0:
                fail(f"cuobjdump -sass -arch sm_{architecture} failed: {run.stderr.strip()}")
            counted[architecture] = pair_loop_count(run.stdout)
        # NVRTC's cubins, by the architecture their ELF header names.
        not_counted = []
        for image in nvrtc_images(program):
            if not image.startswith(b"\x7fELF"):
                continue
            path = os.path.join(scratch, "nvrtc.cubin")
            with open(path, "wb") as f:
                f.write(image)
            architecture = int(re.search(r"\.sm_(\d+)\.cubin", subprocess.run(
                [tool, "--list-elf", path], capture_output=True, text=True).stdout).group(1))
            run = subprocess.run([tool, "-sass", "-fun", kernel, path], capture_output=True,
                                 text=True, env=environment)
            if "is not defined for option 'binary'" in run.stderr:
                not_counted.append(f"sm_{architecture}")
                if architecture in expected:
                    fail(f"the benchmark's table counts sm_{architecture}, which nvdisasm cannot "
                         "disassemble")
                continue
            if run.returncode != 0:
                fail(f"cuobjdump -sass on NVRTC's sm_{architecture} cubin failed: "
                     f"{run.stderr.strip()}")
            count = pair_loop_count(run.stdout)
            if counted.get(architecture, count) != count:
                fail(f"NVRTC's sm_{architecture} cubin holds {count} FP64 instructions a pair, "
                     f"nvcc's {counted[architecture]}: the table needs an entry per compiler")
            counted[architecture] = count
    if not_counted:
        print(f"NVRTC cubins nvdisasm cannot disassemble (no floor): {', '.join(not_counted)}")
    for architecture, count in counted.items():
        if expected.get(architecture) != count:
            fail(f"sm_{architecture}: the pair loop holds {count} FP64 instructions, the "
                 f"benchmark's table says {expected.get(architecture)}")
    print(f"{program}: FP64 instructions per pair, {counted}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
