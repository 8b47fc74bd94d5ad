#!/usr/bin/env python3
"""Writes Info.ans, the picture the "test" item of a terminal view plays.

It introduces the program on one 80 x 25 screen in code page 437 with the
16-colour palette, using only SGR, CUP and ED. Every row is placed with CUP
and filled to its 80th column, and the last row gets no line end, so the
picture never scrolls. A Ctrl+Z (byte 26) ends the picture; the text after it
must never be shown.

usage: mkinfoans.py [OUT]   (default: app/Info.ans beside this folder)
"""
import os
import sys

ROWS, COLS = 25, 80

# colour indexes: 0 black 1 red 2 green 3 yellow 4 blue 5 magenta 6 cyan 7 white; +8 bright
BLACK, RED, GREEN, YELLOW, BLUE, MAGENTA, CYAN, WHITE = range(8)


def attr(fg, bg):
    return (fg & 15) | ((bg & 15) << 4)


BG = BLUE
FRAME = attr(CYAN + 8, BG)
TEXT = attr(WHITE, BG)
BRIGHT = attr(WHITE + 8, BG)
BULLET = attr(YELLOW + 8, BG)
KEY = attr(CYAN + 8, BG)

screen = [[(0x20, TEXT) for _ in range(COLS)] for _ in range(ROWS)]


def put(row, col, data, a):
    """data: str (ASCII) or bytes (code page 437)."""
    if isinstance(data, str):
        data = data.encode("ascii")
    for i, b in enumerate(data):
        assert 0 <= col + i < COLS, (row, col, data)
        assert b not in (0x1A, 0x1B, 0x0D, 0x0A, 0x07, 0x08, 0x09, 0x0E, 0x0F, 0x00)
        screen[row][col + i] = (b, a)


def centre(row, data, a):
    n = len(data)
    put(row, (COLS - n) // 2, data, a)


def rich(row, col, parts):
    """parts: (text, attribute) pairs written one after the other."""
    for text, a in parts:
        put(row, col, text, a)
        col += len(text)


# --- frame: double lines, a single-line divider under the title block
put(0, 0, bytes([0xC9]) + bytes([0xCD]) * 78 + bytes([0xBB]), FRAME)
for r in range(1, ROWS - 1):
    put(r, 0, bytes([0xBA]), FRAME)
    put(r, COLS - 1, bytes([0xBA]), FRAME)
put(ROWS - 1, 0, bytes([0xC8]) + bytes([0xCD]) * 78 + bytes([0xBC]), FRAME)
title = b"\xb5 Varnex Dual Terminal \xc6"
put(0, (COLS - len(title)) // 2, title, FRAME)
for r in (9, 18):
    put(r, 0, bytes([0xC7]) + bytes([0xC4]) * 78 + bytes([0xB6]), FRAME)

# --- the name in block letters, two cells per dot, each letter its own colour
GLYPHS = {
    "V": ["#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "A": [".###.", "#...#", "#####", "#...#", "#...#"],
    "R": ["####.", "#...#", "####.", "#..#.", "#...#"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#"],
    "E": ["#####", "#....", "####.", "#....", "#####"],
    "X": ["#...#", ".#.#.", "..#..", ".#.#.", "#...#"],
}
# (the palette's index 9 is a light blue, so the bright colours are picked by look)
COLOURS = [CYAN + 8, YELLOW + 8, GREEN + 8, MAGENTA + 8, WHITE + 8, CYAN + 8]
word = "VARNEX"
width = len(word) * 12 - 2
left = (COLS - width) // 2
for i, ch in enumerate(word):
    glyph = GLYPHS[ch]
    for dy, line in enumerate(glyph):
        for dx, dot in enumerate(line):
            if dot == "#":
                col = left + i * 12 + dx * 2
                put(2 + dy, col, b"\xdb\xdb", attr(COLOURS[i], BG))
# a drop shadow one cell to the right and one row down, where nothing is drawn
for r in range(2, 8):
    for c in range(left, left + width + 1):
        if screen[r][c][0] == 0x20 and screen[r - 1][c - 1][0] == 0xDB:
            put(r, c, b"\xb1", attr(BLACK, BG))
centre(8, b"\xfe  D U A L   T E R M I N A L  \xfe", BRIGHT)

# --- what it does
B = b"\xfe "
lines = [
    [(B, BULLET), ("Two channels side by side, each on its own serial port ", TEXT),
     ("COM1", KEY), ("..", TEXT), ("COM8", KEY), (".", TEXT)],
    [(B, BULLET), ("Received data shown as ", TEXT), ("ASCII", KEY), (", ", TEXT), ("HEX", KEY),
     (", ", TEXT), ("both", KEY), (" or ", TEXT), ("ANSI", KEY),
     (" - like this picture.", TEXT)],
    [(B, BULLET), ("Any byte value: hold ", TEXT), ("Ctrl", KEY), (" and type two hex digits", TEXT),
     (" (", TEXT), ("Ctrl", KEY), ("+", TEXT), ("1", KEY), (",", TEXT), ("B", KEY),
     (" sends ESC).", TEXT)],
    [(B, BULLET), ("RTS, DTR and BREAK by hand; lamps for CTS, DSR and received breaks.", TEXT)],
    [(B, BULLET), ("Sessions keep both channels' settings in ", TEXT), ("Zelmar.ini", KEY),
     (" beside the program.", TEXT)],
    [(B, BULLET), ("Print the receive view as text, or in ANSI mode as a picture or BMP.", TEXT)],
    [(B, BULLET), ("COM7", KEY), (" and ", TEXT), ("COM8", KEY),
     (" can be joined by the built-in virtual null-modem.", TEXT)],
]
for n, parts in enumerate(lines):
    rich(10 + n, 4, parts)

# --- the palette: 16 text colours, then 16 backgrounds (the blink bit gives the bright ones)
rich(19, 3, [("Text colours ", TEXT)])
for c in range(16):
    put(19, 17 + c * 3, b"\xdb\xdb", attr(c, BG))
rich(20, 3, [("Backgrounds  ", TEXT)])
for c in range(16):
    put(20, 17 + c * 3, b"%X" % c + b" ", attr(WHITE + 8 if c in (0, 1, 4, 5, 8) else BLACK, c))
shades = b"\xb0\xb1\xb2\xdb\xdc\xdf\xdd\xde"
rich(21, 3, [("Blocks       ", TEXT)])
for i, s in enumerate(shades):
    put(21, 17 + i * 3, bytes([s, s]), attr(YELLOW + 8, BG))
rich(21, 43, [("Lines ", TEXT)])
put(21, 49, b"\xda\xc4\xc2\xc4\xbf \xc9\xcd\xcb\xcd\xbb \xd5\xcd\xd1\xcd\xb8 \xd6\xc4\xd2\xc4\xb7",
    attr(GREEN + 8, BG))
centre(23, b"Right-click a terminal view for its font size and this test.", attr(CYAN, BG))


def sgr(a):
    """SGR from scratch: 0 resets; 1 sets the bright text bit, 5 the bright background bit."""
    codes = ["0"]
    if a & 8:
        codes.append("1")
    if a & 0x80:
        codes.append("5")
    codes.append("3%d" % (a & 7))
    codes.append("4%d" % ((a >> 4) & 7))
    return b"\x1b[" + ";".join(codes).encode() + b"m"


out = bytearray()
out += sgr(TEXT) + b"\x1b[2J"
for r in range(ROWS):
    out += b"\x1b[%d;1H" % (r + 1)
    cur = None
    for ch, a in screen[r]:
        if a != cur:
            out += sgr(a)
            cur = a
        out.append(ch)
out += b"\x1b[0m"
out += b"\x1a"
out += b"\r\nAfter the Ctrl+Z: this text ends the file and is never shown.\r\n"

path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "Info.ans")
with open(path, "wb") as f:
    f.write(out)
print("wrote %s (%d bytes)" % (path, len(out)))
