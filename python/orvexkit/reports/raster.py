"""Offscreen snapshots without a GPU or display: a numpy z-buffer rasterizer with flat shading,
and a PNG encoder on zlib.

The clashing objects are drawn over their surroundings: where a neighbour stands in front of
them it is shown translucent, so the clash itself is never hidden.
"""
from __future__ import annotations

import math
import struct
import zlib

import numpy as np

from .camera import View

BACKGROUND = (244, 245, 247)
COLOUR_A = (224, 69, 43)      # the clash's object a
COLOUR_B = (43, 125, 224)     # object b
CONTEXT = (196, 200, 206)     # neighbours
MARKER = (25, 25, 25)         # contact points

_LIGHT = np.array([0.35, 0.5, -1.0]) / np.linalg.norm([0.35, 0.5, -1.0])  # camera space
_CANDIDATES = 1 << 22         # pixel candidates per numpy pass: bounds memory to ~250 MB


def render(view: View, side_a, side_b, context, markers=(), size=(640, 480), supersample=2):
    """An RGB image (h, w, 3) uint8 of the meshes seen through ``view``.

    ``side_a``, ``side_b`` (the clashing objects, highlighted) and ``context`` are lists of
    (vertices (n, 3), triangles (m, 3), rgb). Where one side hides the other, the hidden one
    shows through it (objects crossing or inside each other stay visible), and both show
    through neighbours in front of them. ``markers`` are points drawn as rings on top. Each
    pixel is sampled ``supersample``² times.
    """
    w, h = size
    s = max(int(supersample), 1)
    near = view.radius * 1e-3
    ctx_z, ctx_hit, ctx_colour, ctx_owner = _rasterize(view, context, w * s, h * s, near)
    a_z, a_hit, a_colour, a_owner = _rasterize(view, side_a, w * s, h * s, near)
    b_z, b_hit, b_colour, b_owner = _rasterize(view, side_b, w * s, h * s, near)

    # Per pixel: background (index -1 of the tables) or a neighbour, then the nearer side with
    # the farther one mixed in, then the neighbour mixed in where it is in front of both.
    # ``ids`` tells objects apart for the silhouettes.
    out = np.take(np.vstack([ctx_colour, np.float32(BACKGROUND)]), ctx_hit, axis=0)
    ids = np.take(np.append(ctx_owner + 1, 0), ctx_hit)
    hit = np.flatnonzero((a_hit >= 0) | (b_hit >= 0))
    za, zb = a_z[hit], b_z[hit]
    ca = np.take(np.vstack([a_colour, np.zeros(3, np.float32)]), a_hit[hit], axis=0)
    cb = np.take(np.vstack([b_colour, np.zeros(3, np.float32)]), b_hit[hit], axis=0)
    a_front = za >= zb
    colour = np.where(a_front[:, None], ca, cb)
    both = (za > 0) & (zb > 0)
    colour[both] = 0.65 * colour[both] + 0.35 * np.where(a_front[:, None], cb, ca)[both]
    behind = np.maximum(za, zb) < ctx_z[hit]
    colour[behind] = 0.7 * colour[behind] + 0.3 * out[hit[behind]]
    out[hit] = colour
    base = len(context) + 1
    ids[hit] = np.where(a_front, np.append(a_owner, 0)[a_hit[hit]] + base,
                        np.append(b_owner, 0)[b_hit[hit]] + base + len(side_a))
    # Silhouettes: darken pixels whose object differs from the one right of or below them.
    ids = ids.reshape(h * s, w * s)
    edge = np.zeros(ids.shape, bool)
    edge[:, :-1] = ids[:, :-1] != ids[:, 1:]
    edge[:-1, :] |= ids[:-1, :] != ids[1:, :]
    out = out.reshape(h * s, w * s, 3)
    out[edge] *= 0.55

    image = sum(out[i::s, j::s] for i in range(s) for j in range(s)) / (s * s)
    _draw_markers(image, view, markers)
    return np.clip(image + 0.5, 0, 255).astype(np.uint8)


def _basis(view: View):
    right = np.cross(view.direction, view.up)
    right /= np.linalg.norm(right)
    return np.stack([right, np.cross(right, view.direction), view.direction])


def _project(view: View, points, w, h):
    """Pixel coordinates (x right, y down) and camera depth of world points."""
    cam = (np.asarray(points, np.float64) - view.position) @ _basis(view).T
    f = (h / 2) / math.tan(math.radians(view.fov / 2))
    with np.errstate(divide="ignore", invalid="ignore"):
        x = w / 2 + f * cam[:, 0] / cam[:, 2]
        y = h / 2 - f * cam[:, 1] / cam[:, 2]
    return x, y, cam[:, 2]


def _rasterize(view, meshes, w, h, near):
    """Per pixel (flattened): the depth buffer (1/z, 0 where empty) and the triangle drawn
    there (-1 where empty); per triangle: its shaded colour and the index of its mesh."""
    inv_z = np.zeros(w * h)
    winner = np.full(w * h, -1, np.int64)
    tris, cols, ids = [], [], []
    basis = _basis(view)
    for i, (vertices, triangles, rgb) in enumerate(meshes):
        if len(triangles) == 0:
            continue
        cam = (np.asarray(vertices, np.float64) - view.position) @ basis.T
        p = cam[np.asarray(triangles, np.int64)]
        n = np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])
        length = np.linalg.norm(n, axis=1)
        ok = length > 0
        shade = 0.45 + 0.55 * np.abs(n[ok] @ _LIGHT) / length[ok]
        tris.append(p[ok])
        cols.append((shade[:, None] * np.asarray(rgb, np.float64)).astype(np.float32))
        ids.append(np.full(ok.sum(), i))
    if not tris:
        return inv_z, winner, np.zeros((0, 3), np.float32), np.zeros(0, np.int64)
    p, col, tid = _clip_near(np.concatenate(tris), near, np.concatenate(cols), np.concatenate(ids))

    f = (h / 2) / math.tan(math.radians(view.fov / 2))
    x = w / 2 + f * p[:, :, 0] / p[:, :, 2]
    y = h / 2 - f * p[:, :, 1] / p[:, :, 2]
    iz = 1 / p[:, :, 2]
    area = (x[:, 1] - x[:, 0]) * (y[:, 2] - y[:, 0]) - (x[:, 2] - x[:, 0]) * (y[:, 1] - y[:, 0])
    y0 = np.maximum(np.ceil(y.min(axis=1) - 0.5), 0)
    y1 = np.minimum(np.floor(y.max(axis=1) - 0.5), h - 1)
    keep = (y1 >= y0) & (x.max(axis=1) >= 0) & (x.min(axis=1) <= w) & (np.abs(area) > 1e-12)
    x, y, iz, area, col, tid = x[keep], y[keep], iz[keep], area[keep], col[keep], tid[keep]
    y0 = y0[keep].astype(np.int64)
    rows = y1[keep].astype(np.int64) - y0 + 1

    # The three edge functions and 1/z are affine in screen space: c . (x, y, 1) per triangle;
    # a pixel is inside where all three edge functions are >= 0.
    edges = np.stack([_plane(x, y, area, 1, 2), _plane(x, y, area, 2, 0),
                      _plane(x, y, area, 0, 1)], axis=1)                     # (k, 3 edges, 3)
    zc = np.einsum("ke,kec->kc", iz, edges)

    # One span per triangle and pixel row: the x range where every edge function is >= 0.
    t = np.repeat(np.arange(len(rows)), rows)
    py = y0[t] + np.arange(len(t)) - np.repeat(np.cumsum(rows) - rows, rows)
    cy = py + 0.5
    a = edges[t, :, 0]
    d = edges[t, :, 1] * cy[:, None] + edges[t, :, 2]
    with np.errstate(divide="ignore", invalid="ignore"):
        bound = -d / a
    lo = np.where(a > 0, bound, -np.inf).max(axis=1)
    hi = np.where(a < 0, bound, np.inf).min(axis=1)
    hi[((a == 0) & (d < 0)).any(axis=1)] = -np.inf
    xl = np.maximum(np.ceil(lo - 0.5), 0)
    xr = np.minimum(np.floor(hi - 0.5), w - 1)
    ok = xr >= xl
    t, xl = t[ok], xl[ok].astype(np.int64)
    span = xr[ok].astype(np.int64) - xl + 1
    row_start = py[ok] * w + xl
    row_depth = zc[t, 1] * cy[ok] + zc[t, 2] + zc[t, 0] * (xl + 0.5)
    step = zc[t, 0]

    end = np.cumsum(span)
    first = 0
    while first < len(span):
        base = end[first] - span[first]
        last = max(int(np.searchsorted(end, base + _CANDIDATES, side="right")), first + 1)
        r = np.repeat(np.arange(first, last), span[first:last])
        dx = np.arange(end[last - 1] - base) - (end[r] - span[r] - base)
        pix = np.take(row_start, r) + dx          # np.take: faster than indexing here
        depth = np.take(row_depth, r) + np.take(step, r) * dx
        np.maximum.at(inv_z, pix, depth)
        won = depth >= inv_z[pix]
        winner[pix[won]] = t[r[won]]
        first = last
    return inv_z, winner, col, tid


def _plane(x, y, area, i, j):
    """Coefficients (a, b, c) of the barycentric weight that is 0 on edge (i, j): the signed
    area of (p, v_i, v_j) over the triangle's area."""
    a = (y[:, i] - y[:, j]) / area
    b = (x[:, j] - x[:, i]) / area
    c = (x[:, i] * y[:, j] - x[:, j] * y[:, i]) / area
    return np.stack([a, b, c], axis=1)


def _clip_near(p, near, *attrs):
    """Triangles (m, 3, 3) in camera space cut to depth >= near; per-triangle ``attrs`` follow."""
    inside = p[:, :, 2] >= near
    n_in = inside.sum(axis=1)
    parts = [(p[n_in == 3], [a[n_in == 3] for a in attrs])]

    def rolled(mask, first):
        # Triangles with the odd vertex (``first`` of each row) moved to position 0, order kept.
        idx = (first[mask][:, None] + np.arange(3)) % 3
        return np.take_along_axis(p[mask], idx[:, :, None], axis=1), [a[mask] for a in attrs]

    def cut(a, b):
        s = (near - a[:, 2]) / (b[:, 2] - a[:, 2])
        return a + (b - a) * s[:, None]

    q, qa = rolled(n_in == 2, np.argmin(inside, axis=1))       # one vertex behind: a quad
    if len(q):
        a, b = cut(q[:, 0], q[:, 1]), cut(q[:, 0], q[:, 2])
        parts.append((np.stack([a, q[:, 1], q[:, 2]], axis=1), qa))
        parts.append((np.stack([a, q[:, 2], b], axis=1), qa))
    q, qa = rolled(n_in == 1, np.argmax(inside, axis=1))       # two behind: a smaller triangle
    if len(q):
        parts.append((np.stack([q[:, 0], cut(q[:, 0], q[:, 1]), cut(q[:, 0], q[:, 2])], axis=1),
                      qa))
    return (np.concatenate([t for t, _ in parts]),
            *(np.concatenate([a[k] for _, a in parts]) for k in range(len(attrs))))


def _draw_markers(image, view, markers):
    if not len(markers):
        return
    h, w = image.shape[:2]
    x, y, z = _project(view, markers, w, h)
    for mx, my, mz in zip(x, y, z):
        if not (mz > 0 and abs(mx) < 1e6 and abs(my) < 1e6):
            continue
        x0, x1 = max(int(mx) - 8, 0), min(int(mx) + 9, w)
        y0, y1 = max(int(my) - 8, 0), min(int(my) + 9, h)
        if x0 >= x1 or y0 >= y1:
            continue
        yy, xx = np.mgrid[y0:y1, x0:x1] + 0.5
        r2 = (xx - mx) ** 2 + (yy - my) ** 2     # a ring: what is at the point stays visible
        patch = image[y0:y1, x0:x1]
        patch[(r2 >= 3 ** 2) & (r2 <= 7 ** 2)] = 255
        patch[(r2 >= 4 ** 2) & (r2 <= 6 ** 2)] = MARKER


def png(image) -> bytes:
    """PNG bytes of an RGB (h, w, 3) uint8 image."""
    h, w, _ = image.shape
    rows = np.zeros((h, 1 + 3 * w), np.uint8)        # filter byte 0 (None) on every row
    rows[:, 1:] = image.reshape(h, 3 * w)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows.tobytes(), 6))
            + chunk(b"IEND", b""))
