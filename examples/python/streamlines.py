"""Streamlines of the flow past a prolate spheroid held fixed in a uniform
stream at 45 degrees to its axis, in the plane y = 0.

The body moves with velocity -U through fluid at rest (one velmora.solve);
adding U to the field (velmora.field on a grid) gives the flow past the
fixed body.  Writes docs/pictures/python_streamlines.png.

    python3 examples/python/streamlines.py [--refine L] [--out FILE]
"""

import argparse
import os

import numpy as np

import velmora


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--refine", type=int, default=3)
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "..", "..", "docs", "pictures",
                                                  "python_streamlines.png"))
    args = ap.parse_args()

    mesh = velmora.spheroid(axes=(0.5, 1.0), refine=args.refine)  # 2:1, axis along z
    U = np.array([1.0, 0.0, 1.0]) / np.sqrt(2.0)                   # the stream
    s = velmora.solve(mesh, velocity=-U)
    print(s, "force on the body", s.force()[0])

    x = np.linspace(-2.5, 2.5, 161)
    z = np.linspace(-2.5, 2.5, 161)
    X, Z = np.meshgrid(x, z)
    pts = np.column_stack([X.ravel(), np.zeros(X.size), Z.ravel()])
    u, p, inside = velmora.field(s, pts, inside=True)
    u = u + U  # the frame of the body
    u[inside] = np.nan
    p[inside] = np.nan

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Ellipse
    fig, ax = plt.subplots(figsize=(5.6, 5.0))
    speed = np.linalg.norm(u, axis=1).reshape(X.shape)
    im = ax.pcolormesh(X, Z, speed, shading="auto", cmap="viridis")
    ax.streamplot(X, Z, u[:, 0].reshape(X.shape), u[:, 2].reshape(X.shape), color="w",
                  density=1.4, linewidth=0.7, arrowsize=0.8)
    ax.add_patch(Ellipse((0, 0), 1.0, 2.0, color="0.3"))
    fig.colorbar(im, ax=ax, label="|u| / U")
    ax.set_aspect("equal")
    ax.set_xlabel("x")
    ax.set_ylabel("z")
    ax.set_title(f"Stokes flow past a 2:1 spheroid ({mesh.nelem} triangles)")
    fig.tight_layout()
    fig.savefig(args.out, dpi=110)
    print("wrote", os.path.normpath(args.out))


if __name__ == "__main__":
    main()
