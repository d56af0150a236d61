"""The plain reference of the Clusterer's clusters, for the tests and the bench: connected
components of the hits under the same neighbour and time rule, with NumPy and SciPy."""

import numpy as np
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components

from zorvsdk import dtypes

WIDTH, CHIP = 512, 256  # the virtual device's detector and chips
WINDOW = 320  # ticks: the default window of 500 ns


def chip_of(address, width=WIDTH, chip=CHIP):
    x, y = address % width, address // width
    return (y // chip) * (width // chip) + x // chip


def kev_of(tot, cal):
    a, b, c, t = cal["a"], cal["b"], cal["c"], cal["t"]
    p, q = b - a * t - tot, tot * t - b * t - c
    return (-p + np.sqrt(np.maximum(0.0, p * p - 4 * a * q))) / (2 * a)


def reference_labels(hits, window=WINDOW, radius=1, width=WIDTH, chip=CHIP):
    """The cluster of each hit: connected components of the graph linking hits on one chip within
    `radius` columns and rows whose ToAs differ by at most `window`."""
    n = len(hits)
    address, t = hits["address"].astype(np.int64), hits["toa"].astype(np.int64)
    x, y, c = address % width, address // width, chip_of(address, width, chip)
    order = np.argsort(t, kind="stable")
    xs, ys, cs, ts = x[order], y[order], c[order], t[order]
    rows, cols = [np.arange(n)], [np.arange(n)]
    for k in range(1, n):  # pairs k apart in time order, while any lies within the window
        near = ts[k:] - ts[:-k] <= window
        if not near.any():
            break
        link = near & (cs[k:] == cs[:-k]) & (np.abs(xs[k:] - xs[:-k]) <= radius) & (np.abs(ys[k:] - ys[:-k]) <= radius)
        rows.append(order[:-k][link])
        cols.append(order[k:][link])
    i, j = np.concatenate(rows), np.concatenate(cols)
    return connected_components(coo_matrix((np.ones(len(i)), (i, j)), shape=(n, n)), directed=False)[1]


def reference_clusters(hits, labels, calibration=None, width=WIDTH, chip=CHIP):
    """The clusters of labelled hits as records of dtypes.CLUSTER."""
    n = labels.max() + 1 if len(labels) else 0
    address, t = hits["address"].astype(np.int64), hits["toa"].astype(np.uint64)
    tot = hits["tot"].astype(np.float64)
    x, y, c = address % width, address // width, chip_of(address, width, chip)
    out = np.zeros(n, dtypes.CLUSTER)
    size = np.bincount(labels, minlength=n)
    tot_sum = np.bincount(labels, tot, n)
    weighted = tot_sum > 0
    w = np.where(weighted, tot_sum, size)
    out["x"] = np.where(weighted, np.bincount(labels, x * tot, n), np.bincount(labels, x, n)) / w
    out["y"] = np.where(weighted, np.bincount(labels, y * tot, n), np.bincount(labels, y, n)) / w
    first = np.full(n, np.iinfo(np.uint64).max, np.uint64)
    np.minimum.at(first, labels, t)
    tot_max = np.zeros(n, np.uint64)
    np.maximum.at(tot_max, labels, hits["tot"].astype(np.uint64))
    peak = np.full(n, np.iinfo(np.uint64).max, np.uint64)
    at_max = hits["tot"] == tot_max[labels]
    np.minimum.at(peak, labels[at_max], t[at_max])
    out["toa"], out["toa_peak"], out["tot_max"], out["size"], out["tot_sum"] = first, peak, tot_max, size, tot_sum
    out["time_ns"], out["time_peak_ns"] = first * 1.5625, peak * 1.5625
    out["chip"][labels] = c
    out["kev"] = np.nan
    if calibration is not None:
        kev = np.zeros(len(hits))
        for i, cal in enumerate(calibration):
            if cal is not None:
                kev[c == i] = kev_of(tot[c == i], cal)
        calibrated = np.array([cal is not None for cal in calibration] + [False] * 1024)[out["chip"]]
        out["kev"] = np.where(calibrated, np.bincount(labels, kev, n), np.nan)
    return out
