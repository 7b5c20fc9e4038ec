"""The Python module against the programs, analytic values and its own
promises (errors raised, failed convergence reported, the GIL released).

Run with the system Python from the repository root:
    PYTHONPATH=build/python python3 -m pytest -q python/tests
The programs are taken from VELMORA_BUILD (default: build/).
"""

import math
import os
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

import velmora

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build"))


def program(name, cwd, *args):
    return subprocess.run([os.path.join(BUILD, name), *args], cwd=cwd, capture_output=True,
                          text=True, timeout=300)


def without_machine_lines(text):
    """The records that do not depend on the machine: timing and memory lines out."""
    keep = []
    for line in text.splitlines():
        if "time used" in line or " Mb" in line:
            continue
        keep.append(line)
    return keep


# Same input, same path: velmora-mesh + velmora and the module write the same
# bytes, here with mixed conditions (a moving sphere beside a pushed one).
def test_mixed_conditions_equal_the_program_bit_for_bit(tmp_path):
    run = tmp_path / "program"
    run.mkdir()
    assert program("velmora-mesh", run, "spheres", "--sphere", "0,0,0,1", "--sphere",
                   "3,0.5,0,0.5", "--refine", "2", "--body", "1", "--velocity", "1,0,0",
                   "--body", "2", "--traction", "0,0,0.25").returncode == 0
    assert program("velmora", run).returncode == 0
    title = (run / "input.dat").read_text().splitlines()[0]
    m = velmora.spheres([(0, 0, 0, 1), (3, 0.5, 0, 0.5)], refine=2)
    codes = np.where(m.body[:, None] == 0, 1.0, 2.0) * np.ones((1, 3))
    values = np.where(m.body[:, None] == 0, [1.0, 0, 0], [0, 0, 0.25])
    s = velmora.solve(m, codes=codes, values=values, title=title)
    ours = tmp_path / "module"
    s.write(ours)
    for name in ("input.dat", "input.cnd"):
        assert (ours / name).read_text() == (run / name).read_text(), name
    for name in ("output.dat", "output.log", "output.plt"):
        assert without_machine_lines((ours / name).read_text()) == \
            without_machine_lines((run / name).read_text()), name


# A translating sphere: the module's records equal the program's, and its force
# equals output.dat's total force bit for bit.
def test_translation_equals_the_program(tmp_path):
    run = tmp_path / "program"
    run.mkdir()
    assert program("velmora-mesh", run, "sphere", "--refine", "2", "--velocity",
                   "1,0,0").returncode == 0
    assert program("velmora", run).returncode == 0
    title = (run / "input.dat").read_text().splitlines()[0]
    s = velmora.solve(velmora.sphere(refine=2), velocity=(1, 0, 0), title=title)
    ours = tmp_path / "module"
    s.write(ours)
    for name in ("input.dat", "input.cnd"):
        assert (ours / name).read_text() == (run / name).read_text(), name
    for name in ("output.dat", "output.log", "output.plt"):
        assert without_machine_lines((ours / name).read_text()) == \
            without_machine_lines((run / name).read_text()), name
    # The arrays are the records' values before their formatting (12 digits).
    rec = np.loadtxt(run / "output.dat", skiprows=5, max_rows=s.mesh.nelem)
    assert np.allclose(rec[:, 4:7], s.traction, rtol=1e-11, atol=0)
    assert np.array_equal(rec[:, 1:4], np.broadcast_to([1.0, 0, 0], (s.mesh.nelem, 3)))
    # velmora-post reads the written folder as a run of its own.
    assert program("velmora-post", ours).returncode == 0


# Stokes drag -6 pi mu a U, converging as h^2: the error falls about fourfold
# per refinement (each halves h).
def test_stokes_drag_converges_at_second_order():
    mu, a = 2.0, 0.5
    err = []
    for level in (2, 3):
        s = velmora.solve(velmora.sphere(radius=a, refine=level), velocity=(0, 0, 1), mu=mu)
        assert s.converged and s.iterations > 0
        f = s.force()[0]
        exact = -6 * math.pi * mu * a
        assert abs(f[0]) < 1e-6 * abs(exact) and abs(f[1]) < 1e-6 * abs(exact)
        err.append(abs(f[2] - exact) / abs(exact))
    assert err[0] < 0.02
    assert 3.0 < err[0] / err[1] < 5.0
    # No torque on a translating sphere, about its centre.
    assert np.all(np.abs(s.torque()) < 1e-6)


# Mobility of a sphere: V = F / (6 pi mu a), Omega = T / (8 pi mu a^3), each body
# about its own centre, and the resistance matrix its inverse.
def test_sphere_mobility_and_resistance():
    mu, a = 1.5, 1.0
    m = velmora.spheres([(0, 0, 0, a), (8, 0, 0, a)], refine=2)
    assert m.nbody == 2 and set(np.unique(m.body)) == {0, 1}
    r = velmora.mobility(m, force=[(1, 0, 0), (0, 0, 0)], torque=[(0, 0, 0), (0, 0, 1)], mu=mu)
    assert r.converged
    V, W = r.velocity, r.rotation
    # Discretisation error of refinement 2 (320 triangles): about 1.5 % for the
    # translation, three times that for the rotation (which goes as a^-3).
    assert V[0, 0] == pytest.approx(1 / (6 * math.pi * mu * a), rel=0.03)
    assert W[1, 2] == pytest.approx(1 / (8 * math.pi * mu * a ** 3), rel=0.07)
    # Body 2 is dragged along by body 1 (Oseen tensor: 3a/(4d) V at distance d).
    assert V[1, 0] == pytest.approx(V[0, 0] * 1.5 * a / 8, rel=0.1)
    R = velmora.resistance(m, mu=mu)
    assert R.shape == (12, 12)
    assert np.allclose(R, R.T, atol=1e-4 * np.abs(R).max())
    motion = np.concatenate([np.hstack([V[b], W[b]]) for b in range(2)])
    loads = R @ motion
    assert np.allclose(loads, [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1], atol=1e-4)


# The flow around a translating sphere against Stokes's solution.
def test_field_against_stokes_solution():
    a = 1.0
    s = velmora.solve(velmora.sphere(radius=a, refine=3), velocity=(1, 0, 0))
    pts = np.array([[2.0, 0, 0], [0, 0, 3.0], [0.2, 0.1, 0.0]])
    u, p, inside = velmora.field(s, pts, inside=True)
    # u = (3a/4r)(I + xx/r^2) U + (a^3/4r^3)(I - 3xx/r^2) U,  p = (3 mu a/2) U.x / r^3.
    def exact(x):
        r = np.linalg.norm(x)
        e = x / r
        U = np.array([1.0, 0, 0])
        return (0.75 * a / r * (U + e * (e @ U)) + a ** 3 / (4 * r ** 3) * (U - 3 * e * (e @ U)),
                1.5 * a * (U @ x) / r ** 3)
    for k in range(2):
        ue, pe = exact(pts[k])
        assert np.allclose(u[k], ue, atol=0.01)
        assert p[k] == pytest.approx(pe, abs=0.01)
    assert list(inside) == [False, False, True]
    assert np.allclose(u[2], 0.0)


# Meshes from arrays: oriented as velmora-mesh orients them, checked on the way in.
def test_mesh_from_arrays_orients_and_checks():
    ref = velmora.sphere(refine=1)
    flipped = ref.triangles[:, ::-1].copy()
    m = velmora.Mesh(ref.nodes, flipped)
    assert m.flipped == [ref.nelem]
    assert np.array_equal(m.triangles, ref.triangles) or \
        np.all(np.einsum("ij,ij->i", m.normals, m.centroids) < 0)
    assert np.all(np.einsum("ij,ij->i", m.normals, m.centroids) < 0)  # into the body
    kept = velmora.Mesh(ref.nodes, flipped, orient=False)
    assert np.all(np.einsum("ij,ij->i", kept.normals, kept.centroids) > 0)
    assert m.areas.sum() == pytest.approx(ref.areas.sum(), rel=1e-15)
    with pytest.raises(velmora.Error, match="outside 0..41"):
        velmora.Mesh(ref.nodes, np.vstack([ref.triangles, [[0, 1, 42]]]))
    with pytest.raises(velmora.Error, match="zero area"):
        velmora.Mesh(ref.nodes, np.vstack([ref.triangles, [[0, 0, 1]]]))


# A file through Gmsh: an ASCII STL of the icosphere (nodes repeated per facet,
# merged on reading) solves to the same force.
def test_read_mesh_of_an_stl_file(tmp_path):
    ref = velmora.sphere(refine=2)
    path = tmp_path / "ball.stl"
    with open(path, "w") as f:
        f.write("solid ball\n")
        for t in ref.triangles[:, ::-1]:  # outward normals, as STL files have them
            f.write(" facet normal 0 0 0\n  outer loop\n")
            for k in t:
                f.write("   vertex %r %r %r\n" % tuple(ref.nodes[k]))
            f.write("  endloop\n endfacet\n")
        f.write("endsolid ball\n")
    m = velmora.read_mesh(path)
    assert (m.nelem, m.nnode, m.nbody) == (ref.nelem, ref.nnode, 1)
    f1 = velmora.solve(m, velocity=(1, 0, 0)).force()[0, 0]
    f2 = velmora.solve(ref, velocity=(1, 0, 0)).force()[0, 0]
    assert f1 == pytest.approx(f2, rel=1e-9)
    with pytest.raises(velmora.Error, match="missing.msh"):
        velmora.read_mesh(tmp_path / "missing.msh")


# Bad input raises velmora.Error with the program's message; the process lives on.
def test_errors_raise_with_the_programs_messages(tmp_path):
    run = tmp_path / "program"
    run.mkdir()
    assert program("velmora-mesh", run, "sphere", "--refine", "1").returncode == 0
    cnd = (run / "input.cnd").read_text().splitlines()
    cnd[1] = cnd[1].replace(" 7 1.01", " 5 1.01")
    (run / "input.cnd").write_text("\n".join(cnd) + "\n")
    p = program("velmora", run)
    assert p.returncode == 1
    m = velmora.sphere(refine=1)
    with pytest.raises(velmora.Error) as e:
        velmora.solve(m, velocity=(1, 0, 0), ngauss=5)
    assert isinstance(e.value, ValueError)
    assert str(e.value) == p.stderr.strip()
    with pytest.raises(velmora.Error, match="--radius must be positive"):
        velmora.sphere(radius=-1)
    with pytest.raises(velmora.Error, match="codes must be 1"):
        velmora.solve(m, codes=np.full((m.nelem, 3), 3), values=np.zeros((m.nelem, 3)))
    with pytest.raises(TypeError, match="unknown control"):
        velmora.solve(m, velocity=(1, 0, 0), nexpp=8)
    # And the module still solves afterwards.
    assert velmora.solve(m, velocity=(1, 0, 0)).converged


# A solve stopped at its iteration limit: results returned, converged False, a warning.
def test_failed_convergence_is_reported():
    m = velmora.sphere(refine=2)
    with pytest.warns(velmora.ConvergenceWarning, match="Not converged"):
        s = velmora.solve(m, velocity=(1, 0, 0), tol=1e-14, M=2, ncycle=1, nexp=8)
    assert not s.converged and s.status == 3 and s.iterations == 2
    assert s.backward_error > 1e-14
    assert np.all(np.isfinite(s.traction))


# The GIL is released during a solve: another Python thread runs meanwhile,
# and the progress callback sees the products as they happen.
def test_gil_released_and_progress_reported():
    m = velmora.sphere(refine=4)
    seen, span = [], {}

    def work():
        span["start"] = time.perf_counter()
        span["s"] = velmora.solve(m, velocity=(1, 0, 0), tol=1e-8,
                                  callback=lambda k, be: seen.append((k, be)))
        span["end"] = time.perf_counter()

    t = threading.Thread(target=work)
    ticks = []
    t.start()
    while t.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    t.join()
    assert span["s"].converged
    during = [x for x in ticks if span["start"] + 0.05 < x < span["end"] - 0.05]
    assert span["end"] - span["start"] > 0.2
    assert len(during) > 20
    assert [k for k, _ in seen] == list(range(len(seen)))
    assert len(seen) >= span["s"].iterations


# A 2:1 prolate spheroid against Chwang and Wu's drag along and across its
# axis (polar semi-axis c along z): the stretched icosphere has the same
# relative error in both directions, that of the sphere of the same refinement.
def test_prolate_spheroid_drag_against_chwang_and_wu():
    a, c = 0.5, 1.0
    e = math.sqrt(1 - (a / c) ** 2)
    L = math.log((1 + e) / (1 - e))
    axial = 16 * math.pi * c * e ** 3 / ((1 + e * e) * L - 2 * e)
    across = 32 * math.pi * c * e ** 3 / (2 * e + (3 * e * e - 1) * L)
    m = velmora.spheroid(axes=(a, c), refine=2)
    fz = -velmora.solve(m, velocity=(0, 0, 1)).force()[0, 2]
    fx = -velmora.solve(m, velocity=(1, 0, 0)).force()[0, 0]
    sphere = -velmora.solve(velmora.sphere(refine=2), velocity=(1, 0, 0)).force()[0, 0]
    ref = sphere / (6 * math.pi) - 1
    assert fz / axial - 1 == pytest.approx(ref, abs=1e-3)
    assert fx / across - 1 == pytest.approx(ref, abs=1e-3)


# The rigid-body options by velmora-rigid's names give velmora-rigid's numbers:
# rigid.json and trajectory.csv are written with 17 digits, so equal bits.
def test_rigid_options_and_simulate_equal_the_program(tmp_path):
    import json
    assert program("velmora-mesh", tmp_path, "spheres", "--sphere", "0,0,0,1", "--sphere",
                   "3,0.5,0,1", "--refine", "1").returncode == 0
    p = program("velmora-rigid", tmp_path, "--shear", "0.5", "--fixed", "2", "--body", "1",
                "--squirmer", "1,0.5,0,1,0", "--force", "0,0,1")
    assert p.returncode == 0, p.stderr
    ref = json.load(open(tmp_path / "rigid.json"))["bodies"]
    m = velmora.spheres([(0, 0, 0, 1), (3, 0.5, 0, 1)], refine=1)
    r = velmora.mobility(m, force=[(0, 0, 1), (0, 0, 0)], shear=0.5, fixed=1,
                         squirmer=[(1, 0.5, 0, 1, 0), None], traction=True)
    for b in range(2):
        assert list(r.velocity[b]) == ref[b]["velocity"]
        assert list(r.rotation[b]) == ref[b]["rotation"]
        assert list(r.force[b]) == ref[b]["force"]
        assert [list(row) for row in r.stresslet[b]] == ref[b]["stresslet"]
    assert ref[1]["fixed"] is True and np.all(r.velocity[1] == 0)

    p = program("velmora-rigid", tmp_path, "--shear", "0.5", "--fixed", "2", "--body", "1",
                "--squirmer", "1,0.5,0,1,0", "--force", "0,0,1", "--steps", "3", "--dt", "0.2",
                "--no-traction")
    assert p.returncode == 0, p.stderr
    rows = np.loadtxt(tmp_path / "trajectory.csv", delimiter=",", skiprows=1)
    t = velmora.simulate(m, steps=3, dt=0.2, force=[(0, 0, 1), (0, 0, 0)], shear=0.5, fixed=1,
                         squirmer=[(1, 0.5, 0, 1, 0), None])
    assert t.position.shape == (4, 2, 3) and t.converged
    ours = np.column_stack([np.repeat(np.arange(4), 2), np.repeat(t.time, 2),
                            np.tile([1, 2], 4), t.position.reshape(-1, 3),
                            t.orientation.reshape(-1, 4), t.velocity.reshape(-1, 3),
                            t.rotation.reshape(-1, 3)])
    assert np.array_equal(ours, rows)
