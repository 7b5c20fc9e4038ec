// The usage text of velmora-rigid.
#include <string>

#include "toolkit/rigid_tool.hpp"

namespace velmora::tools {

std::string rigid_usage() {
  return R"(Usage: velmora-rigid [options]

Reads input.cnd (solver controls) and input.dat (the mesh; its boundary
conditions are ignored) and treats every edge-connected piece of the mesh as
a rigid body (numbered as velmora-post numbers them).  Solves for each
body's velocity and angular velocity under the given forces and torques
(what each body exerts on the fluid), by a second-kind boundary integral
equation (completed double layer), then the surface tractions.  Torques and
rotations refer to each body's centroid, or to the point given by --about.

Options:
  --body K          the --force, --torque and --about that follow apply to
                    body K (before any --body they apply to all bodies)
  --force FX,FY,FZ  force on the fluid (default 0)
  --torque LX,LY,LZ torque on the fluid (default 0)
  --about X,Y,Z     reference point for torques and rotations
  --fixed K         hold body K still (repeatable): walls, obstacles; its
                    force and torque are found
  --gradient G11,G12,G13,G21,G22,G23,G31,G32,G33
                    ambient linear flow u_i = sum_j G_ij x_j (trace zero)
  --shear RATE      the simple shear u = RATE y e_x (G12 = RATE)
  --squirmer B1,B2[,AX,AY,AZ]
                    slip (B1 sin t + B2 sin t cos t) e_t on the body, t the
                    angle from its axis (default 0,0,1) about the reference
                    point; with --body as --force
  --steps N --dt DT integrate positions and orientations over N steps of DT
                    (second order); writes DIR/trajectory.csv
  --pvd             with --steps, also DIR/rigid.pvd and a surface per step
  --resistance      also the 6B x 6B resistance matrix R, (U1, Omega1, ...)
                    to (F1, T1, ...), and the mobility matrix M = R^-1
                    (6B solves); for one body also the centre of mobility
  --no-traction     skip the traction solve (no rigid.vtu)
  --model DIR2      also DIR2/input.cnd, input.dat and output.dat: the
                    traction solve as a solved velmora model (every velocity
                    prescribed), for velmora-field and velmora-post --dir
                    DIR2; the disturbance flow (add the ambient flow to its
                    velocity).  DIR2 must not be DIR; not with --no-traction
                    or --steps
  --dir DIR         folder of input.cnd and input.dat and of the results
                    (default: current)
  --json FILE       JSON results (default: DIR/rigid.json)
  --vtu FILE        ParaView surface file (default: DIR/rigid.vtu)
  --quiet           no progress lines
  --help            this text

Progress lines (one per solve and per time step, with the elapsed and the
remaining time, and every 10 s within a long solve its products and backward
error) go to standard error, the results to standard output.

Exit status: 0 done, 1 bad input, 2 bad command line, 3 a solve did not
converge (results written).
)";
}

}  // namespace velmora::tools
