"""Drag of spheroids against the exact values of Chwang and Wu (1975).

Spheroids of equal volume (that of the unit sphere) with aspect ratio
c/a from 1/4 (oblate discs) to 4 (prolate rods), translating along their
axis of symmetry and across it; each solve is one call of velmora.solve.
Writes docs/pictures/python_drag.png and prints the table.

    python3 examples/python/spheroid_drag.py [--refine L] [--out FILE]
"""

import argparse
import math
import os

import numpy as np

import velmora


def exact_drag(a, c, axial, mu=1.0, U=1.0):
    """Force magnitude on a spheroid with equatorial semi-axis a and polar
    semi-axis c translating at U along (axial) or across its axis."""
    if abs(c - a) < 1e-12 * a:
        return 6 * math.pi * mu * a * U
    if c > a:  # prolate: semi-major axis c, eccentricity e
        e = math.sqrt(1 - (a / c) ** 2)
        L = math.log((1 + e) / (1 - e))
        if axial:
            return 16 * math.pi * mu * c * e ** 3 * U / ((1 + e * e) * L - 2 * e)
        return 32 * math.pi * mu * c * e ** 3 * U / (2 * e + (3 * e * e - 1) * L)
    e = math.sqrt(1 - (c / a) ** 2)  # oblate: semi-major axis a
    s = math.asin(e)
    if axial:
        return 8 * math.pi * mu * a * e ** 3 * U / (e * math.sqrt(1 - e * e) - (1 - 2 * e * e) * s)
    return 16 * math.pi * mu * a * e ** 3 * U / ((1 + 2 * e * e) * s - e * math.sqrt(1 - e * e))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--refine", type=int, default=3)
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "..", "..", "docs", "pictures",
                                                  "python_drag.png"))
    args = ap.parse_args()

    ratios = [0.25, 0.4, 0.6, 0.8, 1.0, 1.5, 2.0, 3.0, 4.0]
    rows = []
    print(f"{'c/a':>5} {'motion':>7} {'velmora':>10} {'exact':>10} {'error %':>8} {'its':>4}")
    for q in ratios:
        a = q ** (-1 / 3)  # a^2 c = 1: the volume of the unit sphere
        c = q * a
        mesh = velmora.spheroid(axes=(a, c), refine=args.refine)
        for axial, U in ((True, (0, 0, 1)), (False, (1, 0, 0))):
            s = velmora.solve(mesh, velocity=U)
            F = -s.force()[0][2 if axial else 0]
            ex = exact_drag(a, c, axial)
            rows.append((q, axial, F, ex))
            print(f"{q:5.2f} {'axial' if axial else 'across':>7} {F:10.5f} {ex:10.5f} "
                  f"{100 * (F / ex - 1):8.3f} {s.iterations:4d}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    qq = np.geomspace(0.2, 5, 200)
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    for axial, colour, name in ((True, "C0", "along the axis"), (False, "C1", "across the axis")):
        ref = [exact_drag(q ** (-1 / 3), q ** (2 / 3), axial) / (6 * math.pi) for q in qq]
        ax.plot(qq, ref, colour, label=f"Chwang & Wu, {name}")
        pts = [(q, F / (6 * math.pi)) for q, ax_, F, _ in rows if ax_ == axial]
        ax.plot(*zip(*pts), "o", color=colour, mfc="none",
                label=f"velmora, {name} ({mesh.nelem} triangles)")
    ax.set_xscale("log")
    ax.set_xticks([0.25, 0.5, 1, 2, 4], ["1/4", "1/2", "1", "2", "4"])
    ax.minorticks_off()
    ax.set_xlabel("aspect ratio c/a (oblate < 1 < prolate)")
    ax.set_ylabel("drag / (6 pi mu U r_v)")
    ax.set_title("Spheroids of equal volume (radius r_v = 1)")
    ax.legend(fontsize=8)
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(args.out, dpi=110)
    print("wrote", os.path.normpath(args.out))


if __name__ == "__main__":
    main()
