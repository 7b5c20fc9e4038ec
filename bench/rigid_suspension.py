#!/usr/bin/env python3
"""Writes input.dat and input.cnd of a suspension of rigid ellipsoids.

    rigid_suspension.py TEMPLATE_DAT OUT_DIR COUNT [SEED]

TEMPLATE_DAT is a unit sphere written by velmora-mesh (oriented for exterior
flow: normals into the body).  Each of the COUNT bodies is that sphere
scaled to semi-axes (1, 0.75, 0.5), turned by a random rotation (a proper
rotation keeps the orientation) and placed at a random point of a cube,
rejecting points closer than 2.2 to an earlier centre (the bounding spheres
of radius 1 stay 0.2 apart), the cube sized for a bounding-sphere volume
fraction of 10 %.
"""
import math
import random
import sys


def read_template(path):
    with open(path) as f:
        lines = f.read().splitlines()
    nelem, nnode = (int(v) for v in lines[2].split()[:2])
    nodes = [tuple(float(v) for v in lines[4 + k].split()[1:4]) for k in range(nnode)]
    elems = [tuple(int(v) for v in lines[5 + nnode + e].split()[1:4]) for e in range(nelem)]
    return nodes, elems


def random_rotation(rng):
    # Uniform unit quaternion.
    u1, u2, u3 = rng.random(), rng.random(), rng.random()
    a, b = math.sqrt(1 - u1), math.sqrt(u1)
    w, x = a * math.sin(2 * math.pi * u2), a * math.cos(2 * math.pi * u2)
    y, z = b * math.sin(2 * math.pi * u3), b * math.cos(2 * math.pi * u3)
    return [[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]]


def main():
    template, out, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    nodes, elems = read_template(template)
    side = (count * 4.0 / 3.0 * math.pi / 0.10) ** (1.0 / 3.0)
    centres = []
    cell = 2.2
    grid = {}
    while len(centres) < count:
        c = tuple(rng.uniform(0, side) for _ in range(3))
        key = tuple(int(v // cell) for v in c)
        near = [grid.get((key[0] + i, key[1] + j, key[2] + k), [])
                for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)]
        if any(math.dist(c, centres[q]) < 2.2 for lst in near for q in lst):
            continue
        grid.setdefault(key, []).append(len(centres))
        centres.append(c)
    axes = (1.0, 0.75, 0.5)
    nn, ne = len(nodes), len(elems)
    with open(out + "/input.dat", "w") as f:
        f.write("Suspension of %d rigid ellipsoids (1, 0.75, 0.5), random orientations\n" % count)
        f.write("bench/rigid_suspension.py\n")
        f.write("%d %d 1.0\n" % (ne * count, nn * count))
        f.write("Nodes: number, x, y, z\n")
        k = 0
        for c in centres:
            rot = random_rotation(rng)
            for p in nodes:
                q = [axes[i] * p[i] for i in range(3)]
                k += 1
                x = [c[i] + sum(rot[i][j] * q[j] for j in range(3)) for i in range(3)]
                f.write("%d %.15g %.15g %.15g\n" % (k, x[0], x[1], x[2]))
        f.write("Elements: number, nodes n1 n2 n3, codes, values\n")
        e = 0
        for b in range(count):
            off = b * nn
            for t in elems:
                e += 1
                f.write("%d %d %d %d 1 1 1 0 0 0\n" % (e, t[0] + off, t[1] + off, t[2] + off))
    maxcel = ne * count // 4 + 1000
    with open(out + "/input.cnd", "w") as f:
        f.write("%.3g 30 0 0 1 10 1e-6   snaptol, M, two unused, iprec, ncycle, tol\n" % (1e-8 * side))
        f.write("20 2 40 %d 10 7 1.01   maxdep, minlev, maxl, maxcel, nexp, ngauss, cubfac\n" % maxcel)


if __name__ == "__main__":
    main()
