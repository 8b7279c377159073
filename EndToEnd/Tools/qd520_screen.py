"""Screens of the QD520 end-to-end run: frame-buffer dumps to PNG, and the
check of what the firmware's graphics console drew.

The console test application (Qd520ConsoleTest.efi) prints LINES lines in
text mode 0 through the text output that GraphicsConsoleDxe bound to the
adapter; line k (from 1) is k + line_length_base characters long: k as two
digits, ':', then a, b, c, ... This module rebuilds the screen the console
must have drawn, cell by cell, from the console's rules and its 8x19 system
font (read from the kit's GraphicsConsoleDxe/LaffStd.c), and compares it
pixel for pixel with the dump. No OCR: besides the exact comparison it
reads each text row's inked extent, which names the line sitting there.

Python standard library only.
"""

import os
import re
import struct
import zlib

GLYPH_WIDTH = 8
GLYPH_HEIGHT = 19
BYTES_PER_PIXEL = 4
SCAN_LINE_GRANULARITY = 16


def pixels_per_scan_line(width):
    """Pixels from one QD520 frame-buffer line to the next: the mode's width
    rounded up to a multiple of 16."""
    return (width + SCAN_LINE_GRANULARITY - 1) // SCAN_LINE_GRANULARITY * SCAN_LINE_GRANULARITY


def frame_buffer_bytes(width, height):
    """Bytes of a QD520 mode's whole frame, its FrameBufferSize."""
    return pixels_per_scan_line(width) * BYTES_PER_PIXEL * height

# GraphicsConsoleDxe's palette (mGraphicsEfiColors), as B, G, R, reserved.
CONSOLE_COLOURS = [
    (0x00, 0x00, 0x00, 0), (0x98, 0x00, 0x00, 0), (0x00, 0x98, 0x00, 0), (0x98, 0x98, 0x00, 0),
    (0x00, 0x00, 0x98, 0), (0x98, 0x00, 0x98, 0), (0x00, 0x98, 0x98, 0), (0x98, 0x98, 0x98, 0),
    (0x30, 0x30, 0x30, 0), (0xFF, 0x00, 0x00, 0), (0x00, 0xFF, 0x00, 0), (0xFF, 0xFF, 0x00, 0),
    (0x00, 0x00, 0xFF, 0), (0xFF, 0x00, 0xFF, 0), (0x00, 0xFF, 0xFF, 0), (0xFF, 0xFF, 0xFF, 0),
]

# The console's cursor: the last three pixel rows of the cell, XOR-ed with
# the foreground colour (GraphicsConsoleDxe mCursorGlyph).
CURSOR_ROWS = (16, 17, 18)

FONT_SOURCE = "MdeModulePkg/Universal/Console/GraphicsConsoleDxe/LaffStd.c"


def load_font(edk2_path):
    """Returns {character: 19 row bytes} of the console's narrow font; bit 7
    of a row byte is the leftmost pixel."""
    with open(os.path.join(edk2_path, FONT_SOURCE), encoding="ascii", errors="replace") as source:
        text = source.read()
    entry = re.compile(r"\{\s*0x([0-9A-Fa-f]{4})\s*,\s*0x[0-9A-Fa-f]{2}\s*,\s*\{([^}]*)\}")
    font = {}
    for match in entry.finditer(text):
        rows = [int(value, 16) for value in re.findall(r"0x([0-9A-Fa-f]{2})", match.group(2))]
        if len(rows) == GLYPH_HEIGHT:
            font.setdefault(chr(int(match.group(1), 16)), bytes(rows))
    return font


def read_info(path):
    """Reads the key=value report of the console test."""
    info = {}
    with open(path, encoding="ascii", errors="replace") as report:
        for line in report:
            key, sep, value = line.strip().partition("=")
            if sep:
                info[key] = value
    return info


class Screen:
    """A BGRX frame buffer: width x height visible pixels, lines stride
    pixels apart."""

    def __init__(self, data, width, height, stride=None):
        self.width = width
        self.height = height
        self.stride = stride if stride is not None else width
        needed = self.stride * BYTES_PER_PIXEL * (height - 1) + width * BYTES_PER_PIXEL
        if len(data) < needed:
            raise ValueError("frame buffer holds %d bytes, %dx%d with stride %d needs %d"
                             % (len(data), width, height, self.stride, needed))
        self.data = data

    @classmethod
    def from_file(cls, path, width, height, stride=None):
        with open(path, "rb") as dump:
            return cls(dump.read(), width, height, stride)

    def row(self, y, x=0, count=None):
        """Bytes of count pixels of line y from x."""
        count = self.width - x if count is None else count
        start = (y * self.stride + x) * BYTES_PER_PIXEL
        return self.data[start:start + count * BYTES_PER_PIXEL]

    def pixel(self, x, y):
        return tuple(self.row(y, x, 1))

    def visible(self):
        """The visible pixels, lines packed."""
        if self.stride == self.width:
            return self.data[:self.width * self.height * BYTES_PER_PIXEL]
        return b"".join(self.row(y) for y in range(self.height))


def read_ppm(path):
    """Reads a binary PPM (P6, 8 bits, as QEMU's screendump writes it) into
    a Screen of BGRX pixels, the reserved byte 0."""
    with open(path, "rb") as image:
        data = image.read()
    fields = data.split(None, 4)
    if len(fields) < 5 or fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError("%s is not an 8-bit binary PPM" % path)
    width, height = int(fields[1]), int(fields[2])
    rgb = data[len(data) - width * height * 3:]
    pixels = bytearray(width * height * BYTES_PER_PIXEL)
    pixels[0::4] = rgb[2::3]
    pixels[1::4] = rgb[1::3]
    pixels[2::4] = rgb[0::3]
    return Screen(bytes(pixels), width, height)


def write_png(path, screen):
    """Writes the visible screen as an 8-bit RGB PNG."""
    raw = bytearray()
    for y in range(screen.height):
        line = screen.row(y)
        rgb = bytearray(screen.width * 3)
        rgb[0::3] = line[2::4]
        rgb[1::3] = line[1::4]
        rgb[2::3] = line[0::4]
        raw.append(0)
        raw += rgb

    def chunk(kind, payload):
        body = kind + payload
        return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", screen.width, screen.height, 8, 2, 0, 0, 0)
    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 6))
                  + chunk(b"IEND", b""))


def line_text(number, base):
    """Line number of the console pattern (from 1)."""
    length = number + base
    tail = "".join(chr(ord("a") + index % 26) for index in range(length - 3))
    return "%02d:%s" % (number, tail)


def console_rows(lines, base, rows):
    """Simulates the console printing the pattern, each line ended by CR LF,
    from a cleared screen: returns (row texts, cursor row). At the bottom
    row a line feed scrolls the text up by one row."""
    screen = [""] * rows
    cursor = 0
    for number in range(1, lines + 1):
        screen[cursor] = line_text(number, base)
        if cursor == rows - 1:
            screen = screen[1:] + [""]
        else:
            cursor += 1
    return screen, cursor


def line_of_text(text, base):
    """The pattern line a row text is, or None for an empty row."""
    return len(text) - base if text else None


class ConsoleLayout:
    """Where the graphics console puts text mode columns x rows on a screen:
    centred, as GraphicsConsoleDxe computes DeltaX and DeltaY."""

    def __init__(self, width, height, columns, rows):
        self.columns = columns
        self.rows = rows
        self.delta_x = (width - columns * GLYPH_WIDTH) // 2
        self.delta_y = (height - rows * GLYPH_HEIGHT) // 2

    def cell_origin(self, column, row):
        return self.delta_x + column * GLYPH_WIDTH, self.delta_y + row * GLYPH_HEIGHT

    def contains(self, x, y):
        return (self.delta_x <= x < self.delta_x + self.columns * GLYPH_WIDTH
                and self.delta_y <= y < self.delta_y + self.rows * GLYPH_HEIGHT)


def expected_cell(font, character, foreground, background, cursor):
    """The 19 pixel rows (bytes) of one cell."""
    glyph = font.get(character, bytes(GLYPH_HEIGHT))
    fg = bytes(foreground)
    bg = bytes(background)
    rows = []
    for y in range(GLYPH_HEIGHT):
        bits = glyph[y]
        pixels = [fg if bits & (0x80 >> x) else bg for x in range(GLYPH_WIDTH)]
        if cursor and y in CURSOR_ROWS:
            pixels = [bytes(p ^ f for p, f in zip(pixel, fg)) for pixel in pixels]
        rows.append(b"".join(pixels))
    return rows


def inked_extent(screen, layout, row, background):
    """Number of cells from the left of a text row up to the last cell that
    holds any pixel other than the background."""
    bg_row = bytes(background) * GLYPH_WIDTH
    extent = 0
    for column in range(layout.columns):
        x, y = layout.cell_origin(column, row)
        if any(screen.row(y + dy, x, GLYPH_WIDTH) != bg_row for dy in range(GLYPH_HEIGHT)):
            extent = column + 1
    return extent


class ConsoleCheck:
    """Result of check_console: failures (empty when the screen is right)
    and notes for the log."""

    def __init__(self):
        self.failures = []
        self.notes = []
        self.row_lines = []

    @property
    def ok(self):
        return not self.failures


def check_console(screen, info, font, max_reports=8):
    """Compares the screen with what the console must have drawn for the
    console test described by info (the application's report)."""
    result = ConsoleCheck()
    lines = int(info["lines"])
    base = int(info["line_length_base"])
    attribute = int(info["text_attribute"], 16)
    columns = int(info["columns"])
    rows = int(info["rows"])
    foreground = CONSOLE_COLOURS[attribute & 0x0F]
    background = CONSOLE_COLOURS[(attribute >> 4) & 0x07]
    layout = ConsoleLayout(screen.width, screen.height, columns, rows)
    texts, cursor_row = console_rows(lines, base, rows)
    cursor_visible = info.get("cursor_visible", "0") == "1"

    for key, expected in (("cursor_row", str(cursor_row)), ("cursor_column", "0")):
        if info.get(key) != expected:
            result.failures.append("console reports %s %s, the pattern leaves it at %s"
                                   % (key, info.get(key), expected))

    # Outside the text area: the background (ClearScreen fills the screen).
    bg_line = bytes(background) * screen.width
    stray = 0
    for y in range(screen.height):
        line = screen.row(y)
        if line == bg_line:
            continue
        for x in range(screen.width):
            if not layout.contains(x, y) and tuple(line[x * 4:x * 4 + 4]) != background:
                stray += 1
    if stray:
        result.failures.append("%d pixels outside the %dx%d text area at (%d,%d) are not the background"
                               % (stray, columns, rows, layout.delta_x, layout.delta_y))

    # Every cell, exactly.
    bad_cells = []
    for row in range(rows):
        text = texts[row]
        for column in range(columns):
            character = text[column] if column < len(text) else " "
            cursor = cursor_visible and row == cursor_row and column == 0
            want = expected_cell(font, character, foreground, background, cursor)
            x, y = layout.cell_origin(column, row)
            wrong = 0
            for dy in range(GLYPH_HEIGHT):
                got = screen.row(y + dy, x, GLYPH_WIDTH)
                if got != want[dy]:
                    wrong += sum(1 for dx in range(0, GLYPH_WIDTH * 4, 4) if got[dx:dx + 4] != want[dy][dx:dx + 4])
            if wrong:
                bad_cells.append((row, column, character, wrong))
    if bad_cells:
        shown = ", ".join("row %d col %d '%s': %d px" % cell for cell in bad_cells[:max_reports])
        result.failures.append("%d text cells differ from the console font: %s" % (len(bad_cells), shown))

    # The pattern by extents: the line each row holds.
    for row in range(rows):
        extent = inked_extent(screen, layout, row, background)
        expected_line = line_of_text(texts[row], base)
        cursor_only = cursor_visible and row == cursor_row and not texts[row]
        seen = None if extent == 0 or (cursor_only and extent == 1) else extent - base
        result.row_lines.append(seen)
        if seen != expected_line:
            result.failures.append("text row %d shows line %s (%d inked cells), expected line %s"
                                   % (row, seen, extent, expected_line))

    first = result.row_lines[0] if result.row_lines else None
    scrolls = (first - 1) if first else 0
    expected_scrolls = max(0, lines - (rows - 1))
    result.notes.append("text rows hold lines %s" % ",".join("-" if n is None else str(n) for n in result.row_lines))
    result.notes.append("scrolled %d times (expected %d)" % (scrolls, expected_scrolls))
    if expected_scrolls > 0 and scrolls != expected_scrolls:
        result.failures.append("the console scrolled %d times, the pattern needs %d" % (scrolls, expected_scrolls))
    return result


# Text modes GraphicsConsoleDxe offers on a screen: 80x25, 80x50 and
# 100x31 where they fit, and the whole screen in cells.
def console_layouts(width, height):
    modes = [(80, 25), (80, 50), (100, 31), (width // GLYPH_WIDTH, height // GLYPH_HEIGHT)]
    layouts = []
    for columns, rows in modes:
        if columns * GLYPH_WIDTH <= width and rows * GLYPH_HEIGHT <= height:
            layout = ConsoleLayout(width, height, columns, rows)
            if all((layout.delta_x, layout.delta_y) != (other.delta_x, other.delta_y) for other in layouts):
                layouts.append(layout)
    return layouts


def find_text(screen, font, text):
    """Where the console drew text: every cell position of every console
    layout of the screen at which each character's cell is exactly its
    glyph in one foreground and one background colour. Returns a list of
    (x, y, foreground, background)."""
    found = []
    if not text:
        return found
    probe = next(index for index, character in enumerate(text + "\0")
                 if character == "\0" or 0 < sum(bin(row).count("1") for row in font.get(character, b"\0")) < 152)
    if probe == len(text):
        return found
    glyph = font[text[probe]]
    ink = next((y, x) for y in range(GLYPH_HEIGHT) for x in range(GLYPH_WIDTH) if glyph[y] & (0x80 >> x))
    paper = next((y, x) for y in range(GLYPH_HEIGHT) for x in range(GLYPH_WIDTH) if not glyph[y] & (0x80 >> x))
    for layout in console_layouts(screen.width, screen.height):
        for row in range(layout.rows):
            for column in range(layout.columns - len(text) + 1):
                x, y = layout.cell_origin(column + probe, row)
                foreground = screen.pixel(x + ink[1], y + ink[0])
                background = screen.pixel(x + paper[1], y + paper[0])
                if foreground == background:
                    continue
                if all(screen.row(cy + dy, cx, GLYPH_WIDTH) == want[dy]
                       for index, character in enumerate(text)
                       for cx, cy in [layout.cell_origin(column + index, row)]
                       for want in [expected_cell(font, character, foreground, background, False)]
                       for dy in range(GLYPH_HEIGHT)):
                    place = layout.cell_origin(column, row) + (foreground, background)
                    if place not in found:      # the layouts' grids can coincide
                        found.append(place)
    return found


def count_other_than(screen, colour):
    """Visible pixels of the screen that are not colour (B, G, R, X)."""
    pixel = bytes(colour)
    visible = screen.visible()
    if visible == pixel * (len(visible) // BYTES_PER_PIXEL):
        return 0
    return sum(1 for offset in range(0, len(visible), BYTES_PER_PIXEL) if visible[offset:offset + 4] != pixel)


def main(argv=None):
    """Command line: turn a console test's frame-buffer dump into a PNG and,
    given the kit tree, check it."""
    import argparse

    parser = argparse.ArgumentParser(description="QD520 frame-buffer dump to PNG, with the console check")
    parser.add_argument("report", help="NAME.txt written by Qd520ConsoleTest.efi console")
    parser.add_argument("dump", help="NAME.bgrx, the frame buffer")
    parser.add_argument("png", help="PNG file to write")
    parser.add_argument("--edk2", help="EDK II tree: also check the console text against its font")
    args = parser.parse_args(argv)

    info = read_info(args.report)
    screen = Screen.from_file(args.dump, int(info["width"]), int(info["height"]), int(info["pixels_per_scan_line"]))
    write_png(args.png, screen)
    print("%s: %dx%d, GOP mode %s" % (args.png, screen.width, screen.height, info.get("gop_mode")))
    if not args.edk2:
        return 0
    result = check_console(screen, info, load_font(args.edk2))
    for line in result.notes + result.failures:
        print(line)
    print("console check: %s" % ("passed" if result.ok else "FAILED"))
    return 0 if result.ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
