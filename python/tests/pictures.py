"""Checks that a file is a PNG image of plausible size, from its header."""

import os
import struct

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(path):
    """(width, height) of a PNG file; raises ValueError when it is not one."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != PNG_SIGNATURE or head[12:16] != b"IHDR":
        raise ValueError("%s is not a PNG file" % path)
    return struct.unpack(">II", head[16:24])


def assert_plausible_png(case, path, min_width=300, min_height=200, max_side=6000):
    case.assertTrue(os.path.isfile(path), "%s was not written" % path)
    width, height = png_size(path)
    case.assertGreaterEqual(width, min_width, path)
    case.assertGreaterEqual(height, min_height, path)
    case.assertLessEqual(max(width, height), max_side, path)
    # A blank canvas compresses to a few kilobytes; a drawn figure does not.
    case.assertGreater(os.path.getsize(path), 8000, path)
