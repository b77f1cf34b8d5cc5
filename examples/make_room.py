#!/usr/bin/env python3
"""Writes examples/room.obj: a small room with boxes and columns, in metres, Y up.

Every face is counter-clockwise seen from the side it faces, with texture coordinates
in metres so that the bake has something real to carry through.
"""
import math
import sys

out = []
vcount = 0
vtcount = 0


def quad(p0, p1, p2, p3):
    """Adds a planar quad p0..p3 (counter-clockwise from its front) with uvs along its edges."""
    global vcount, vtcount
    e1 = [p1[i] - p0[i] for i in range(3)]
    e3 = [p3[i] - p0[i] for i in range(3)]
    w = math.sqrt(sum(c * c for c in e1))
    h = math.sqrt(sum(c * c for c in e3))
    for p in (p0, p1, p2, p3):
        out.append("v %.4f %.4f %.4f" % tuple(p))
    for uv in ((0, 0), (w, 0), (w, h), (0, h)):
        out.append("vt %.4f %.4f" % uv)
    out.append("f %d/%d %d/%d %d/%d %d/%d" % (vcount + 1, vtcount + 1, vcount + 2, vtcount + 2,
                                                vcount + 3, vtcount + 3, vcount + 4, vtcount + 4))
    vcount += 4
    vtcount += 4


def box(name, x0, y0, z0, x1, y1, z1, inward=False):
    out.append("o " + name)
    faces = [
        ((x0, y1, z0), (x0, y1, z1), (x1, y1, z1), (x1, y1, z0)),  # top, +y
        ((x0, y0, z0), (x1, y0, z0), (x1, y0, z1), (x0, y0, z1)),  # bottom, -y
        ((x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1)),  # +x
        ((x0, y0, z0), (x0, y0, z1), (x0, y1, z1), (x0, y1, z0)),  # -x
        ((x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)),  # +z
        ((x0, y0, z0), (x0, y1, z0), (x1, y1, z0), (x1, y0, z0)),  # -z
    ]
    for f in faces:
        quad(*(f[::-1] if inward else f))


def column(name, cx, cz, radius, height, sides=8):
    global vcount, vtcount
    out.append("o " + name)
    ring = [(cx + radius * math.cos(2 * math.pi * k / sides), cz + radius * math.sin(2 * math.pi * k / sides))
            for k in range(sides)]
    for k in range(sides):
        (ax, az), (bx, bz) = ring[k], ring[(k + 1) % sides]
        quad((bx, 0, bz), (ax, 0, az), (ax, height, az), (bx, height, bz))
    # Top cap as one polygon, fanned by the reader.
    for x, z in ring:
        out.append("v %.4f %.4f %.4f" % (x, height, z))
        out.append("vt %.4f %.4f" % (x, z))
    corners = " ".join("%d/%d" % (vcount + k + 1, vtcount + k + 1) for k in reversed(range(sides)))
    out.append("f " + corners)
    vcount += sides
    vtcount += sides


out.append("# Ketra example scene: a 10 x 4 x 8 m room with three boxes and two columns.")
box("room", -5, 0, -4, 5, 4, 4, inward=True)
box("crate_large", -3.5, 0, -3, -1.5, 1.5, -1)
box("crate_small", -1.3, 0, -2.6, -0.5, 0.8, -1.8)
box("table_top", 1, 0.9, 0.5, 3.5, 1.0, 2.5)
column("column_west", -2, 2, 0.35, 4)
column("column_east", 3.5, -2, 0.35, 4)

path = sys.argv[1] if len(sys.argv) > 1 else "room.obj"
with open(path, "w") as f:
    f.write("\n".join(out) + "\n")
