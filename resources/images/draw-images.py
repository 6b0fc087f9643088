#!/usr/bin/env python3
"""Draws the dialog's PNG images with ImageMagick's convert.

Every picture is described in units of its size at 96 DPI (a 16 px menu bitmap is 16 units wide) and
rendered at several times that size, because the dialog scales each PNG down to the size it needs (up
to twice the 96-DPI size on high-DPI screens). Shapes sit on whole or half units with strokes of about
two units, so they stay crisp when scaled down to 16 px.

The engine decodes the pictures to 24-bit RGB without transparency, so each one is painted on the
dialog's button face (Windows' default 240, 240, 240) and saved as 8-bit RGB.

Run from anywhere: python3 resources/images/draw-images.py
"""

import math
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
BOLD_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

FACE = "#F0F0F0"  # COLOR_BTNFACE on a default Windows installation
INK = "#2E3A46"  # outlines and dark symbols
SLATE = "#5C6B7A"
BLUE = "#1E6CCF"
DARK_BLUE = "#124A94"
LIGHT_BLUE = "#CFE2F8"
RED = "#D2352B"
WHITE = "#FFFFFF"


def render(name, units, scale, mvg, extra=()):
    """Renders the MVG commands (in units) onto a button-face canvas of units x scale pixels."""
    size = units * scale
    commands = (
        f"viewbox 0 0 {size} {size}\n"
        f"scale {scale},{scale}\n"
        "stroke-linejoin round\n"
        "stroke-linecap round\n" + mvg
    )
    subprocess.run(
        ["convert", "-size", f"{size}x{size}", f"xc:{FACE}", "-draw", commands, *extra,
         "-strip", "-define", "png:exclude-chunks=date,time", "-depth", "8",
         f"PNG24:{os.path.join(HERE, name + '.png')}"],
        check=True)


def points(pts):
    return " ".join(f"{x:.3f},{y:.3f}" for x, y in pts)


def polar(cx, cy, r, degrees):
    a = math.radians(degrees)
    return cx + r * math.cos(a), cy + r * math.sin(a)


def arrowhead(tip, direction_degrees, length, width):
    """A filled triangle whose tip points along the direction (screen degrees, y down)."""
    a = math.radians(direction_degrees)
    dx, dy = math.cos(a), math.sin(a)
    bx, by = tip[0] - dx * length, tip[1] - dy * length
    return [tip, (bx - dy * width / 2, by + dx * width / 2), (bx + dy * width / 2, by - dx * width / 2)]


def arc_path(cx, cy, r, start, end):
    """An SVG arc path from the start angle to the end angle (screen degrees), going by increasing angle."""
    sweep = (end - start) % 360
    x0, y0 = polar(cx, cy, r, start)
    x1, y1 = polar(cx, cy, r, end)
    large = 1 if sweep > 180 else 0
    return f"M {x0:.3f},{y0:.3f} A {r},{r} 0 {large},1 {x1:.3f},{y1:.3f}"


# Buttons (32 units) ------------------------------------------------------------------------------------


def select_focused():
    # A landscape whose upper and lower bands are blurred as a tilt-shift blurs them; the sharp middle
    # band, left as it is, is marked by the selection rectangle; the blurred bands are also paled.
    scale = 4
    scene = f"""
stroke none
fill #BFDDF7 rectangle 2,4 30,28
fill #F5C542 circle 23,9 26,9
fill #7DBB63 path 'M 2,19 C 8,13 13,14 18,17 C 22,19 26,15 30,14 L 30,28 L 2,28 Z'
fill #3E7F45 path 'M 2,24 C 8,20 15,20 20,22 C 24,24 27,22 30,21 L 30,28 L 2,28 Z'
fill #2F5E86 path 'M 7,19 L 11,13.5 L 15,19 Z'
"""
    blur = 2.2 * scale
    top = f"{28 * scale}x{8 * scale}+{2 * scale}+{4 * scale}"
    bottom = f"{28 * scale}x{6 * scale}+{2 * scale}+{22 * scale}"
    overlay = f"""
scale {scale},{scale}
stroke-linejoin miter
stroke none fill #FFFFFF80
rectangle 2,4 30,12
rectangle 2,22 30,28
fill none stroke {SLATE} stroke-width 1 rectangle 1.5,3.5 30.5,28.5
stroke {WHITE} stroke-width 3.6 rectangle 4,12 28,22
stroke {BLUE} stroke-width 2 rectangle 4,12 28,22
"""
    render("select_focused", 32, scale, scene,
           ["-region", top, "-blur", f"0x{blur}", "+region", "-region", bottom, "-blur", f"0x{blur}",
            "+region", "-draw", overlay])


def draw_region():
    # An eye whose red pupil a brush is circling with paint.
    cx, cy, r = 13.5, 18.5, 7.5
    tip = polar(cx, cy, r, -45)
    along = (math.cos(math.radians(-45)), math.sin(math.radians(-45)))
    normal = (-along[1], along[0])

    def at(d, side=0.0):
        return tip[0] + along[0] * d + normal[0] * side, tip[1] + along[1] * d + normal[1] * side

    bristles = [at(0), at(1.6, 1.7), at(5, 2.4), at(5, -2.4), at(1.6, -1.7)]
    mvg = f"""
fill {WHITE} stroke {INK} stroke-width 1.5
path 'M 1.5,18.5 Q 13.5,5 25.5,18.5 Q 13.5,32 1.5,18.5 Z'
stroke none fill #4F7FB0 circle {cx},{cy} {cx + 4.6},{cy}
fill {RED} circle {cx},{cy} {cx + 2.6},{cy}
fill {WHITE} circle {cx - 1.1},{cy - 1.1} {cx - 0.3},{cy - 1.1}
fill none stroke {BLUE} stroke-width 2.2
path '{arc_path(cx, cy, r, 15, 315)}'
stroke none fill {BLUE} polygon {points(bristles)}
stroke #8C96A1 stroke-width 4.8 stroke-linecap butt
line {points([at(4.8), at(8)])}
stroke #A4582C stroke-width 3.6 stroke-linecap round
line {points([at(8), at(15.5)])}
"""
    render("draw_region", 32, 4, mvg)


# The focused-area readout (15 units) ---------------------------------------------------------------------


def area_corner(name, corner):
    # A faint rectangle with the corner that the line beside it gives drawn bold.
    if corner == "top_left":
        bracket, dot = "M 2,8 L 2,2 L 8,2", (2, 2)
    else:
        bracket, dot = "M 13,7 L 13,13 L 7,13", (13, 13)
    mvg = f"""
stroke-linejoin miter
fill {LIGHT_BLUE} stroke #8FA3B8 stroke-width 1 rectangle 2.5,2.5 12.5,12.5
fill none stroke {BLUE} stroke-width 2.2 stroke-linecap square path '{bracket}'
fill {DARK_BLUE} stroke none circle {dot[0]},{dot[1]} {dot[0] + 2},{dot[1]}
"""
    render(name, 15, 4, mvg)


def area_size():
    # A rectangle with its width and height dimension arrows.
    mvg = f"""
stroke-linejoin miter
fill {LIGHT_BLUE} stroke #8FA3B8 stroke-width 1 rectangle 5.5,5.5 13.5,13.5
stroke {BLUE} stroke-width 1.6 stroke-linecap butt
line 7,2 12,2
line 2,7 2,12
stroke none fill {BLUE}
polygon {points(arrowhead((5, 2), 180, 3, 3.6))}
polygon {points(arrowhead((14, 2), 0, 3, 3.6))}
polygon {points(arrowhead((2, 5), 270, 3, 3.6))}
polygon {points(arrowhead((2, 14), 90, 3, 3.6))}
"""
    render("area_size", 15, 4, mvg)


# Menu bitmaps (16 units) -----------------------------------------------------------------------------------


def reset_value():
    # A circular arrow turning back (anticlockwise), open at the upper left.
    cx, cy, r = 8, 8.5, 5.2
    mvg = f"""
fill none stroke {BLUE} stroke-width 2.2
path '{arc_path(cx, cy, r, 270, 208)}'
stroke none fill {BLUE}
polygon {points(arrowhead((cx - 3.6, cy - r), 180, 4.2, 5.6))}
"""
    render("reset_value", 16, 4, mvg)


def deactivate_all():
    # The power symbol: everything off.
    cx, cy, r = 8, 8.8, 5.6
    mvg = f"""
fill none stroke {RED} stroke-width 2.2
path '{arc_path(cx, cy, r, -55, 235)}'
line 8,1.8 8,8
"""
    render("deactivate_all", 16, 4, mvg)


def load_settings():
    # An open folder.
    mvg = f"""
stroke-linejoin round
fill #D99A1E stroke #8A5A00 stroke-width 1
path 'M 1.5,3 L 6,3 L 7.5,4.5 L 13.5,4.5 L 13.5,13.5 L 1.5,13.5 Z'
fill #F7CC5A
path 'M 4,7.5 L 15.5,7.5 L 13.5,13.5 L 1.5,13.5 Z'
"""
    render("load_settings", 16, 4, mvg)


def save_settings():
    # A floppy disk.
    mvg = f"""
stroke-linejoin round
fill {BLUE} stroke {DARK_BLUE} stroke-width 1
path 'M 1.5,1.5 L 12.5,1.5 L 14.5,3.5 L 14.5,14.5 L 1.5,14.5 Z'
stroke none fill #DCE3EC rectangle 4,1.5 11.5,6
fill {DARK_BLUE} rectangle 8.5,2.5 10.2,5
fill {WHITE} rectangle 3.5,9 12.5,14.5
"""
    render("save_settings", 16, 4, mvg)


def help_image():
    # A question mark in a blue disc.
    mvg = f"stroke none fill {BLUE} circle 8,8 15,8\n"
    render("help", 16, 4, mvg,
           ["-font", BOLD_FONT, "-fill", WHITE, "-pointsize", str(11.5 * 4), "-gravity", "center",
            "-annotate", "+0+1", "?"])


def hotkeys():
    # A keyboard.
    keys = []
    for x in (2.5, 5.5, 8.5, 11.5):
        keys.append(f"rectangle {x},5.5 {x + 2},7.2")
    for x in (4, 7, 10):
        keys.append(f"rectangle {x},8.3 {x + 2},10")
    mvg = f"""
fill #E9EDF2 stroke {INK} stroke-width 1.2
roundrectangle 0.6,3.6 15.4,13.4 1.5,1.5
stroke none fill {INK}
{chr(10).join(keys)}
rectangle 4,11.1 12,12.2
"""
    render("hotkeys", 16, 4, mvg)


def about():
    # An "i" in a blue disc, drawn rather than typeset so that it sits exactly in the middle.
    mvg = f"""
stroke none fill {BLUE} circle 8,8 15,8
fill {WHITE} circle 8,4.6 9.4,4.6
rectangle 6.9,6.8 9.1,12.4
"""
    render("about", 16, 4, mvg)


def center_view():
    # Cross-hairs on a ring with the centre marked.
    mvg = f"""
fill none stroke {INK} stroke-width 1.7
circle 8,8 13,8
stroke-linecap butt
line 8,0.5 8,4.5
line 8,11.5 8,15.5
line 0.5,8 4.5,8
line 11.5,8 15.5,8
stroke none fill {BLUE} circle 8,8 10,8
"""
    render("center_view", 16, 4, mvg)


def zoom_to():
    # A magnifier.
    mvg = f"""
stroke {INK} stroke-width 3.2 line 10.5,10.5 14.3,14.3
fill {LIGHT_BLUE} stroke {INK} stroke-width 1.9
circle 6.5,6.5 11.2,6.5
"""
    render("zoom_to", 16, 4, mvg)


def zoom_to_fit():
    # A picture filling the frame that the four corner brackets mark.
    mvg = f"""
stroke-linejoin miter
fill none stroke {INK} stroke-width 1.8 stroke-linecap square
path 'M 1.5,5.5 L 1.5,1.5 L 5.5,1.5'
path 'M 10.5,1.5 L 14.5,1.5 L 14.5,5.5'
path 'M 14.5,10.5 L 14.5,14.5 L 10.5,14.5'
path 'M 5.5,14.5 L 1.5,14.5 L 1.5,10.5'
stroke none fill {BLUE} rectangle 4,4 12,12
fill {WHITE} polygon 4.8,11.2 7.8,7.2 10,9.6 11.2,8.2 11.2,11.2
"""
    render("zoom_to_fit", 16, 4, mvg)


def background_color():
    # A small picture on a coloured backdrop, with the backdrop's colour as a swatch strip below.
    mvg = f"""
stroke-linejoin miter
fill #5E6E80 stroke {INK} stroke-width 1 rectangle 1.5,1.5 14.5,14.5
stroke none fill {WHITE} rectangle 5,5 11,11
fill {BLUE} polygon 5,11 7.5,7.5 9.5,9.5 11,8 11,11
"""
    render("background_color", 16, 4, mvg)


# The status bar's settings button (24 units) --------------------------------------------------------------


def settings():
    # A gear of eight teeth around a hole.
    cx = cy = 12
    outer, root, teeth = 11, 8.2, 8
    pitch = 360 / teeth
    outline = []
    for i in range(teeth):
        a = i * pitch
        outline += [polar(cx, cy, root, a - pitch * 0.5), polar(cx, cy, root, a - pitch * 0.28),
                    polar(cx, cy, outer, a - pitch * 0.17), polar(cx, cy, outer, a + pitch * 0.17),
                    polar(cx, cy, root, a + pitch * 0.28)]
    mvg = f"""
fill {SLATE} stroke {INK} stroke-width 1.2 stroke-linejoin round
polygon {points(outline)}
fill {FACE} circle {cx},{cy} {cx + 3.4},{cy}
"""
    render("settings", 24, 4, mvg)


# The product logo (128 units) ------------------------------------------------------------------------------


def logo():
    # An aperture of six blades in shades from deep blue to teal, around a hexagonal opening with the
    # version number in it.
    cx = cy = 64
    ring, blades_r, opening = 61, 56, 22
    vertices = [polar(cx, cy, opening, 60 * k - 90) for k in range(6)]

    def extension(k):
        # Where edge k of the opening, continued beyond its end, meets the blades' circle.
        (x0, y0), (x1, y1) = vertices[k], vertices[(k + 1) % 6]
        dx, dy = x1 - x0, y1 - y0
        length = math.hypot(dx, dy)
        dx, dy = dx / length, dy / length
        px, py = x1 - cx, y1 - cy
        b = px * dx + py * dy
        t = -b + math.sqrt(b * b - (px * px + py * py - blades_r * blades_r))
        return x1 + dx * t, y1 + dy * t

    shades = ["#0B3A78", "#0F5193", "#1469AC", "#1784BF", "#1A9EC6", "#1FB5C4"]
    blades = []
    for k in range(6):
        start, end = extension(k), extension((k + 1) % 6)
        a0 = math.degrees(math.atan2(start[1] - cy, start[0] - cx))
        arc = [polar(cx, cy, blades_r, a0 + 60 * s / 12) for s in range(13)]
        outline = [vertices[(k + 1) % 6], start] + arc[1:-1] + [end, vertices[(k + 2) % 6]]
        blades.append(f"fill {shades[k]} polygon {points(outline)}")
    mvg = f"""
stroke none fill #14222F circle {cx},{cy} {cx + ring},{cy}
fill #0A121A circle {cx},{cy} {cx + blades_r},{cy}
stroke none
{chr(10).join(blades)}
fill none stroke #14222F stroke-width 2.2
{chr(10).join(f"line {points([vertices[(k + 1) % 6], extension(k)])}" for k in range(6))}
stroke none fill #0A121A polygon {points(vertices)}
"""
    render("logo", 128, 2, mvg,
           ["-font", BOLD_FONT, "-fill", "#E8F6FA", "-pointsize", str(30 * 2), "-gravity", "center",
            "-annotate", "+0+0", "3"])


if __name__ == "__main__":
    select_focused()
    draw_region()
    area_corner("area_top_left", "top_left")
    area_corner("area_bottom_right", "bottom_right")
    area_size()
    reset_value()
    deactivate_all()
    load_settings()
    save_settings()
    help_image()
    hotkeys()
    about()
    center_view()
    zoom_to()
    zoom_to_fit()
    background_color()
    settings()
    logo()
