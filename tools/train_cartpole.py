#!/usr/bin/env python3
"""Makes the bundled cart-pole policy: examples/models/cartpole.{json,tvxf,expected}.

1. Linearises the cart-pole about the upright position, discretises it for a
   controller that holds its force for DT seconds, and solves the discrete
   algebraic Riccati equation by fixed-point iteration: the linear-quadratic
   regulator u = -K s.
2. Fits a small MLP (4 -> 32 tanh -> 32 tanh -> 1) by imitation to the
   regulator's force, saturated at FORCE_MAX, over a box of states around
   upright; a final Hardtanh keeps the force within the actuator's range.
3. Checks in closed loop on the nonlinear model that the policy balances the
   pole from every start state the demo uses.
4. Writes the JSON file with the exporter (tools/export_torch.py), the tvxf
   file with `tolvex convert`, and the expected outputs with `tolvex run`,
   so both model files and the reference values come from the library.

Run from the source tree after building: tools/train_cartpole.py [--tolvex build/tools/cli/tolvex]
"""

import argparse
import os
import subprocess
import sys

import numpy as np
import torch
import torch.nn as nn

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import export_torch  # noqa: E402

# The plant, in SI units; the same numbers are in examples/cartpole_demo.c.
GRAVITY = 9.8
CART_MASS = 1.0
POLE_MASS = 0.1
HALF_LENGTH = 0.5  # pivot to the pole's centre of mass
DT = 0.02          # control period: one forward pass every 20 ms
FORCE_MAX = 10.0   # actuator limit, newtons

# Regulator weights on (x, x_dot, theta, theta_dot) and on the force.
Q = np.diag([1.0, 1.0, 10.0, 1.0])
R = np.array([[0.1]])

# States the policy is fitted on: cart position and speed, pole angle and rate.
STATE_BOX = np.array([2.4, 3.0, 0.4, 3.0])


def dynamics(s, force):
    """Time derivative of (x, x_dot, theta, theta_dot); theta = 0 is upright."""
    x, x_dot, th, th_dot = s
    total = CART_MASS + POLE_MASS
    pml = POLE_MASS * HALF_LENGTH
    sin, cos = np.sin(th), np.cos(th)
    temp = (force + pml * th_dot * th_dot * sin) / total
    th_acc = (GRAVITY * sin - cos * temp) / (HALF_LENGTH * (4.0 / 3.0 - POLE_MASS * cos * cos / total))
    x_acc = temp - pml * th_acc * cos / total
    return np.array([x_dot, x_acc, th_dot, th_acc])


def rk4_step(s, force, dt=DT):
    k1 = dynamics(s, force)
    k2 = dynamics(s + 0.5 * dt * k1, force)
    k3 = dynamics(s + 0.5 * dt * k2, force)
    k4 = dynamics(s + dt * k3, force)
    return s + dt / 6.0 * (k1 + 2 * k2 + 2 * k3 + k4)


def linearised():
    """A, B of ds/dt = A s + B u about the upright rest state, by central differences."""
    h = 1e-6
    z = np.zeros(4)
    A = np.column_stack([(dynamics(z + h * e, 0.0) - dynamics(z - h * e, 0.0)) / (2 * h) for e in np.eye(4)])
    B = ((dynamics(z, h) - dynamics(z, -h)) / (2 * h)).reshape(4, 1)
    return A, B


def expm(M, terms=30):
    """Matrix exponential by its Taylor series; ||M|| is far below 1 here."""
    out = np.eye(len(M))
    term = np.eye(len(M))
    for k in range(1, terms):
        term = term @ M / k
        out = out + term
    return out


def discretise(A, B, dt):
    """Zero-order hold: exp of the block matrix [[A, B], [0, 0]] * dt."""
    n, m = B.shape
    M = np.zeros((n + m, n + m))
    M[:n, :n] = A
    M[:n, n:] = B
    E = expm(M * dt)
    return E[:n, :n], E[:n, n:]


def lqr_gain(Ad, Bd, Q, R, tol=1e-12, max_iter=100000):
    """Solves P = Q + A'PA - A'PB (R + B'PB)^-1 B'PA by iteration; returns K."""
    P = Q.copy()
    for _ in range(max_iter):
        BtP = Bd.T @ P
        K = np.linalg.solve(R + BtP @ Bd, BtP @ Ad)
        P_next = Q + Ad.T @ P @ (Ad - Bd @ K)
        if np.max(np.abs(P_next - P)) < tol * max(1.0, np.max(np.abs(P))):
            P = P_next
            break
        P = P_next
    else:
        raise RuntimeError("Riccati iteration did not converge")
    BtP = Bd.T @ P
    return np.linalg.solve(R + BtP @ Bd, BtP @ Ad)


def fit_policy(K, seed):
    """MLP imitating clip(-K s); inputs and output are scaled inside the first
    and last linear layers, so the exported network takes raw states."""
    rng = np.random.default_rng(seed)
    torch.manual_seed(seed)
    # Half the samples near upright, where the policy spends its time once
    # it has caught the pole, so the fit is finest there.
    wide = rng.uniform(-1.0, 1.0, size=(20000, 4)) * STATE_BOX
    near = rng.uniform(-1.0, 1.0, size=(20000, 4)) * STATE_BOX * 0.1
    states = np.concatenate([wide, near])
    force = np.clip(-(states @ K.T), -FORCE_MAX, FORCE_MAX)
    xs = torch.tensor(states / STATE_BOX, dtype=torch.float32)
    ys = torch.tensor(force / FORCE_MAX, dtype=torch.float32)

    net = nn.Sequential(nn.Linear(4, 32), nn.Tanh(), nn.Linear(32, 32), nn.Tanh(), nn.Linear(32, 1))
    opt = torch.optim.Adam(net.parameters(), lr=3e-3)
    sched = torch.optim.lr_scheduler.CosineAnnealingLR(opt, T_max=3000)
    for step in range(3000):
        idx = torch.randint(0, len(xs), (512,))
        loss = torch.mean((net(xs[idx]) - ys[idx]) ** 2)
        opt.zero_grad()
        loss.backward()
        opt.step()
        sched.step()
    with torch.no_grad():
        rms = torch.sqrt(torch.mean((net(xs) - ys) ** 2)).item() * FORCE_MAX
        net[0].weight /= torch.tensor(STATE_BOX, dtype=torch.float32)
        net[4].weight *= FORCE_MAX
        net[4].bias *= FORCE_MAX
    policy = nn.Sequential(*net, nn.Hardtanh(-FORCE_MAX, FORCE_MAX))
    return policy, rms


def closed_loop(policy_fn, s0, seconds=10.0):
    """Largest |theta| over the run and the final state."""
    s = np.array(s0, dtype=float)
    worst = abs(s[2])
    for _ in range(int(round(seconds / DT))):
        s = rk4_step(s, policy_fn(s))
        worst = max(worst, abs(s[2]))
    return worst, s


# Start states the demo and the check use: tilted, moving, off-centre.
START_STATES = [(0.0, 0.0, 0.2, 0.0), (1.0, 0.0, -0.25, 0.5), (-1.5, 1.0, 0.1, -1.0), (0.0, 0.0, 0.3, 1.0)]

# Inputs whose outputs are recorded: rest, the start states, saturating states.
EXPECTED_INPUTS = np.array([
    [0.0, 0.0, 0.0, 0.0],
    [0.0, 0.0, 0.2, 0.0],
    [1.0, 0.0, -0.25, 0.5],
    [-1.5, 1.0, 0.1, -1.0],
    [0.5, -0.5, 0.05, 0.25],
    [0.0, 0.0, 0.4, 3.0],
    [2.4, 3.0, -0.4, -3.0],
    [-0.3, 0.7, -0.02, 0.1],
], dtype=np.float32)


def main():
    p = argparse.ArgumentParser(description="Fit the bundled cart-pole policy.")
    root = os.path.dirname(HERE)
    p.add_argument("--tolvex", default=os.path.join(root, "build", "tools", "cli", "tolvex"),
                   help="the tolvex command-line tool")
    p.add_argument("--out", default=os.path.join(root, "examples", "models"), help="output directory")
    p.add_argument("--seed", type=int, default=7)
    args = p.parse_args()
    torch.set_num_threads(1)

    A, B = linearised()
    Ad, Bd = discretise(A, B, DT)
    K = lqr_gain(Ad, Bd, Q, R)
    print("LQR gain K =", np.array2string(K.ravel(), precision=4))
    lqr = lambda s: float(np.clip(-(K @ s)[0], -FORCE_MAX, FORCE_MAX))  # noqa: E731
    for s0 in START_STATES:
        worst, s = closed_loop(lqr, s0)
        print("  LQR    from %-26s max|theta| %.3f  final %s" % (s0, worst, np.array2string(s, precision=4)))

    policy, rms = fit_policy(K, args.seed)
    print("imitation RMS force error: %.4f N" % rms)

    def net_force(s):
        with torch.no_grad():
            return float(policy(torch.tensor(s, dtype=torch.float32))[0])

    ok = True
    for s0 in START_STATES:
        worst, s = closed_loop(net_force, s0)
        print("  policy from %-26s max|theta| %.3f  final %s" % (s0, worst, np.array2string(s, precision=4)))
        ok = ok and worst < 0.5 and np.all(np.abs(s) < 0.05)
    if not ok:
        sys.exit("the fitted policy does not balance the pole; nothing written")

    os.makedirs(args.out, exist_ok=True)
    json_path = os.path.join(args.out, "cartpole.json")
    tvxf_path = os.path.join(args.out, "cartpole.tvxf")
    export_torch.export(policy, json_path)
    subprocess.run([args.tolvex, "convert", json_path, tvxf_path], check=True)
    lines = "".join(" ".join("%.9g" % v for v in row) + "\n" for row in EXPECTED_INPUTS)
    run = subprocess.run([args.tolvex, "run", json_path], input=lines, capture_output=True, text=True, check=True)
    outputs = run.stdout.splitlines()
    with open(os.path.join(args.out, "cartpole.expected"), "w") as f:
        for inp, out in zip(lines.splitlines(), outputs):
            f.write("%s -> %s\n" % (inp, out))
    print("wrote", json_path, tvxf_path, "and cartpole.expected")


if __name__ == "__main__":
    main()
