#!/usr/bin/env python3
"""Checks the kernels' fat binary that a built executable carries for the CUDA driver API
path: finds it after its 16-byte tag (cmake/embed_kernels_image.cmake), takes exactly the
bytes its header spans, and has cuobjdump confirm that it holds both kernels as device
functions, machine code for every real architecture and PTX for every virtual one.

With --nvrtc it also checks the NVRTC images the program carries (each after a tag
"lumeth:nvrtc" and its size in four bytes): exactly the listed ones, each a cubin of its
architecture (cuobjdump --list-elf) or PTX for its target, holding both kernels as entries.

usage: kernels_image.py CUOBJDUMP ARCHITECTURES KERNEL[,KERNEL...] [--nvrtc IMAGES] PROGRAM...
  ARCHITECTURES: as CMAKE_CUDA_ARCHITECTURES, separated by commas, e.g. "86,90-real" (86:
  sm_86 machine code and PTX; 90-real: sm_90 machine code only; N-virtual: PTX only;
  newest-virtual: PTX for an architecture at least as new as every machine code)
  IMAGES: the NVRTC images, separated by commas, e.g. "sm_60,sm_70,compute_60"; "none" for a
  build without them
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

TAG = b"lumeth:kernels\0\0"
NVRTC_TAG = b"lumeth:nvrtc"
FATBIN_MAGIC = 0xBA55ED50


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def extract(path):
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(TAG)
    if at < 0:
        fail(f"{path} carries no kernels image (no tag)")
    if data.find(TAG, at + 1) >= 0:
        fail(f"{path} carries the kernels image's tag more than once")
    start = at + len(TAG)
    magic, version, header_size, body_size = struct.unpack_from("<IHHQ", data, start)
    if magic != FATBIN_MAGIC or version != 1:
        fail(f"the image in {path} is no fat binary (magic {magic:#x}, version {version})")
    end = start + header_size + body_size
    if end > len(data):
        fail(f"the image in {path} runs past the end of the file")
    return data[start:end]


def cuobjdump(tool, option, image_path):
    run = subprocess.run([tool, option, image_path], capture_output=True, text=True)
    if run.returncode != 0:
        fail(f"cuobjdump {option} failed: {run.stderr.strip()}")
    return run.stdout


def highest(listing, suffix):
    """The highest architecture number among the listing's .sm_N.<suffix> files, 0 if none."""
    return max((int(n) for n in re.findall(rf"\.sm_(\d+)\.{suffix}$", listing, re.M)), default=0)


def check(tool, architectures, kernels, path):
    image = extract(path)
    with tempfile.TemporaryDirectory() as scratch:
        image_path = os.path.join(scratch, "kernels.fatbin")
        with open(image_path, "wb") as f:
            f.write(image)
        symbols = cuobjdump(tool, "-symbols", image_path)
        elves = cuobjdump(tool, "--list-elf", image_path)
        ptxs = cuobjdump(tool, "--list-ptx", image_path)
    for kernel in kernels:
        # One entry function per machine code file.
        entries = re.findall(rf"FUNC\s+GLOBAL\s+\S+\s+ENTRY\s+{re.escape(kernel)}\s*$", symbols,
                             re.M)
        if not entries:
            fail(f"no device function {kernel} in the image of {path}:\n{symbols}")
    wanted = []
    for arch in architectures:
        if arch == "newest-virtual":
            if highest(ptxs, "ptx") < highest(elves, "cubin"):
                fail(f"no PTX as new as every machine code in the image of {path}:\n{elves}{ptxs}")
            continue
        number = re.match(r"\d+", arch).group(0)
        if not arch.endswith("-virtual"):
            wanted.append((f".sm_{number}.cubin", elves, "machine code"))
        if not arch.endswith("-real"):
            wanted.append((f".sm_{number}.ptx", ptxs, "PTX"))
    for suffix, listing, what in wanted:
        if not any(line.endswith(suffix) for line in listing.splitlines()):
            fail(f"no {what} {suffix} in the image of {path}:\n{elves}{ptxs}")
    print(f"{path}: {len(image)} bytes of kernels image, {', '.join(kernels)}; "
          f"{' '.join(l.split()[-1] for l in (elves + ptxs).splitlines() if l.strip())}")


def nvrtc_images(path):
    """The NVRTC images in the program: (start offset, bytes) after each tag."""
    with open(path, "rb") as f:
        data = f.read()
    images = []
    at = data.find(NVRTC_TAG)
    while at >= 0:
        size = struct.unpack_from("<I", data, at + len(NVRTC_TAG))[0]
        start = at + 16
        if start + size > len(data):
            fail(f"an NVRTC image in {path} runs past the end of the file")
        images.append(data[start:start + size])
        at = data.find(NVRTC_TAG, start + size)
    return images


def check_nvrtc(tool, wanted, kernels, path):
    found = []
    with tempfile.TemporaryDirectory() as scratch:
        for image in nvrtc_images(path):
            if image.startswith(b"\x7fELF"):
                image_path = os.path.join(scratch, "image.cubin")
                with open(image_path, "wb") as f:
                    f.write(image)
                listing = cuobjdump(tool, "--list-elf", image_path)
                architecture = re.findall(r"\.(sm_\d+)\.cubin$", listing, re.M)
                if len(architecture) != 1:
                    fail(f"an NVRTC cubin of {path} is no cubin cuobjdump reads:\n{listing}")
                symbols = cuobjdump(tool, "-symbols", image_path)
                for kernel in kernels:
                    if not re.search(rf"FUNC\s+GLOBAL\s+\S+\s+ENTRY\s+{re.escape(kernel)}\s*$",
                                     symbols, re.M):
                        fail(f"no device function {kernel} in the {architecture[0]} cubin of "
                             f"{path}")
                found.append(architecture[0])
            else:
                text = image.rstrip(b"\0").decode("ascii", "replace")
                target = re.search(r"^\.target sm_(\d+)", text, re.M)
                if not target or len(image) == len(image.rstrip(b"\0")):
                    fail(f"an NVRTC image of {path} is neither a cubin nor zero-terminated PTX")
                for kernel in kernels:
                    if not re.search(rf"^\.visible \.entry {re.escape(kernel)}\(", text, re.M):
                        fail(f"no entry {kernel} in the compute_{target.group(1)} PTX of {path}")
                found.append(f"compute_{target.group(1)}")
    if sorted(found) != sorted(wanted):
        fail(f"{path} carries the NVRTC images {found}, not {wanted}")
    print(f"{path}: NVRTC images {' '.join(found) or 'none'}")


def main():
    arguments = sys.argv[1:]
    nvrtc = None
    if "--nvrtc" in arguments:
        at = arguments.index("--nvrtc")
        nvrtc = [] if arguments[at + 1] == "none" else arguments[at + 1].split(",")
        del arguments[at:at + 2]
    if len(arguments) < 4:
        sys.exit(__doc__)
    tool, architectures, kernels = arguments[0], arguments[1].split(","), arguments[2].split(",")
    for path in arguments[3:]:
        check(tool, [a for a in architectures if a], kernels, path)
        if nvrtc is not None:
            check_nvrtc(tool, nvrtc, kernels, path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
