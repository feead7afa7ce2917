#!/usr/bin/env python3
"""Writes physics_reference.h: the force model and the integration step evaluated in
256-bit arithmetic (mpmath) for a table of constructed cases, with the error each computed
double may have.

Regenerate (from the repository root; the build only reads the header):

    python3 tests/data/physics_reference.py > tests/data/physics_reference.h

The formulas below are written from the force model and the integration step as the physics
defines them, independently of src/kernels/physics.h. Every input is a double, so its exact
value is known. Each quantity is carried as a triple:

  exact   the value of the formula in exact arithmetic on those inputs (256 bits);
  error   a bound on |double result - exact| for an evaluation in IEEE double precision
          with the project's rounding rule: a sum of three products (squares and dot
          products alike) is y product, then the x product fused onto it, then the z
          product fused onto that; every other operation rounds once, as written;
          acos, atan2, sin and cos are within 2 ulps of their exact values (the C library's
          and CUDA's bounds); an operation on exact operands whose exact result is a double
          rounds to itself (error 0);
  double  the double result of that evaluation (the library functions correctly rounded),
          used to decide branches as the code does and for the cases pinned bit for bit.

The error bound is propagated forward through every operation (a running error analysis):
|fl(z) - z| <= u |z| with u = 2^-53 for each rounding, and each operation's sensitivity to
the errors of its operands (products, quotients, square roots and the library functions by
their derivatives). Where cancellation makes a component ill-conditioned the bound is large
in ulps of the result: it is the component's condition with respect to the roundings before
it. The test accepts |computed - exact| <= bound.

The radiation-reaction term is some 40 orders of magnitude below the Newtonian pull, far
below any rounding. Its cases are built so that the post-Newtonian factor P rounds to
exactly 0: the force is then the radiation-reaction term alone and the double result is
pinned bit for bit. So are the results of every record that the outer model and the
pair term give (no library function enters them): the evaluation order above fixes every
rounding, and the pinned bits catch a change of that order. The integration step is specified operation by operation, so
its results are pinned bit for bit as well (an error bound of 0 ulps).
"""

import math
import sys

import mpmath as mp

mp.mp.prec = 256
U = mp.mpf(2) ** -53
LIBRARY_ULPS = 2


def round53(x):
    """x rounded to the nearest double (ties to even); asserts the normal range."""
    if x == 0:
        return mp.mpf(0)
    assert mp.mpf(2) ** -1000 < abs(x) < mp.mpf(2) ** 1000, x
    with mp.workprec(53):
        return +x


class Q:
    """A quantity: exact value, error bound of the double evaluation, its double result."""

    def __init__(self, exact, error, double):
        self.exact, self.error, self.double = exact, error, double

    def __repr__(self):
        return f"Q({mp.nstr(self.exact, 20)}, err {mp.nstr(self.error, 3)}, {float(self.double)!r})"


def const(value):
    x = mp.mpf(value)
    return Q(x, mp.mpf(0), x)


def rounded(exact, error_before, computed_before):
    """A rounding step: `exact` the exact result, `error_before` the bound on the unrounded
    computed value `computed_before`."""
    double = round53(computed_before)
    if error_before == 0 and double == computed_before:
        return Q(exact, mp.mpf(0), double)
    return Q(exact, error_before + U * (abs(exact) + error_before), double)


def add(a, b):
    return rounded(a.exact + b.exact, a.error + b.error, a.double + b.double)


def neg(a):
    return Q(-a.exact, a.error, -a.double)


def sub(a, b):
    return add(a, neg(b))


def product_error(a, b):
    return abs(a.exact) * b.error + abs(b.exact) * a.error + a.error * b.error


def mul(a, b):
    return rounded(a.exact * b.exact, product_error(a, b), a.double * b.double)


def fma(a, b, c):
    return rounded(a.exact * b.exact + c.exact, product_error(a, b) + c.error,
                   a.double * b.double + c.double)


def div(a, b):
    assert abs(b.exact) > 2 * b.error
    quotient = a.exact / b.exact
    error = (a.error + abs(quotient) * b.error) / (abs(b.exact) - b.error)
    return rounded(quotient, error, a.double / b.double)


def sqrt(a):
    assert a.exact > a.error
    root = mp.sqrt(a.exact)
    error = a.error / (root + mp.sqrt(a.exact - a.error))
    return rounded(root, error, mp.sqrt(a.double))


def library(function, a, slope):
    """A library function within LIBRARY_ULPS ulps; `slope` bounds |f'| near a."""
    exact = function(a.exact)
    double = round53(function(a.double))
    if a.error == 0 and double == function(a.double):
        return Q(exact, mp.mpf(0), double)  # acos(1), sin(0), cos(0): exact everywhere
    propagated = slope * a.error
    return Q(exact, propagated + LIBRARY_ULPS * 2 * U * (abs(exact) + propagated), double)


def acos(a):
    edge = abs(a.exact) + a.error
    assert edge < 1
    return library(mp.acos, a, 1 / mp.sqrt(1 - edge * edge))


def sin(a):
    return library(mp.sin, a, abs(mp.cos(a.exact)) + a.error)


def cos(a):
    return library(mp.cos, a, abs(mp.sin(a.exact)) + a.error)


def atan2(y, x):
    exact = mp.atan2(y.exact, x.exact)
    double = round53(mp.atan2(y.double, x.double))
    if y.error == 0 and x.error == 0 and double == mp.atan2(y.double, x.double):
        return Q(exact, mp.mpf(0), double)
    r2 = x.exact ** 2 + y.exact ** 2
    slack = 2 * (abs(x.exact) * x.error + abs(y.exact) * y.error)
    assert r2 > 2 * slack
    propagated = (abs(x.exact) * y.error + abs(y.exact) * x.error) / (r2 - slack)
    return Q(exact, propagated + LIBRARY_ULPS * 2 * U * (abs(exact) + propagated), double)


def sum_of_products(a, b):
    """a . b for three-vectors: y product, x fused onto it, z fused onto that."""
    return fma(a[2], b[2], fma(a[0], b[0], mul(a[1], b[1])))


# --- Constants: each the double of its expression, left to right -----------------------------

G_ = 6.6743e-11
C_ = 299792458.0
C2_ = C_ * C_
GM_ = G_ * (1.4e8 * 1.989e30)
RS_ = 2 * GM_ / C2_
R_IN_ = 1000 * RS_
J_ = 0.7 * G_ * (1.4e8 * 1.989e30) * (1.4e8 * 1.989e30) / C_
K_ = 2 * G_ * J_ / C_
for value, printed in [(C2_, 8.987551787368176e16), (GM_, 1.8585255779999997e28),
                       (RS_, 413577717707.75665), (R_IN_, 413577717707756.6),
                       (3 * RS_, 1240733153123.27), (K_, 5.3805133679551035e39),
                       (3 * G_, 2.0022899999999998e-10), (2 * C2_, 1.7975103574736352e17),
                       (8 * G_ * G_, 3.5637024391999994e-20),
                       (C_ * C_ * C_ * C_ * C_, 2.4216061708512204e42)]:
    assert value == printed, (value, printed)

G, C, C2, GM = const(G_), const(C_), const(C2_), const(GM_)
RS, THREE_RS, K = const(RS_), const(3 * RS_), const(K_)
EPS2, THREE_G, TWO_C2 = const(1e32), const(3 * G_), const(2 * C2_)
EIGHT_GG, C5 = const(8 * G_ * G_), const(C_ * C_ * C_ * C_ * C_)
ONE, TWO, FIVE = const(1.0), const(2.0), const(5.0)
DELTA = 1e-10
STRIDE = 1000


# --- The force model ----------------------------------------------------------------------------

def outer_pull(d, r, v):
    k = div(GM, mul(r, mul(r, r)))
    f = add(div(sum_of_products(v, v), C2), ONE)
    return [neg(mul(mul(dk, k), f)) for dk in d]


def inner_pull(d, s, r, v):
    dx, dy, dz = d
    vx, vy, vz = v
    assert r.double > DELTA
    theta = acos(div(dz, r))
    phi = atan2(dy, dx)
    rho = sqrt(s)
    v_r = div(sum_of_products(d, v), r)
    assert rho.double > DELTA
    rho2 = mul(rho, rho)
    w_theta = div(sub(mul(dz, fma(dx, vx, mul(dy, vy))), mul(vz, rho2)), mul(mul(r, r), rho))
    w_phi = div(sub(mul(dx, vy), mul(dy, vx)), rho2)
    st, ct, sp, cp = sin(theta), cos(theta), sin(phi), cos(phi)
    assert st.double != 0
    r3 = mul(r, mul(r, r))
    two_r = add(r, r)
    st2 = mul(st, st)
    omega = div(K, mul(r3, C))
    a_r = mul(div(neg(GM), r3), add(ONE, div(neg(THREE_RS), two_r)))
    a_r = add(a_r, mul(sub(div(RS, mul(r, two_r)), div(ONE, r)), mul(v_r, v_r)))
    a_r = add(a_r, mul(w_theta, mul(r, w_theta)))
    a_r = add(a_r, mul(w_phi, mul(w_phi, mul(r, st2))))
    a_r = sub(a_r, mul(omega, mul(w_phi, mul(two_r, st2))))
    minus_two_v_r = mul(neg(TWO), v_r)
    a_theta = add(div(mul(minus_two_v_r, w_theta), r), mul(w_phi, mul(w_phi, mul(st, ct))))
    a_phi = add(mul(omega, v_r), sub(div(mul(minus_two_v_r, w_phi), r),
                                     mul(w_phi, mul(w_theta, div(add(ct, ct), st)))))
    p = mul(st, a_r)
    q = mul(ct, a_theta)
    return [sub(add(mul(p, cp), mul(q, cp)), mul(a_phi, sp)),
            add(add(mul(p, sp), mul(q, sp)), mul(a_phi, cp)),
            sub(mul(a_r, ct), mul(st, a_theta))]


def black_hole_pull(d, v):
    s = fma(d[0], d[0], mul(d[1], d[1]))
    r = sqrt(fma(d[2], d[2], s))
    if r.double < R_IN_:
        return inner_pull(d, s, r, v), "inner"
    return outer_pull(d, r, v), "outer"


def pair_pull(pi, vi, mi, pj, vj, mj):
    d = [sub(pj[k], pi[k]) for k in range(3)]
    dv = [sub(vj[k], vi[k]) for k in range(3)]
    dist = sqrt(add(sum_of_products(d, d), EPS2))
    d2 = mul(dist, dist)
    d3 = mul(dist, d2)
    newtonian = div(mul(mul(mi, G), mj), d2)
    total = add(mi, mj)
    reduced = div(mul(mi, mj), total)
    post_newtonian = add(add(div(sum_of_products(dv, dv), neg(TWO_C2)), ONE),
                         div(mul(total, THREE_G), mul(dist, C2)))
    radiation = div(mul(total, mul(reduced, neg(EIGHT_GG))), mul(mul(d3, FIVE), C5))
    force = add(mul(newtonian, post_newtonian), mul(sum_of_products(d, dv), radiation))
    return [div(div(mul(dk, force), dist), mi) for dk in d], post_newtonian


def accelerations(records, centre):
    """Every record's acceleration: the hole's pull plus the sampled records' pulls."""
    out = []
    for i, (pos, vel, mass) in enumerate(records):
        p = [const(x) for x in pos]
        v = [const(x) for x in vel]
        m = const(mass)
        a, model = black_hole_pull([sub(p[k], const(centre[k])) for k in range(3)], v)
        for j in range(0, len(records), STRIDE):
            if j == i:
                continue
            pj, vj, mj = records[j]
            pull, _ = pair_pull(p, v, m, [const(x) for x in pj], [const(x) for x in vj],
                                const(mj))
            a = [add(a[k], pull[k]) for k in range(3)]
        out.append((a, model))
    return out


# --- The integration step: specified rounding by rounding ---------------------------------------

def step_length(r, dt):
    """The inner zone's step: one hundredth of dt as a single rounded product of dt and the
    double nearest 0.01."""
    return round53(mp.mpf(dt) * mp.mpf(0.01)) if r < R_IN_ else mp.mpf(dt)


def other_inner_steps(dt):
    """The inner zone's step computed in other ways, each rounding its own way: what the table
    has to tell from step_length."""
    d = mp.mpf(dt)
    tenth = mp.mpf(0.1)
    return {"dt / 100": round53(d / 100),
            "dt * 0.1 * 0.1": round53(round53(d * tenth) * tenth),
            "dt / 10 / 10": round53(round53(d / 10) / 10),
            "dt * 0.1 / 10": round53(round53(d * tenth) / 10)}


def integrate(pos, vel, acc, dt, inner_step=None):
    """The step; with `inner_step`, that step length instead of step_length's inside the zone."""
    p = [mp.mpf(x) for x in pos]
    v = [mp.mpf(x) for x in vel]
    a = [mp.mpf(x) for x in acc]
    s = round53(p[1] * p[1])
    s = round53(p[0] * p[0] + s)
    s = round53(p[2] * p[2] + s)
    r = round53(mp.sqrt(s))
    h = inner_step if inner_step is not None and r < R_IN_ else step_length(r, dt)
    new_p, new_v = [], []
    for k in range(3):
        t = round53(a[k] * h)
        w = round53(v[k] + t / 2)
        new_p.append(round53(p[k] + h * w))
        new_v.append(round53(w + t / 2))
    return new_p, new_v, r < R_IN_


# --- Constructed inputs ---------------------------------------------------------------------------

def spherical(r, theta, phi):
    return [r * math.sin(theta) * math.cos(phi), r * math.sin(theta) * math.sin(phi),
            r * math.cos(theta)]


def local_velocity(theta, phi, radial, polar, azimuthal):
    """Cartesian velocity from components along r-hat, theta-hat and phi-hat."""
    st, ct, sp, cp = math.sin(theta), math.cos(theta), math.sin(phi), math.cos(phi)
    return [radial * st * cp + polar * ct * cp - azimuthal * sp,
            radial * st * sp + polar * ct * sp + azimuthal * cp,
            radial * ct - polar * st]


def double_radius(p):
    """The double r of a position, as the force model and the integration step form it."""
    x, y, z = (mp.mpf(c) for c in p)
    return round53(mp.sqrt(round53(z * z + round53(x * x + round53(y * y)))))


def on_zone_edge(direction, inside):
    """A position along `direction` whose double radius is R_in itself (inside=False) or the
    largest double below it (inside=True), found by stepping the x coordinate."""
    target = math.nextafter(R_IN_, 0) if inside else R_IN_
    norm = math.sqrt(sum(c * c for c in direction))
    p = [R_IN_ * c / norm for c in direction]
    for _ in range(10000):
        r = double_radius(p)
        if r == target:
            return p
        p[0] = math.nextafter(p[0], math.inf if (r < target) == (p[0] > 0) else -math.inf)
    raise AssertionError("no position on the zone's edge")


SOLAR = 1.989e30
MASSLESS = ([1e30, 0.0, 0.0], [0.0, 0.0, 0.0], 0.0)  # sampled record 0 that pulls nothing

# (name, [(label, position, velocity, mass)], centre); record 0 is the sampled one.
SYSTEMS = []


def system(name, centre, first, cases):
    SYSTEMS.append((name, [("sampled record", *first)] + cases, centre))


def inner_cases():
    cases = []
    for r, theta, phi, label in [(1e9, 1.0, 0.7, "r 1e9 m, north"),
                                 (3.7e11, 2.2, -2.5, "r 3.7e11 m (near 1.5 r_s), south"),
                                 (2e14, 0.6, 2.9, "r 2e14 m")]:
        p = spherical(r, theta, phi)
        for motion, (vr, vt, vp) in [("radial", (1e6, 0, 0)), ("polar", (0, 1e6, 0)),
                                     ("azimuthal", (0, 0, 1e6)),
                                     ("mixed", (-3e5, 7e5, -4e5))]:
            cases.append((f"inner, {label}, {motion}", p, local_velocity(theta, phi, vr, vt, vp),
                          SOLAR))
    for theta, label in [(1e-3, "near the +z axis"), (math.pi - 1e-3, "near the -z axis")]:
        p = spherical(5e10, theta, 0.4)
        cases.append((f"inner, {label}", p, local_velocity(theta, 0.4, 2e5, -3e5, 5e5), SOLAR))
    cases.append(("inner, r 1e3 m, mixed", spherical(1e3, 1.2, -0.3),
                  local_velocity(1.2, -0.3, 1e7, -2e7, 3e7), SOLAR))
    # On the x axis at 4e14 m: at rest, tangential, falling in (theta is the double nearest
    # pi/2, so az carries its cosine of about 6.1e-17).
    for v in ([0.0, 0.0, 0.0], [0.0, 1e6, 0.0], [-1e6, 0.0, 0.0]):
        cases.append(("inner, 4e14 m on the x axis", [4e14, 0.0, 0.0], v, SOLAR))
    # On the equator (theta is the double nearest pi/2), moving almost tangentially.
    cases.append(("inner, equator, near-tangential", [7.123456789012345e9, 3.0 * 2.0 ** 32, 0.0],
                  [-2.2e5, 3.1e5, 1e6], SOLAR))
    # Both sides of the zone's edge, off the axes and moving.
    direction = spherical(1.0, 1.1, 0.8)
    v_edge = local_velocity(1.1, 0.8, -2e5, 3e5, 6e5)
    cases.append(("inner, one ulp inside the edge", on_zone_edge(direction, True), v_edge, SOLAR))
    cases.append(("outer, exactly on the edge", on_zone_edge(direction, False), v_edge, SOLAR))
    cases.append(("inner, 1e-9 inside the edge", spherical(R_IN_ * (1 - 1e-9), 2.5, -1.9),
                  v_edge, SOLAR))
    cases.append(("outer, 1e-9 outside the edge", spherical(R_IN_ * (1 + 1e-9), 2.5, -1.9),
                  v_edge, SOLAR))
    return cases


def outer_cases():
    cases = [("outer, at rest on the x axis", [1e20, 0.0, 0.0], [0.0, 0.0, 0.0], SOLAR),
             ("outer, moving on the x axis", [1e20, 0.0, 0.0], [0.0, 2e5, 0.0], SOLAR),
             ("outer, at rest on the edge", [R_IN_, 0.0, 0.0], [0.0, 0.0, 0.0], SOLAR)]
    for p, v in [([3e19, -4e19, 1.2e19], [1e5, 2e5, -3e5]),
                 ([-2.5e20, 1e18, -7e19], [-4e6, 1e6, 2e7]),
                 ([1e16, 2e16, -3e16], [1e8, -5e7, 2e7]),
                 ([-6e21, -6e21, 6e21], [3e3, -4e3, 5e3])]:
        cases.append(("outer, moving", p, v, 1e31))
    return cases


def pair_cases(source_position, source_velocity, mass, label):
    cases = []
    unit = [[1, 0, 0], [0, 1, 0], [0, 0, 1], [-1, 0, 0], [0, -1, 0], [0, 0, -1],
            [0.6, -0.48, 0.64]]
    for n, distance in enumerate([1e15, 1e16, 1.3e17, 4e18]):
        for k, dv in enumerate([[3e6, 0, 0], [0, -4e6, 0], [0, 0, 5e6], [2e6, 3e6, -6e6]]):
            direction = unit[(n + 2 * k) % len(unit)]
            p = [source_position[c] - distance * direction[c] for c in range(3)]
            v = [source_velocity[c] - dv[c] for c in range(3)]
            cases.append((f"pair, {label}, distance {distance:g}", p, v, mass))
    cases.append((f"pair, {label}, coincident", list(source_position),
                  [source_velocity[0] + 1e6, source_velocity[1], source_velocity[2] - 2e6], mass))
    return cases


# The hole so far away that its pull (some 2e-46 m/s^2) leaves the pair term to decide.
CENTRE_FAR = [1e37, -2e36, 3e36]


def build_systems():
    system("inner zone, centre at the origin", [0.0, 0.0, 0.0], MASSLESS, inner_cases())
    offset = [1e14, -2e14, 3e13]
    shifted = [(label + " (hole off the origin)", [p[k] + offset[k] for k in range(3)], v, m)
               for label, p, v, m in inner_cases()[:8]]
    system("inner zone, centre off the origin", offset, MASSLESS, shifted)
    system("outer zone", [0.0, 0.0, 0.0], MASSLESS, outer_cases())
    source = ([1e20, 2e19, -3e18], [1e5, -2e5, 3e4])
    system("pairs, equal masses", CENTRE_FAR, source + (SOLAR,),
           pair_cases(*source, SOLAR, "equal masses"))
    system("pairs, heavy sampled record", CENTRE_FAR, source + (1e40,),
           pair_cases(*source, 1.0, "light particle, sampled 1e40 kg"))
    system("pairs, light sampled record", CENTRE_FAR, source + (1.0,),
           pair_cases(*source, 1e40, "1e40 kg particle, sampled 1 kg"))
    build_radiation_system()


def build_radiation_system():
    """Pairs whose post-Newtonian factor rounds to exactly 0, so that the force is the
    radiation-reaction term alone. With t = 3 G m_tot / (d c^2) in [1, 2) and an even last
    bit, P = (q + 1) + t is exactly 0 when q = |dv|^2 / (-2 c^2) rounds to -(1 + t): the
    sampled record weighs some 1e43 kg, and |dv| is about 2.2 c."""
    source_p, source_v = [2e20, -1e20, 5e19], [0.0, 0.0, 0.0]
    mass_i = 2e30
    cases = []
    for offset, direction in [([1.5e16, 0.0, 0.0], [1.0, 0.01, 0.0]),
                              ([-9e15, 1.2e16, 4e15], [0.6, -0.02, -0.8]),
                              ([0.0, 0.0, -2.5e16], [-0.28, 0.05, 0.96])]:
        pi = [source_p[k] - offset[k] for k in range(3)]
        cases.append((pi, direction))
    for n, (pi, direction) in enumerate(cases):
        d = pair_distance(pi, source_p)
        mass_j = float(1.5 * d * C2_ / (3 * G_))  # t about 1.5, then up to an even last bit
        while True:
            total = round53(mp.mpf(mass_i) + mp.mpf(mass_j))
            t = round53(round53(total * mp.mpf(THREE_G.double)) / round53(d * C2.double))
            if 1 <= t < 2 and int(t * 2 ** 52) % 2 == 0:
                break
            mass_j = math.nextafter(mass_j, math.inf)
        dv = velocity_for_quotient(direction, -(1 + t))
        vi = [source_v[k] - dv[k] for k in range(3)]
        _, post_newtonian = pair_pull([const(x) for x in pi], [const(x) for x in vi],
                                      const(mass_i), [const(x) for x in source_p],
                                      [const(x) for x in source_v], const(mass_j))
        assert post_newtonian.double == 0, post_newtonian
        SYSTEMS.append((f"radiation reaction alone {n + 1}",
                        [("sampled record, some 1e43 kg", source_p, source_v, mass_j),
                         ("pair, post-Newtonian factor rounds to 0", pi, vi, mass_i)],
                        CENTRE_FAR))


def pair_distance(pi, pj):
    d = [round53(mp.mpf(pj[k]) - mp.mpf(pi[k])) for k in range(3)]
    s = round53(d[2] * d[2] + round53(d[0] * d[0] + round53(d[1] * d[1])))
    return round53(mp.sqrt(round53(s + mp.mpf(1e32))))


def velocity_for_quotient(direction, target):
    """A relative velocity along about `direction` whose |dv|^2 / (-2 c^2) rounds to
    `target`: x and z from the direction, y (the smallest component) solved for and then
    stepped ulp by ulp."""
    speed = mp.sqrt(-target * 2 * mp.mpf(C2_)) / mp.sqrt(sum(c * c for c in direction))
    x, z = float(speed * direction[0]), float(speed * direction[2])
    wanted = -target * 2 * mp.mpf(C2_)
    y0 = float(mp.sqrt(wanted - mp.mpf(x) ** 2 - mp.mpf(z) ** 2))
    for k in range(20000):
        y = y0
        for _ in range(k // 2):
            y = math.nextafter(y, math.inf if k % 2 else 0.0)
        d = [mp.mpf(x), mp.mpf(y), mp.mpf(z)]
        s = round53(d[2] * d[2] + round53(d[0] * d[0] + round53(d[1] * d[1])))
        if round53(s / mp.mpf(-TWO_C2.double)) == target:
            return [x, math.copysign(y, direction[1]), z]
    raise AssertionError("no velocity found")


SECONDS_PER_MYR = 3.15576e13  # a Julian megayear


def integration_cases():
    dt = 3.15576e15
    edge = on_zone_edge(spherical(1.0, 0.9, -2.2), False)
    inside = on_zone_edge(spherical(1.0, 0.9, -2.2), True)
    return [
        ("outside the zone, at rest under a unit pull", [1e15, 0.0, 0.0], [0.0, 0.0, 0.0],
         [1.0, 0.0, 0.0], 2.0),
        ("inside the zone: at the origin under a unit pull", [0.0, 0.0, 0.0], [0.0, 0.0, 0.0],
         [1.0, 0.0, 0.0], 2.0),
        ("outside the zone, no acceleration: drifts", [1e20, -2e20, 3e19], [1e5, -2e5, 3e3],
         [0.0, 0.0, 0.0], dt),
        ("outside the zone, galaxy-like", [3e20, -1e20, 4e18], [1.1e5, 2.3e5, -7e3],
         [-1.7e-12, 6.1e-13, -2.2e-14], dt),
        ("outside the zone, kick comparable to the speed", [-5e19, 2e19, 1e18], [1e5, -3e4, 2e3],
         [3.3e-11, -1.2e-11, 9e-13], dt),
        ("exactly on the zone's edge: full step", edge, [2e5, -1e5, 3e5], [1e-3, -2e-3, 3e-3], dt),
        ("one ulp inside the edge: a hundredth", inside, [2e5, -1e5, 3e5], [1e-3, -2e-3, 3e-3],
         dt),
        ("inside the zone, moving", [1e14, -2e14, 5e13], [4e5, 6e5, -2e5],
         [-2.5e-3, 1.2e-3, 4e-4], dt),
        ("inside the zone near the hole", [3e9, 4e9, -1e9], [1e7, -2e7, 5e6], [7e2, -3e2, 1e2],
         dt),
        ("short step inside the zone", [1e13, 1e13, 1e13], [1.0, -2.0, 3.0], [0.7, -0.3, 0.1],
         2.0),
        ("negative step outside the zone", [1e21, 0.0, -1e21], [-3e5, 1e5, 0.0],
         [1e-13, -2e-13, 3e-13], -dt),
    ] + [
        # Steps of lumeth-record --step-myr lengths at which the other roundings of the inner
        # zone's step (other_inner_steps) give other step lengths, and so other bits.
        (f"inside the zone, a step of {myr} Myr", [2e13, -1e13, 7e12], [3e5, -1e5, 2e5],
         [1.3e-8, -2.1e-8, 7e-9], myr * SECONDS_PER_MYR)
        for myr in (26.4204151, 6.70342032, 8.57872185)
    ]


# --- Output ---------------------------------------------------------------------------------------

def hexf(x):
    return float(x).hex()


def component(q, pinned):
    """{high, low, allowed, pinned, bits} for one expected component."""
    hi = round53(q.exact)
    lo = round53(q.exact - hi) if q.exact != hi else mp.mpf(0)
    allowed = float(q.error * (1 + mp.mpf(2) ** -20))
    allowed = math.nextafter(allowed, math.inf) if allowed > 0 else 0.0
    # The table's own double evaluation must lie within the bound.
    assert abs(q.double - q.exact) <= q.error, q
    return "{%s, %s, %s, %s, %s}" % (hexf(hi), hexf(lo), allowed.hex(),
                                     "true" if pinned else "false", hexf(q.double))


def ulps(q):
    if q.exact == 0:
        return "exact 0" if q.error == 0 else f"{float(q.error):.2g} about 0"
    ulp = mp.mpf(2) ** (mp.floor(mp.log(abs(q.exact), 2)) - 52)
    return f"{float(q.error / ulp):.3g} ulps"


def main():
    build_systems()
    out = sys.stdout
    out.write("// Generated by tests/data/physics_reference.py: do not edit. Regenerate with\n"
              "//     python3 tests/data/physics_reference.py > tests/data/physics_reference.h\n"
              "// The force model and the integration step evaluated in 256-bit arithmetic for\n"
              "// constructed cases (see the generator for the model of the error bounds).\n"
              "#pragma once\n\nnamespace physics_reference {\n\n"
              "// An expected component: the exact value is high + low; a double result is\n"
              "// accepted within `allowed` of it. Where `pinned` is set (no library function\n"
              "// enters, so the evaluation order fixes every rounding) it must also have\n"
              "// exactly the bits of `bits`.\n"
              "struct Component {\n    double high, low, allowed;\n    bool pinned;\n"
              "    double bits;\n};\n\n"
              "struct Record {\n    const char* label;\n    double position[3], velocity[3], mass;\n"
              "    Component acceleration[3];\n};\n\n"
              "struct System {\n    const char* name;\n    double centre[3];\n"
              "    int first, count;  // records first .. first + count - 1 of `records`\n};\n\n"
              "struct Step {\n    const char* label;\n    double position[3], velocity[3],"
              " acceleration[3], dt;\n    bool inner_zone;\n"
              "    double new_position[3], new_velocity[3];  // exact bits\n};\n\n")
    records_text, systems_text = [], []
    worst = {}
    first = 0
    for entry in SYSTEMS:
        name, recs, centre = entry
        result = accelerations([(p, v, m) for _, p, v, m in recs], centre)
        for (label, p, v, m), (a, model) in zip(recs, result):
            if label.startswith(("inner", "outer")):
                assert label.startswith(model), (label, model)
            pinned = model == "outer"  # no library function: the bits follow from the order
            comps = ", ".join(component(q, pinned) for q in a)
            note = "; ".join(ulps(q) for q in a)
            records_text.append(
                f"    // {label}: {model} model{', bits pinned' if pinned else ''}; "
                f"allowed {note}\n"
                f"    {{\"{label}\", {{{', '.join(hexf(x) for x in p)}}}, "
                f"{{{', '.join(hexf(x) for x in v)}}}, {hexf(m)},\n     {{{comps}}}}},\n")
            kind = model + (" + pair" if "pair" in label else "")
            for q in a:
                if q.exact != 0 and "radiation" not in name:
                    ulp = mp.mpf(2) ** (mp.floor(mp.log(abs(q.exact), 2)) - 52)
                    worst.setdefault(kind, []).append(float(q.error / ulp))
        systems_text.append(f"    {{\"{name}\", {{{', '.join(hexf(x) for x in centre)}}}, "
                            f"{first}, {len(recs)}}},\n")
        first += len(recs)
    out.write("// Allowed error in ulps of the exact value, per kind of record (median, largest):\n")
    for kind, values in sorted(worst.items()):
        values.sort()
        out.write(f"//   {kind}: {values[len(values) // 2]:.3g}, {values[-1]:.3g}\n")
    out.write("inline constexpr Record records[] = {\n" + "".join(records_text) + "};\n\n")
    out.write("inline constexpr System systems[] = {\n" + "".join(systems_text) + "};\n\n")
    out.write("inline constexpr Step steps[] = {\n")
    caught = set()
    for label, p, v, a, dt in integration_cases():
        new_p, new_v, inner = integrate(p, v, a, dt)
        assert inner == ("inside" in label), label
        if "Myr" in label:
            for way, h in other_inner_steps(dt).items():
                if h != step_length(0, dt):
                    assert integrate(p, v, a, dt, h)[:2] != (new_p, new_v), (label, way)
                    caught.add(way)
        out.write(f"    {{\"{label}\", {{{', '.join(hexf(x) for x in p)}}},\n"
                  f"     {{{', '.join(hexf(x) for x in v)}}},\n"
                  f"     {{{', '.join(hexf(x) for x in a)}}}, {hexf(dt)}, "
                  f"{'true' if inner else 'false'},\n"
                  f"     {{{', '.join(hexf(x) for x in new_p)}}},\n"
                  f"     {{{', '.join(hexf(x) for x in new_v)}}}}},\n")
    assert caught == set(other_inner_steps(1.0)), caught
    out.write("};\n\n}  // namespace physics_reference\n")


if __name__ == "__main__":
    main()
