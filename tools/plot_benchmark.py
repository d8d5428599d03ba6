#!/usr/bin/env python3
"""Draws the codec benchmark chart from the CSV that codec_benchmark writes.

    plot_benchmark.py benchmarks.csv benchmarks.png

Three panels, one bar per codec: compression speed, decompression speed
(both in MB/s of uncompressed data, on one shared log scale, since memcpy
and zlib -6 are orders of magnitude apart) and ratio (uncompressed / compressed).
The library's own codecs, the peers and the memcpy ceiling are coloured
apart. The CSV's first line, a comment naming the machine, becomes the
subtitle. Needs matplotlib (Debian's python3-matplotlib).
"""

import csv
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

COLOURS = {"project": "#1f6fb4", "peer": "#f28e2b", "ceiling": "#b0b0b0"}
GROUP_NAMES = {"project": "this library", "peer": "peers",
               "ceiling": "memcpy (ceiling)"}


def read(path):
    machine = ""
    lines = []
    with open(path, newline="") as f:
        for line in f:
            if line.startswith("#"):
                machine = machine or line[1:].strip()
            elif line.strip():
                lines.append(line)
    rows = list(csv.DictReader(lines))
    for row in rows:
        for key in ("compress_mb_s", "uncompress_mb_s", "ratio"):
            row[key] = float(row[key])
    return machine, rows


def speed_label(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def panel(ax, rows, key, title, limits, label):
    names = [row["label"] for row in rows]
    values = [row[key] for row in rows]
    colours = [COLOURS.get(row["group"], "#777777") for row in rows]
    positions = range(len(rows))
    ax.barh(positions, values, color=colours, height=0.7)
    ax.set_yticks(list(positions))
    ax.set_yticklabels(names, fontsize=11)
    ax.invert_yaxis()
    ax.set_title(title, fontsize=12, fontweight="bold")
    if limits is not None:
        # Both speed panels share one log scale, so bars compare across them.
        ax.set_xscale("log")
        ax.set_xlim(*limits)
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    else:
        present = [v for v in values if v > 0]
        ax.set_xlim(0, max(present + [1.0]) * 1.25)
    for pos, value in zip(positions, values):
        text = label(value) if value > 0 else "not run"
        ax.text(value if value > 0 else ax.get_xlim()[0], pos, " " + text,
                va="center", ha="left", fontsize=10)
    ax.grid(axis="x", which="major", color="#dddddd", linewidth=0.8)
    ax.set_axisbelow(True)
    ax.tick_params(axis="x", labelsize=9)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    machine, rows = read(argv[1])
    if not rows:
        sys.stderr.write(f"plot_benchmark.py: no rows in {argv[1]}\n")
        return 1

    fig, axes = plt.subplots(1, 3, figsize=(16, 0.5 * len(rows) + 2.6),
                             sharey=True)
    speeds = [row[key] for row in rows
              for key in ("compress_mb_s", "uncompress_mb_s") if row[key] > 0]
    low = 10.0 ** math.floor(math.log10(min(speeds))) if speeds else 1.0
    high = max(speeds) * 8 if speeds else 10.0
    panel(axes[0], rows, "compress_mb_s", "Compression, MB/s (log scale)",
          (low, high), speed_label)
    panel(axes[1], rows, "uncompress_mb_s", "Decompression, MB/s (log scale)",
          (low, high), speed_label)
    panel(axes[2], rows, "ratio", "Ratio (uncompressed / compressed)",
          None, lambda v: f"{v:.3f}")
    axes[1].tick_params(axis="y", left=False)
    axes[2].tick_params(axis="y", left=False)

    groups = []
    for row in rows:
        if row["group"] not in groups:
            groups.append(row["group"])
    handles = [plt.Rectangle((0, 0), 1, 1, color=COLOURS.get(g, "#777777"))
               for g in groups]
    fig.legend(handles, [GROUP_NAMES.get(g, g) for g in groups],
               loc="lower center", ncol=len(groups), frameon=False,
               fontsize=10)
    fig.suptitle("Codec benchmark: the whole sample corpus, one core",
                 fontsize=14, fontweight="bold", y=0.995)
    if machine:
        fig.text(0.5, 0.94, machine, ha="center", fontsize=10,
                 color="#444444")
    fig.tight_layout(rect=(0, 0.06, 1, 0.93))
    fig.savefig(argv[2], dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
