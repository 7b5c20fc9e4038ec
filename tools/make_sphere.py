#!/usr/bin/env python3
"""Writes the sphere-translate example: a unit sphere of flat triangles
translating with velocity U = (1, 0, 0) through a fluid of viscosity 1.

The mesh is an icosahedron whose faces are split into four, `levels` times
(3 levels: 1280 triangles, 642 nodes), with every new node projected onto
the sphere.  Every element carries the prescribed velocity U (code 1 on all
three components), so the solve gives the traction on the surface and the
total force, which for a sphere of radius a is -6 pi mu a U.

Orientation: the element normal (n2 - n1) x (n3 - n1) must point INTO the
body, i.e. the nodes run clockwise seen from the fluid.  The script orients
every triangle that way and checks it.

Usage: tools/make_sphere.py [output directory] [levels]
"""
import math
import os
import sys


def icosphere(levels):
    t = (1.0 + math.sqrt(5.0)) / 2.0
    verts = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0),
             (0, -1, t), (0, 1, t), (0, -1, -t), (0, 1, -t),
             (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    faces = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11),
             (1, 5, 9), (5, 11, 4), (11, 10, 2), (10, 7, 6), (7, 1, 8),
             (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9),
             (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]

    def unit(p):
        r = math.sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2])
        return (p[0] / r, p[1] / r, p[2] / r)

    verts = [unit(v) for v in verts]
    for _ in range(levels):
        middle = {}

        def mid(i, j):
            key = (min(i, j), max(i, j))
            if key not in middle:
                a, b = verts[i], verts[j]
                verts.append(unit(((a[0] + b[0]) / 2, (a[1] + b[1]) / 2, (a[2] + b[2]) / 2)))
                middle[key] = len(verts) - 1
            return middle[key]

        split = []
        for a, b, c in faces:
            ab, bc, ca = mid(a, b), mid(b, c), mid(c, a)
            split += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        faces = split
    return verts, faces


def normal(verts, f):
    p1, p2, p3 = (verts[i] for i in f)
    d = [p2[k] - p1[k] for k in range(3)]
    g = [p3[k] - p1[k] for k in range(3)]
    return (d[1] * g[2] - d[2] * g[1], d[2] * g[0] - d[0] * g[2], d[0] * g[1] - d[1] * g[0])


def inward(verts, f):
    """The face with its nodes ordered so that its normal points to the centre."""
    n = normal(verts, f)
    c = [sum(verts[i][k] for i in f) for k in range(3)]
    if n[0] * c[0] + n[1] * c[1] + n[2] * c[2] > 0:
        f = (f[0], f[2], f[1])
    n = normal(verts, f)
    assert n[0] * c[0] + n[1] * c[1] + n[2] * c[2] < 0
    return f


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "examples", "sphere-translate")
    levels = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    verts, faces = icosphere(levels)
    faces = [inward(verts, f) for f in faces]
    os.makedirs(out, exist_ok=True)

    with open(os.path.join(out, "input.cnd"), "w") as f:
        f.write("1.0e-8  30  0  0  1  10  1.0e-6"
                "      snaptol, M, (unused), (unused), iprec, ncycle, tol\n")
        f.write("12  2  40  20000  8  7  1.01"
                "         maxdep, minlev, maxl, maxcel, nexp, ngauss, cubfac\n")

    with open(os.path.join(out, "input.dat"), "w") as f:
        f.write("Unit sphere translating with U = (1, 0, 0), mu = 1\n")
        f.write("Icosahedron refined %d times, nodes clockwise seen from the fluid\n" % levels)
        f.write("%d %d 1.0      nelem, nnode, mu\n" % (len(faces), len(verts)))
        f.write("Nodes: number, x, y, z\n")
        for k, v in enumerate(verts, 1):
            f.write("%5d %23r %23r %23r\n" % (k, v[0], v[1], v[2]))
        f.write("Elements: number, nodes n1 n2 n3, codes of u1 u2 u3, prescribed u1 u2 u3\n")
        for e, (a, b, c) in enumerate(faces, 1):
            f.write("%5d %5d %5d %5d   1 1 1   1.0 0.0 0.0\n" % (e, a + 1, b + 1, c + 1))


if __name__ == "__main__":
    main()
