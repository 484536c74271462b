"""Colour checks of the screenshot scripts' pictures.

A script's check imports this (PYTHONPATH=scripts), opens the pictures named on its command
line with pictures(), calls expect() for each point, may add its own findings to failures,
and ends with finish(), which prints what differed and exits 1, or says all is well.
Run with Debian's /usr/bin/python3, which python3-pil belongs to.
"""
import sys

from PIL import Image

failures = []


def pictures():
    """The pictures named on the command line, in RGB."""
    return [Image.open(p).convert("RGB") for p in sys.argv[1:]]


def expect(image, name, x, y, rgb, tolerance=0):
    """Notes a failure unless the pixel at (x, y) is rgb, each channel within tolerance."""
    got = image.getpixel((x, y))
    if any(abs(g - w) > tolerance for g, w in zip(got, rgb)):
        failures.append(f"{name} at ({x},{y}): {got}, want {rgb}")


def finish():
    """Prints the failures and exits 1 when there are any."""
    if failures:
        print("\n".join(failures))
        sys.exit(1)
    print("colours: all as expected")
