"""Times Pillow doing the GIF route's steps on a raw 24-bit frame.

Usage: pillow_gif_steps.py FRAME.rgb WIDTH HEIGHT ITERATIONS
FRAME.rgb holds WIDTH x HEIGHT pixels as red, green, blue bytes, top row first.
Prints the mean wall-clock and processor milliseconds per iteration of: quantize to 256 colours with the fast
octree and no dithering, nearest resize to 90 x 90, save as GIF into memory.
"""
import io
import sys
import time

from PIL import Image


def main():
    path, width, height, iterations = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    with open(path, "rb") as f:
        frame = Image.frombytes("RGB", (width, height), f.read())

    def steps():
        small = frame.quantize(256, method=Image.Quantize.FASTOCTREE, dither=Image.Dither.NONE)
        small = small.resize((90, 90), Image.Resampling.NEAREST)
        out = io.BytesIO()
        small.save(out, "GIF")
        return out.tell()

    for _ in range(5):
        steps()
    start, start_cpu = time.perf_counter(), time.process_time()
    for _ in range(iterations):
        steps()
    elapsed, elapsed_cpu = time.perf_counter() - start, time.process_time() - start_cpu
    print("%.6f %.6f" % (elapsed * 1000.0 / iterations, elapsed_cpu * 1000.0 / iterations))


if __name__ == "__main__":
    main()
