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


def main():
    program = sys.argv[1:]
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([*program, "--frames", "1", "--seed", "11", "--snapshot-every", "1",
                        "--snapshot-dir", folder], check=True, stdout=subprocess.DEVNULL)
        for step in (0, 1):
            check_snapshot(f"{folder}/snapshot_{step:06d}.hdf5", step)
    print("snapshot layout as GADGET readers expect it")


main()
