"""Velmora: Stokes flow around bodies by boundary elements and the fast
multipole method, from numpy arrays.

A thin layer over the C++ library (velmora._core): meshes are numpy arrays,
every control value of the programs is a keyword argument with the defaults
velmora-mesh writes, and results come back as arrays.  Conventions:

- nodes (N, 3) float64, triangles (M, 3) 0-based node indices;
- the normal of a triangle, (x2 - x1) x (x3 - x1) normalised, points into its
  body (the nodes run clockwise seen from the fluid); ``Mesh`` orients closed
  bodies so unless ``orient=False``;
- the traction t of an element is the force per area the body exerts on the
  fluid, as in output.dat; the force of the fluid on body b is
  F_b = -sum A_e t_e over its elements;
- bodies are the edge-connected pieces of the mesh, numbered from 0 in the
  order of their first triangle.

Errors raise ``velmora.Error`` (a ValueError) with the message the programs
print; nothing here exits the process.
"""

import os
import warnings

import numpy as np

from . import _core
from ._core import Error

__version__ = _core.version()

__all__ = [
    "Error", "ConvergenceWarning", "Mesh", "Solution", "Motion",
    "read_mesh", "sphere", "spheroid", "ellipsoid", "torus", "spheres",
    "solve", "field", "mobility", "resistance", "simulate", "Trajectory", "CONTROLS",
]

# The control values of input.cnd, as keyword arguments.
CONTROLS = ("snaptol", "M", "iprec", "ncycle", "tol", "maxdep", "minlev",
            "maxl", "maxcel", "nexp", "ngauss", "cubfac")


class ConvergenceWarning(RuntimeWarning):
    """A solve stopped at its iteration limit; its results are returned."""


class Mesh:
    """A surface mesh of flat triangles, in bodies.

    ``Mesh(nodes, triangles, orient=True)``: nodes (N, 3), triangles (M, 3)
    0-based.  With ``orient`` every closed body is oriented as velmora-mesh
    orients it (normals into the body, for flow outside it); the triangles
    whose node order was reversed are reported in ``flipped``.
    """

    def __init__(self, nodes, triangles, orient=True):
        d = _core.mesh_from_arrays(np.asarray(nodes, dtype=float),
                                   np.asarray(triangles, dtype=np.int64), bool(orient))
        self._set(d)
        for b, closed in enumerate(d["closed"]):
            if not closed:
                warnings.warn(f"body {b} is not a closed surface: the solvers expect "
                              "closed bodies", stacklevel=2)

    @classmethod
    def _from(cls, d):
        m = cls.__new__(cls)
        m._set(d)
        return m

    def _set(self, d):
        self.nodes = d["nodes"]
        self.triangles = d["triangles"]
        self.body = d["body"]
        self.nbody = int(d["nbody"])
        self.closed = list(d["closed"])
        self.flipped = list(d["flipped"])
        self.group = d.get("group", np.zeros(len(self.triangles), dtype=np.int64))
        self.group_names = dict(d.get("group_names", {}))
        self._geometry = None

    @property
    def nelem(self):
        return len(self.triangles)

    @property
    def nnode(self):
        return len(self.nodes)

    def _geo(self):
        if self._geometry is None:
            self._geometry = _core.geometry(self.nodes, self.triangles)
        return self._geometry

    @property
    def centroids(self):
        """(M, 3): the element centroids, the collocation points."""
        return self._geo()[0]

    @property
    def normals(self):
        """(M, 3): unit normals, into the body."""
        return self._geo()[1]

    @property
    def areas(self):
        """(M,): element areas."""
        return self._geo()[2]

    def __repr__(self):
        return (f"velmora.Mesh({self.nelem} triangles, {self.nnode} nodes, "
                f"{self.nbody} {'body' if self.nbody == 1 else 'bodies'})")


def _words(value):
    if np.ndim(value) == 0:
        return repr(float(value))
    return ",".join(repr(float(v)) for v in np.ravel(value))


def _prepared(words):
    d = _core.prepare_mesh([str(w) for w in words])
    for line in d["notes"].splitlines():
        if "warning:" in line:
            warnings.warn(line.split("warning: ", 1)[-1], stacklevel=3)
    return Mesh._from(d)


def _resolution(words, refine=None, elements=None, size=None, frequency=None, grid=None):
    for name, v in (("--refine", refine), ("--elements", elements), ("--frequency", frequency)):
        if v is not None:
            words += [name, str(int(v))]
    if size is not None:
        words += ["--size", _words(size)]
    if grid is not None:
        words += ["--grid", ",".join(str(int(g)) for g in grid)]
    return words


def read_mesh(path, size=None, verbose=False):
    """Any file velmora-mesh reads (through Gmsh): meshes are taken as they
    are, geometry (.geo, .step, ...) is meshed with triangles of at most
    ``size``.  Cleaned and oriented as velmora-mesh does; physical groups in
    ``group`` and ``group_names``."""
    words = [os.fspath(path)]
    if size is not None:
        words += ["--size", _words(size)]
    if verbose:
        words.append("--verbose")
    return _prepared(words)


def sphere(radius=1.0, refine=None, centre=None, elements=None, size=None, frequency=None):
    """An icosphere (``refine`` L: 20 * 4**L triangles; 3 by default) or a
    geodesic sphere (``frequency`` K: 20 K**2 triangles)."""
    words = ["sphere", "--radius", _words(radius)]
    if centre is not None:
        words += ["--centre", _words(centre)]
    return _prepared(_resolution(words, refine, elements, size, frequency))


def spheroid(axes, refine=None, centre=None, elements=None, size=None):
    """A spheroid with equatorial and polar semi-axes ``axes`` = (a, c)."""
    words = ["spheroid", "--axes", _words(axes)]
    if centre is not None:
        words += ["--centre", _words(centre)]
    return _prepared(_resolution(words, refine, elements, size))


def ellipsoid(axes, refine=None, centre=None, elements=None, size=None):
    """A triaxial ellipsoid with semi-axes ``axes`` = (a, b, c)."""
    words = ["ellipsoid", "--axes", _words(axes)]
    if centre is not None:
        words += ["--centre", _words(centre)]
    return _prepared(_resolution(words, refine, elements, size))


def torus(radii, grid=None, centre=None, elements=None, size=None):
    """A torus about the z axis with ``radii`` = (R, r)."""
    words = ["torus", "--radii", _words(radii)]
    if centre is not None:
        words += ["--centre", _words(centre)]
    return _prepared(_resolution(words, None, elements, size, None, grid))


def spheres(spheres, refine=None, elements=None, size=None):
    """Several spheres, one body each: ``spheres`` is a sequence of
    (x, y, z, radius)."""
    words = ["spheres"]
    for s in spheres:
        words += ["--sphere", _words(s)]
    return _prepared(_resolution(words, refine, elements, size))


def _controls(mesh, mu, given):
    unknown = sorted(set(given) - set(CONTROLS))
    if unknown:
        raise TypeError(f"unknown control value(s) {', '.join(unknown)}; "
                        f"the control values are {', '.join(CONTROLS)}")
    if not mu > 0:
        raise Error("mu must be positive")
    c = _core.default_controls(mesh.nodes, mesh.triangles,
                               {k: v for k, v in given.items() if v is not None})
    c["mu"] = float(mu)
    return c


def _per_element(name, v, m):
    a = np.asarray(v, dtype=float)
    if a.shape == (3,):
        a = np.broadcast_to(a, (m, 3))
    if a.shape != (m, 3):
        raise Error(f"{name} must be a (3,) or ({m}, 3) array, not {a.shape}")
    if not np.all(np.isfinite(a)):
        raise Error(f"{name} holds values that are not finite")
    return np.array(a)


def _progress_reporter(progress, callback, total, unit):
    """The function the library calls with (done, measure), or None."""
    if not progress and callback is None:
        return None, None
    bar = None
    if progress:
        try:
            from tqdm import tqdm
            bar = tqdm(total=total, unit=unit, leave=False)
        except ImportError:  # tqdm missing: progress lines instead
            bar = None

    def report(done, measure):
        if callback is not None:
            callback(done, measure)
        if bar is not None:
            bar.update(max(0, done - bar.n))
            if unit == "product" and measure > 0:
                bar.set_postfix_str(f"backward error {measure:.2e}", refresh=False)
    return report, bar


class Solution:
    """A solved model: the mesh, its boundary conditions and the velocity and
    traction of every element."""

    def __init__(self, mesh, codes, values, mu, controls, title, result):
        self.mesh = mesh
        self.codes = codes
        self.values = values
        self.mu = mu
        self.controls = dict(controls)
        self.title = title
        self.velocity = result["velocity"]
        self.traction = result["traction"]
        self.iterations = int(result["iterations"])
        self.backward_error = float(result["backward_error"])
        self.status = int(result["status"])
        self.converged = self.status == 0
        self.log = result["log"]
        self.console = result["console"]
        self._dat = result["dat"]
        self._plt = result["plt"]

    def _bc(self):
        return np.hstack([self.codes, self.values])

    def force(self):
        """(B, 3): the force of the fluid on each body, -sum A t."""
        f = np.zeros((self.mesh.nbody, 3))
        np.add.at(f, self.mesh.body, -self.mesh.areas[:, None] * self.traction)
        return f

    def torque(self, about=(0.0, 0.0, 0.0)):
        """(B, 3): the torque of the fluid on each body about ``about`` ((3,)
        or one point per body, (B, 3)), -sum A (x - c) x t at the centroids."""
        c = np.broadcast_to(np.asarray(about, dtype=float), (self.mesh.nbody, 3))
        r = self.mesh.centroids - c[self.mesh.body]
        L = np.zeros((self.mesh.nbody, 3))
        np.add.at(L, self.mesh.body, -self.mesh.areas[:, None] * np.cross(r, self.traction))
        return L

    def write(self, directory, inputs=True):
        """Writes output.log, output.dat and output.plt as velmora writes them
        (and, with ``inputs``, the input.dat and input.cnd of this model, so
        that velmora-post and velmora-field work on the folder)."""
        os.makedirs(directory, exist_ok=True)
        files = {"output.log": self.log, "output.dat": self._dat, "output.plt": self._plt}
        if inputs:
            m = self.mesh
            sub = f"{m.nelem} elements, {m.nnode} nodes, {m.nbody} " + \
                ("body" if m.nbody == 1 else "bodies")
            files["input.dat"] = _core.input_dat_text(m.nodes, m.triangles, self._bc(),
                                                      self.mu, self.title, sub)
            files["input.cnd"] = _core.input_cnd_text(self.controls)
        for name, text in files.items():
            with open(os.path.join(directory, name), "w") as f:
                f.write(text)

    def write_vtu(self, path):
        """The surface as velmora-post writes it (VTK XML, for ParaView)."""
        text = _core.vtu_text(self.mesh.nodes, self.mesh.triangles, self.velocity, self.traction)
        with open(path, "w") as f:
            f.write(text)

    def __repr__(self):
        return (f"velmora.Solution({self.mesh.nelem} elements, {self.iterations} iterations, "
                f"backward error {self.backward_error:.3g}, "
                f"{'converged' if self.converged else 'NOT converged'})")


def solve(mesh, velocity=None, traction=None, codes=None, values=None, mu=1.0,
          title="Velmora run from Python", progress=False, callback=None, **controls):
    """The velocity or traction of every element prescribed, the other found.

    Give one of: ``velocity`` ((M, 3) or (3,) for all), ``traction``, or
    ``codes`` ((M, 3) of 1 for a prescribed velocity component, 2 for a
    prescribed traction) with ``values`` (M, 3).  Control values of input.cnd
    as keywords (``tol``, ``nexp``, ``maxl``, ``M``, ...), velmora-mesh's
    defaults otherwise.  ``callback(products, backward_error)`` is called
    before every product of the iteration; ``progress=True`` shows a bar.
    A solve stopped at its iteration limit warns (ConvergenceWarning) and
    returns with ``converged == False``."""
    m = mesh.nelem
    given = sum(x is not None for x in (velocity, traction, codes))
    if given != 1 or (codes is None) != (values is None):
        raise Error("give one of velocity=, traction= or codes= with values=")
    if velocity is not None:
        codes_a = np.ones((m, 3))
        values_a = _per_element("velocity", velocity, m)
    elif traction is not None:
        codes_a = np.full((m, 3), 2.0)
        values_a = _per_element("traction", traction, m)
    else:
        codes_a = _per_element("codes", codes, m)
        if not np.all((codes_a == 1) | (codes_a == 2)):
            raise Error("codes must be 1 (velocity prescribed) or 2 (traction prescribed)")
        values_a = _per_element("values", values, m)
    c = _controls(mesh, mu, controls)
    report, bar = _progress_reporter(progress, callback, c["M"] * c["ncycle"], "product")
    try:
        r = _core.solve(mesh.nodes, mesh.triangles, np.hstack([codes_a, values_a]), c,
                        str(title), report)
    finally:
        if bar is not None:
            bar.close()
    if r["status"] == 1:
        raise Error(r["console"].strip().splitlines()[-1].strip())
    s = Solution(mesh, codes_a, values_a, float(mu), c, str(title), r)
    if r["status"] == 3:
        warnings.warn(r["console"].strip().splitlines()[-1].strip(), ConvergenceWarning,
                      stacklevel=2)
    return s


def field(solution, points, inside=False, progress=False, callback=None):
    """Velocity (K, 3) and pressure (K,) of the solved flow at ``points``
    (K, 3), by velmora-field's evaluation; with ``inside``, also the (K,)
    flags of points inside a body or on its surface (velocity 0 there)."""
    pts = np.asarray(points, dtype=float)
    if pts.ndim == 1 and pts.shape == (3,):
        pts = pts[None, :]
    report, bar = _progress_reporter(progress, callback, len(pts), "point")
    s = solution
    try:
        u, p, ins = _core.field(s.mesh.nodes, s.mesh.triangles, s._bc(), s.velocity, s.traction,
                                s.controls, np.ascontiguousarray(pts), report)
    finally:
        if bar is not None:
            bar.close()
    return (u, p, ins) if inside else (u, p)


class Motion:
    """Rigid motions of the bodies: ``velocity`` and ``rotation`` (B, 3) of
    each body's reference point (its centroid unless ``about`` was given),
    and ``force`` and ``torque`` (B, 3), what each body exerts on the fluid:
    as given, or found for the ``fixed`` bodies.  With ``traction=True``
    also the surface ``traction`` and ``surface_velocity`` (M, 3) and each
    body's ``stresslet`` (B, 3, 3), the symmetric traceless first moment of
    the traction the fluid exerts on it (a sphere in a strain E:
    (20/3) pi mu a^3 E)."""

    def __init__(self, r):
        self.velocity = r["motion"][:, :3].copy()
        self.rotation = r["motion"][:, 3:].copy()
        self.force = r["loads"][:, :3].copy()
        self.torque = r["loads"][:, 3:].copy()
        self.reference = r["reference"]
        self.solves = list(r["solves"])
        self.iterations = self.solves[0]["iterations"]
        self.backward_error = self.solves[0]["backward_error"]
        self.converged = all(x["converged"] for x in self.solves)
        self.traction = r.get("traction")
        self.surface_velocity = r.get("velocity")
        self.stresslet = r.get("stresslet")

    def __repr__(self):
        return f"velmora.Motion({len(self.velocity)} bodies, {self.iterations} iterations)"


class Trajectory:
    """Bodies moved in time: ``time`` (S+1,), ``position`` (S+1, B, 3) of the
    reference points, ``orientation`` (S+1, B, 4) unit quaternions (w, x, y,
    z) from the initial orientation, ``velocity`` and ``rotation`` (S+1, B, 3);
    the rows of velmora-rigid's trajectory.csv."""

    def __init__(self, r):
        self.time = r["time"]
        self.position = r["position"]
        self.orientation = r["orientation"]
        self.velocity = r["motion"][:, :, :3].copy()
        self.rotation = r["motion"][:, :, 3:].copy()
        self.converged = bool(r["converged"])

    def __repr__(self):
        return (f"velmora.Trajectory({len(self.time) - 1} steps, "
                f"{self.position.shape[1]} bodies)")


def _per_body(name, v, nb, width=3):
    if v is None:
        return np.zeros((nb, width))
    a = np.asarray(v, dtype=float)
    if a.shape == (width,):
        a = np.broadcast_to(a, (nb, width))
    if a.shape != (nb, width):
        raise Error(f"{name} must be a ({width},) or ({nb}, {width}) array, not {a.shape}")
    if not np.all(np.isfinite(a)):
        raise Error(f"{name} holds values that are not finite")
    return np.array(a)


def _rigid_options(mesh, about, fixed, gradient, shear, squirmer):
    """The arrays of velmora-rigid's options: --about, --fixed, --gradient or
    --shear, --squirmer."""
    nb = mesh.nbody
    ab = None if about is None else _per_body("about", about, nb)
    fx = None
    if fixed is not None:
        ids = [fixed] if np.ndim(fixed) == 0 else list(fixed)
        fx = np.zeros((nb, 1))
        for k in ids:
            if not 0 <= int(k) < nb:
                raise Error(f"fixed: body {k} is not one of 0..{nb - 1}")
            fx[int(k)] = 1
    if gradient is not None and shear is not None:
        raise Error("give one of gradient= and shear=")
    G = None
    if shear is not None:
        G = np.zeros((3, 3))
        G[0, 1] = float(shear)
    elif gradient is not None:
        G = np.asarray(gradient, dtype=float).reshape(3, 3)
    sq = None
    if squirmer is not None:
        items = list(squirmer)
        if items and all(np.ndim(x) == 0 and x is not None for x in items):
            items = [tuple(items)] * nb  # one (B1, B2[, axis]) for every body
        if len(items) != nb:
            raise Error(f"squirmer: one (B1, B2[, axis]) for all bodies or one per body ({nb})")
        sq = np.zeros((nb, 6))
        for b, item in enumerate(items):
            if item is None:
                continue
            v = [float(x) for x in item]
            if len(v) not in (2, 5):
                raise Error("squirmer: (B1, B2) or (B1, B2, AX, AY, AZ)")
            sq[b] = [1, v[0], v[1]] + (v[2:] if len(v) == 5 else [0, 0, 1])
    return ab, fx, G, sq


def _rigid(mesh, loads, about, fixed, gradient, shear, squirmer, mu, resistance, traction,
           controls):
    c = _controls(mesh, mu, controls)
    ab, fx, G, sq = _rigid_options(mesh, about, fixed, gradient, shear, squirmer)
    r = _core.rigid(mesh.nodes, mesh.triangles, c, loads, ab, fx, G, sq, resistance, traction)
    if not all(x["converged"] for x in r["solves"]):
        bad = [i + 1 for i, x in enumerate(r["solves"]) if not x["converged"]]
        warnings.warn(f"solve(s) {bad} of the rigid-body problem did not converge",
                      ConvergenceWarning, stacklevel=3)
    return r


def mobility(mesh, force=None, torque=None, about=None, mu=1.0, traction=False, fixed=None,
             gradient=None, shear=None, squirmer=None, **controls):
    """Velocity and rotation of every body under the given force and torque
    (what each body exerts on the fluid; (B, 3) or (3,) for all), as
    velmora-rigid finds them.  Torques and rotations refer to each body's
    centroid or to ``about``.  The options of velmora-rigid by the same names:
    ``fixed`` (a body or a list of bodies, 0-based, held still: their force
    and torque are found), ``gradient`` (3, 3) or ``shear`` (the ambient flow
    u = G x, or u = shear * y e_x), ``squirmer`` ((B1, B2) or (B1, B2, AX,
    AY, AZ) for all bodies, or one such or None per body).  With ``traction``
    the surface tractions and the stresslets too."""
    nb = mesh.nbody
    loads = np.hstack([_per_body("force", force, nb), _per_body("torque", torque, nb)])
    return Motion(_rigid(mesh, loads, about, fixed, gradient, shear, squirmer, mu, False,
                         traction, controls))


def resistance(mesh, about=None, mu=1.0, fixed=None, **controls):
    """The 6B x 6B grand resistance matrix R, mapping (U1, Omega1, U2, ...)
    to (F1, T1, F2, ...) (the loads the bodies exert on the fluid), ordered
    as in velmora-rigid's rigid.json, about the centroids or ``about``; with
    ``fixed`` bodies, that of the free bodies beside them."""
    loads = np.zeros((mesh.nbody, 6))
    return _rigid(mesh, loads, about, fixed, None, None, None, mu, True, False,
                  controls)["resistance"]


def simulate(mesh, steps, dt, force=None, torque=None, about=None, mu=1.0, fixed=None,
             gradient=None, shear=None, squirmer=None, progress=False, callback=None,
             **controls):
    """velmora-rigid --steps N --dt DT: the bodies moved in time under their
    loads, in the ambient flow, swimming (second-order Adams-Bashforth with a
    midpoint start; the mesh moved rigidly and one mobility solve per step).
    Loads stay fixed in the lab frame; squirmer axes turn with the bodies.
    Returns a Trajectory.  Bodies closer than a tenth of their element size
    raise velmora.Error naming the step."""
    nb = mesh.nbody
    loads = np.hstack([_per_body("force", force, nb), _per_body("torque", torque, nb)])
    c = _controls(mesh, mu, controls)
    ab, fx, G, sq = _rigid_options(mesh, about, fixed, gradient, shear, squirmer)
    report, bar = _progress_reporter(progress, callback, int(steps), "step")
    try:
        r = _core.simulate(mesh.nodes, mesh.triangles, c, loads, ab, fx, G, sq, int(steps),
                           float(dt), (lambda k, n: report(k, n)) if report else None)
    finally:
        if bar is not None:
            bar.close()
    t = Trajectory(r)
    if not t.converged:
        warnings.warn("a solve of the time steps did not converge", ConvergenceWarning,
                      stacklevel=2)
    return t
