#!/usr/bin/python3
# Compares two sets of approved result files number by number: every token
# that is not a number must be the same, and every number must agree to
# within `--units` units of its last printed digit (of the finer of the
# two) or a relative 1e-12; in the files of single-precision values (test
# images, histograms), also to within `--float-ulps` units in the last place
# of a float (a float printed with eight digits moves by up to 6 units of its
# last digit when it moves by one unit in its last place). For a change that moves only the last bits of the
# sums (a change of how they are added, not of what is added), run against
# the approved files of the revision before it:
#
#   tests/golden/compare-numbers.py --against REV [--units N] [--float-ulps N] [--kind threads] [DECK...]
#
# Compares tests/golden/expected/DECK/KIND/* in the working tree with the
# same files at git revision REV; prints each file's largest deviation and
# exits 1 when a file is missing or a number lies farther off.
import argparse
import gzip
import math
import os
import re
import subprocess
import sys

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
expected = os.path.join("tests", "golden", "expected")
number = re.compile(r"^[-+]?(\d+\.?\d*|\.\d+)([eEdD][-+]?\d+)?$")


def last_digit_unit(token):
    # The value of one unit of the last digit printed.
    parts = re.split(r"[eEdD]", token)
    mant, exp = parts[0], int(parts[1]) if len(parts) > 1 else 0
    decimals = len(mant.split(".")[1]) if "." in mant else 0
    return 10.0 ** (exp - decimals)


def value(token):
    return float(re.sub(r"[dD]", "e", token))


def float_ulp(v):
    # The spacing of the floats at v.
    return math.ldexp(1.0, math.frexp(abs(v))[1] - 24) if v != 0.0 else math.ldexp(1.0, -149)


def compare(old, new, units, ulps):
    """Largest deviation in units of the last digit, or None when the texts do not match."""
    a, b = old.split(), new.split()
    if len(a) != len(b):
        return None, "%d tokens against %d" % (len(a), len(b))
    worst = worst_ulps = 0.0
    moved = 0
    for x, y in zip(a, b):
        if x == y:
            continue
        moved += 1
        if not (number.match(x) and number.match(y)):
            return None, "'%s' against '%s'" % (x, y)
        vx, vy = value(x), value(y)
        diff = abs(vx - vy)
        if diff <= 1e-12 * max(abs(vx), abs(vy)):
            continue
        unit = min(last_digit_unit(x), last_digit_unit(y))
        in_ulps = diff / float_ulp(max(abs(vx), abs(vy)))
        worst = max(worst, diff / unit)
        worst_ulps = max(worst_ulps, in_ulps)
        if diff > units * unit and in_ulps > ulps:
            return None, "%s against %s (%.3g units of the last digit, %.3g of a float)" % (x, y, diff / unit, in_ulps)
    return worst, "%d of %d numbers moved (at most %.3g units in the last place of a float)" % (
        moved, len(a), worst_ulps)


def git_bytes(rev, path):
    r = subprocess.run(["git", "-C", root, "show", "%s:%s" % (rev, path)], capture_output=True)
    return r.stdout if r.returncode == 0 else None


def text_of(name, data):
    if name.endswith(".gz"):
        data = gzip.decompress(data)
    return data.decode("latin-1")


def main():
    p = argparse.ArgumentParser(description="compare approved result files number by number")
    p.add_argument("--against", required=True, help="git revision of the earlier approved files")
    p.add_argument("--units", type=float, default=3.0, help="units of the last printed digit allowed (3)")
    p.add_argument("--float-ulps", type=float, default=2.0,
                   help="units in the last place of a float allowed in single-precision files (2)")
    p.add_argument("--kind", default="threads", help="serial or threads (threads)")
    p.add_argument("decks", nargs="*")
    o = p.parse_args()
    decks = o.decks or sorted(os.listdir(os.path.join(root, expected)))
    failed = files = changed = 0
    for deck in decks:
        folder = os.path.join(expected, deck, o.kind)
        if not os.path.isdir(os.path.join(root, folder)):
            continue
        for name in sorted(os.listdir(os.path.join(root, folder))):
            path = os.path.join(folder, name)
            with open(os.path.join(root, path), "rb") as f:
                new = f.read()
            old = git_bytes(o.against, path)
            files += 1
            if old is None:
                print("FAIL %s: not approved at %s" % (path, o.against))
                failed = 1
                continue
            if old == new:
                continue
            changed += 1
            single = name.endswith(".TESTIMAGE") or ".hist" in name
            worst, why = compare(text_of(name, old), text_of(name, new), o.units, o.float_ulps if single else 0.0)
            if worst is None:
                print("FAIL %s: %s" % (path, why))
                failed = 1
            else:
                print("%s: %s, within %.3g units of the last printed digit" % (path, why, worst))
    print("compare-numbers: %d files, %d changed, %s" % (files, changed, "some differ" if failed else "all agree"))
    return failed


if __name__ == "__main__":
    sys.exit(main())
