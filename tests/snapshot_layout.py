#!/usr/bin/env python3
"""The snapshot as an analysis package reads it, with h5py: GADGET's header, units and
particle types, the counts of the populations, checksummed chunked datasets, and positions,
masses and speeds in kpc, 1e10 solar masses and km/s that match the model.

Usage: snapshot_layout.py [EMULATOR...] LUMETH_RECORD (a cross-built program runs through its
emulator). Exit status 77 (skipped) without h5py."""
import math
import subprocess
import sys
import tempfile

try:
    import h5py
    import numpy as np
except ImportError as missing:
    print(f"skipped: {missing} (Debian: apt-get install python3-h5py)")
    sys.exit(77)

KPC_CM = 3.086e21
SOLAR_MASS_G = 1.989e33
MYR_S = 3.15576e13
# The model's own quantities, in SI: the gravitational constant and the black hole's mass.
G_SI = 6.6743e-11
BLACK_HOLE_KG = 1.4e8 * 1.989e30
COUNTS = [0, 10000, 70000, 20000, 0, 1]  # halo, disk, bulge, black hole


def check(condition, what):
    if not condition:
        print("FAILED:", what)
        sys.exit(1)


def check_snapshot(path, step):
    with h5py.File(path, "r") as f:
        header = f["Header"].attrs
        check(list(header["NumPart_ThisFile"]) == COUNTS, "NumPart_ThisFile")
        check(list(header["NumPart_Total"]) == COUNTS, "NumPart_Total")
        check(list(header["NumPart_Total_HighWord"]) == [0] * 6, "NumPart_Total_HighWord")
        check(list(header["MassTable"]) == [0.0] * 6, "MassTable: every type has Masses")
        for name, value in [("Redshift", 0), ("BoxSize", 0), ("NumFilesPerSnapshot", 1),
                            ("Omega0", 0), ("OmegaLambda", 0), ("HubbleParam", 1),
                            ("Flag_DoublePrecision", 1), ("Flag_Sfr", 0), ("Flag_Cooling", 0),
                            ("Flag_StellarAge", 0), ("Flag_Metals", 0), ("Flag_Feedback", 0)]:
            check(header[name] == value, f"Header/{name} = {header[name]}")
        for group in ("Units", "Parameters"):
            units = f[group].attrs
            check(units["UnitLength_in_cm"] == KPC_CM, f"{group}/UnitLength_in_cm")
            check(units["UnitMass_in_g"] == 1e10 * SOLAR_MASS_G, f"{group}/UnitMass_in_g")
            check(units["UnitVelocity_in_cm_per_s"] == 1e5, f"{group}/UnitVelocity_in_cm_per_s")
        check(f["Parameters"].attrs["ComovingIntegrationOn"] == 0, "ComovingIntegrationOn")
        # Time in kpc / (km/s): the simulated time over the time unit.
        unit_time = f["Units"].attrs["UnitTime_in_s"]
        check(unit_time == KPC_CM / 1e5, "UnitTime_in_s")
        check(math.isclose(header["Time"] * unit_time / MYR_S, 100.0 * step, rel_tol=1e-12),
              f"Time {header['Time']} at step {step}")

        def each_dataset(name, item):
            if isinstance(item, h5py.Dataset):
                check(item.chunks is not None and item.fletcher32, f"{name}: no checksum")
        f.visititems(each_dataset)

        first = 0
        for ptype, count in [(3, 20000), (2, 70000), (1, 10000)]:  # the array's order
            g = f[f"PartType{ptype}"]
            for name in ("Coordinates", "Velocities", "Acceleration"):
                check(g[name].shape == (count, 3) and g[name].dtype == np.float64, name)
            check(g["Masses"].shape == (count,), "Masses")
            ids = g["ParticleIDs"][:]
            check((ids == np.arange(first, first + count)).all(), f"PartType{ptype} IDs")
            first += count
        check("PartType0" not in f and "PartType4" not in f, "empty types have no group")

        def solar_masses(ptype):
            return f[f"PartType{ptype}/Masses"][:] * 1e10
        check(np.allclose(solar_masses(2), 1.0, rtol=1e-12), "disk particles: 1 solar mass")
        check(np.allclose(solar_masses(3), 1.0, rtol=1e-12), "bulge particles: 1 solar mass")
        check(np.allclose(solar_masses(1), 10.0, rtol=1e-12), "halo particles: 10 solar masses")
        check(np.allclose(solar_masses(5), 1.4e8, rtol=1e-12), "black hole: 1.4e8 solar masses")
        check((f["PartType5/Coordinates"][:] == 0).all(), "black hole at the centre")

        # What produced it: no backend for the new galaxy, the CPU's steps afterwards.
        own = f["Lumeth"].attrs
        check(own["LayoutVersion"] == 2, "Lumeth/LayoutVersion")
        backend = own["Backend"].decode() if isinstance(own["Backend"], bytes) else own["Backend"]
        library = own["MathLibrary"]
        library = library.decode() if isinstance(library, bytes) else library
        if step == 0:
            check(backend == "" and library == "", f"the new galaxy's producer {backend!r}")
        else:
            check(backend == "CPU" and library.startswith("glibc "),
                  f"producer {backend!r} {library!r}")

        check_model_quantities(f, step)

        # The records' own SI values give the GADGET ones.
        records = f["Lumeth/Particles"][:]
        check(records.shape == (100000, 10), "Lumeth/Particles")
        disk = f["PartType2/Coordinates"][:]
        check((records[20000:90000, 0:3] / 3.086e19 == disk).all(), "disk positions in kpc")
        if step == 0:
            radius = np.hypot(disk[:, 0], disk[:, 1])
            # Exponential with a mean of 20 kpc: the mean of 70,000 draws is within 0.08 kpc
            # one time in three.
            check(abs(radius.mean() - 20.0) < 0.4, f"disk mean radius {radius.mean()} kpc")
            halo = np.linalg.norm(f["PartType1/Coordinates"][:], axis=1)
            check(halo.min() >= 50.0 * (1 - 1e-12), f"a halo record at {halo.min()} kpc")
            v = f["PartType2/Velocities"][:]
            spin = disk[:, 0] * v[:, 1] - disk[:, 1] * v[:, 0]
            check(np.median(spin) > 0, "the disk turns about +z")


def check_model_quantities(f, step):
    """The GADGET values, converted to SI with the units the file declares (not the
    writer's conversions), against the model: the disk turns at the circular speed about the
    black hole, sqrt(G M / R); after a step, each disk particle's acceleration is the black
    hole's pull, G M / r^2, towards it; the black hole's mass; the header's time is the steps'
    time."""
    units = f["Units"].attrs
    metre = units["UnitLength_in_cm"] / 100.0
    metre_per_s = units["UnitVelocity_in_cm_per_s"] / 100.0
    kg = units["UnitMass_in_g"] / 1000.0
    second = units["UnitTime_in_s"]
    check(math.isclose(f["Header"].attrs["Time"] * second, step * 100.0 * MYR_S,
                       rel_tol=1e-12), "Header/Time in the declared time unit")
    check(math.isclose(f["PartType5/Masses"][0] * kg, BLACK_HOLE_KG, rel_tol=1e-12),
          "the black hole's mass in the declared mass unit")
    disk = f["PartType2/Coordinates"][:] * metre
    radius = np.hypot(disk[:, 0], disk[:, 1])
    # Between 10 and 60 kpc the orbits about the hole are far longer than a step.
    outer = (radius > 10 * 3.086e19) & (radius < 60 * 3.086e19)
    check(outer.sum() > 10000, "disk particles between 10 and 60 kpc")
    velocity = f["PartType2/Velocities"][:] * metre_per_s
    tangential = (disk[:, 0] * velocity[:, 1] - disk[:, 1] * velocity[:, 0]) / radius
    circular = np.sqrt(G_SI * BLACK_HOLE_KG / radius)
    ratio = np.median(tangential[outer] / circular[outer])
    # The generator's dispersion spreads each speed by a tenth or so; the median stays within
    # a few percent of 1 at either step.
    check(abs(ratio - 1.0) < 0.05, f"disk speed / circular speed about the hole: {ratio}")
    if step > 0:
        acceleration = f["PartType2/Acceleration"][:] * (metre_per_s ** 2 / metre)
        r3 = np.linalg.norm(disk, axis=1)
        pull = G_SI * BLACK_HOLE_KG / r3 ** 2
        magnitude = np.linalg.norm(acceleration, axis=1)
        ratio = np.median(magnitude[outer] / pull[outer])
        check(abs(ratio - 1.0) < 0.05, f"disk acceleration / the hole's pull: {ratio}")
        inward = np.einsum("ij,ij->i", acceleration, disk) / (magnitude * r3)
        check(np.median(inward[outer]) < -0.99, "disk accelerations point at the hole")


def main():
    program = sys.argv[1:]
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([*program, "--frames", "1", "--seed", "11", "--snapshot-every", "1",
                        "--snapshot-dir", folder], check=True, stdout=subprocess.DEVNULL)
        for step in (0, 1):
            check_snapshot(f"{folder}/snapshot_{step:06d}.hdf5", step)
    print("snapshot layout as GADGET readers expect it")


main()
