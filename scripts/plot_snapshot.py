#!/usr/bin/python3
"""Draws a lumeth snapshot against the model it was generated from.

  plot_snapshot.py SNAPSHOT.hdf5 PICTURE.png

Four panels: the disk's radii (dN/dR against N e^(-R/h) / h, h = 20 kpc, the exponential the
generator draws R from), the bulge's enclosed mass against r / (r + a) with a = 5 kpc, the
halo's radii against its r^-3 law beyond 50 kpc, and the disk's rotation speed against the
circular speed about the black hole. Reads GADGET's layout only (Header, Units, PartType1-3
and PartType5), so it draws any snapshot in that layout with those populations.

Needs Debian's python3-h5py and python3-matplotlib (scripts/install-deps.sh installs them).
"""
import os
import sys

import h5py
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

DISK_SCALE_KPC = 20.0
BULGE_SCALE_KPC = 5.0
HALO_INNER_KPC = 50.0
G_SI = 6.6743e-11
MYR_S = 3.15576e13


def main():
    if len(sys.argv) != 3:
        sys.exit(f"usage: {os.path.basename(sys.argv[0])} SNAPSHOT.hdf5 PICTURE.png")
    source, picture = sys.argv[1:]
    with h5py.File(source, "r") as f:
        units = f["Units"].attrs
        kpc = units["UnitLength_in_cm"] / 3.086e21  # kpc per length unit
        kms = units["UnitVelocity_in_cm_per_s"] / 1e5
        mass_kg = units["UnitMass_in_g"] / 1e3
        myr = f["Header"].attrs["Time"] * units["UnitTime_in_s"] / MYR_S
        disk = f["PartType2/Coordinates"][:] * kpc
        disk_v = f["PartType2/Velocities"][:] * kms
        bulge = f["PartType3/Coordinates"][:] * kpc
        halo = f["PartType1/Coordinates"][:] * kpc
        hole_kg = f["PartType5/Masses"][0] * mass_kg

    fig, axes = plt.subplots(2, 2, figsize=(10, 7.2))
    fig.suptitle(f"{source.split('/')[-1]}: {myr:.0f} Myr, "
                 f"{len(disk) + len(bulge) + len(halo)} particles")

    # Disk: the in-plane radius is exponential with mean h.
    radius = np.hypot(disk[:, 0], disk[:, 1])
    ax = axes[0, 0]
    edges = np.linspace(0, 150, 76)
    counts, _ = np.histogram(radius, edges)
    centres = 0.5 * (edges[1:] + edges[:-1])
    width = edges[1] - edges[0]
    ax.semilogy(centres, counts / width, "o", ms=3, label="snapshot")
    n = len(radius)
    ax.semilogy(centres, n * np.exp(-centres / DISK_SCALE_KPC) / DISK_SCALE_KPC, "-",
                label=r"model $N e^{-R/h} / h$, h = 20 kpc")
    ax.set_xlabel("disk radius R (kpc)")
    ax.set_ylabel("dN/dR (per kpc)")
    ax.set_title(f"disk: mean R {radius.mean():.2f} kpc")
    ax.legend(fontsize=8)

    # Bulge: the fraction within r is r / (r + a).
    r = np.sort(np.linalg.norm(bulge, axis=1))
    ax = axes[0, 1]
    fraction = np.arange(1, len(r) + 1) / len(r)
    grid = np.logspace(-2, 3, 200)
    ax.semilogx(r, fraction, "-", lw=2, label="snapshot")
    ax.semilogx(grid, grid / (grid + BULGE_SCALE_KPC), "--", label="model r / (r + a), a = 5 kpc")
    ax.set_xlim(1e-2, 1e3)
    ax.set_xlabel("bulge radius r (kpc)")
    ax.set_ylabel("enclosed mass fraction")
    ax.set_title(f"bulge: half the mass within {np.median(r):.2f} kpc")
    ax.legend(fontsize=8)

    # Halo: the fraction within r is 1 - (50 kpc / r)^3, nothing inside 50 kpc.
    r = np.sort(np.linalg.norm(halo, axis=1))
    ax = axes[1, 0]
    fraction = np.arange(1, len(r) + 1) / len(r)
    grid = np.logspace(np.log10(HALO_INNER_KPC), 3, 200)
    ax.semilogx(r, fraction, "-", lw=2, label="snapshot")
    ax.semilogx(grid, 1 - (HALO_INNER_KPC / grid) ** 3, "--", label="model 1 - (50 kpc / r)^3")
    ax.set_xlim(10, 1e3)
    ax.set_xlabel("halo radius r (kpc)")
    ax.set_ylabel("fraction within r")
    ax.set_title(f"halo: innermost record at {r[0]:.2f} kpc")
    ax.legend(fontsize=8)

    # Rotation: the disk's tangential speed against the circular speed about the hole.
    ax = axes[1, 1]
    tangential = (disk[:, 0] * disk_v[:, 1] - disk[:, 1] * disk_v[:, 0]) / np.maximum(radius, 1e-30)
    sample = np.random.default_rng(0).choice(len(radius), min(len(radius), 5000), replace=False)
    ax.loglog(radius[sample], np.abs(tangential[sample]), ".", ms=1, alpha=0.5,
              label="snapshot (5000 disk records)", rasterized=True)
    grid = np.logspace(-1, np.log10(300), 200)
    ax.loglog(grid, np.sqrt(G_SI * hole_kg / (grid * 3.086e19)) / 1e3, "-",
              label=r"model $\sqrt{GM/R}$, M = 1.4e8 suns")
    ax.set_xlim(0.1, 300)
    ax.set_xlabel("disk radius R (kpc)")
    ax.set_ylabel("|tangential speed| (km/s)")
    ax.set_title("rotation")
    ax.legend(fontsize=8)

    fig.tight_layout()
    fig.savefig(picture, dpi=64)


main()
