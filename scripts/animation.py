#!/usr/bin/python3
"""Turns a lumeth-record video into a small animated WebP for the README.

Usage: scripts/animation.py IN.mkv OUT.webp [--width W] [--fps F] [--quality Q]

Decodes IN (best a lossless FFV1 .mkv) with PyAV, scales every frame to W pixels wide
(default 960, the height in proportion) and writes a looping animated WebP with Pillow.
Needs Debian's python3-av and python3-pil.
"""
import argparse

import av
from PIL import Image


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--width", type=int, default=960)
    parser.add_argument("--fps", type=float, default=15.0)
    parser.add_argument("--quality", type=int, default=70, help="WebP quality, 0 to 100")
    args = parser.parse_args()

    frames = []
    with av.open(args.input) as container:
        for frame in container.decode(video=0):
            image = frame.to_image()
            height = round(image.height * args.width / image.width)
            frames.append(image.resize((args.width, height), Image.LANCZOS))
    if not frames:
        raise SystemExit(f"{args.input}: no frames")
    frames[0].save(args.output, save_all=True, append_images=frames[1:], loop=0,
                   duration=round(1000 / args.fps), quality=args.quality, method=4)
    print(f"{args.output}: {len(frames)} frames of {frames[0].width}x{frames[0].height}")


if __name__ == "__main__":
    main()
