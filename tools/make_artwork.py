#!/usr/bin/python3
"""Draws the artwork of Kestrix OV Tools: the skin bitmaps, the icon and a contact sheet.

The tool's window is drawn entirely from pictures. This script paints every one of them
from the skin's colours and a few fonts, so the pictures can be reviewed as code and
regenerated after a change. It is run by hand, never by the build; the build uses the
files it writes, which are committed:

    res/art/*.bmp                  24-bit uncompressed bitmaps, at the exact sizes the
                                   program draws them at 96 DPI (see pictures() below)
    res/art/<percent>/*.png        the same pictures drawn for 125, 150, 175 and 200 %
                                   display scaling (120 to 192 DPI), as PNG
    res/ScaledPictures.rc2         the resource lines of those PNG sets
    res/art/app.ico                the program icon, 16 to 256 pixels
    docs/artwork-contact-sheet.png every bitmap at 2x with its resource id and size, and
                                   previews of the composed main window and prompt

Needs (Debian packages): python3-pil, fonts-dejavu-core, fonts-dejavu-extra,
fonts-liberation, fonts-wqy-microhei. Run it with the system Python, which has Pillow:

    /usr/bin/python3 tools/make_artwork.py

The main window is 420 x 327 pixels with its controls at fixed pixel positions; the
layout constants below are those positions, and the background leaves plain patches of
the body colour (or the panel colour) wherever a control paints text of its own.

At another display scale the program places everything at its 96-DPI pixel position and
size times DPI / 96, each rounded down to a whole pixel (ui/SkinScale.h). Every picture
is drawn afresh at that size from the same code: whole-pixel edges land on the same
whole device pixels as the program's, and text is set in fonts of the scaled size, so
nothing is stretched.
"""

import io
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ART_DIR = os.path.join(ROOT, "res", "art")
SHEET_PATH = os.path.join(ROOT, "docs", "artwork-contact-sheet.png")

# Skin colours.
BODY = (0xB4, 0x20, 0x2D)  # body of the main window
PANEL = (0xC3, 0x4D, 0x57)  # lighter panel colour
STRIP = (0x8D, 0x16, 0x1E)  # prompt body and title strip
AMBER = (0xD7, 0x98, 0x1B)  # every hover look
WHITE = (0xFF, 0xFF, 0xFF)
# Shades derived from them for edges, grooves and muted looks.
EDGE = (0x5E, 0x0D, 0x14)  # outer edge of the window
GROOVE = (0x9C, 0x1A, 0x26)  # recessed areas on the body
PALE = (0xF2, 0xC6, 0xCA)  # pale lettering on dark red
MUTED = (0xA4, 0x3F, 0x49)  # disabled button face
MUTED_TEXT = (0xD6, 0x98, 0x9E)
TAG_LIGHT = (0xA9, 0x3A, 0x45)  # caption tag on the light panel
AMBER_LIGHT = (0xF3, 0xC4, 0x62)
AMBER_DARK = (0x8F, 0x5C, 0x08)

# Main window layout, in client pixels (left, top, width, height).
WINDOW = (420, 327)
TITLE_STRIP_HEIGHT = 26
DEVICE_PANEL = (28, 88, 172, 29)
VERSION_PANEL = (222, 88, 172, 29)
VERSION_TEXT = (267, 93, 105, 13)  # the version label, drawn by the window itself
UPDATE_BUTTON_AT = (161, 140)
PROGRESS_BAR = (82, 180, 254, 5)
GUIDE_TEXT = (34, 223, 353, 68)  # the instructions label, white Arial 15 px on BODY
MINIMIZE_AT = (381, 4)
CLOSE_AT = (398, 4)

# Prompt layout (300 x 127): text block and button rows.
PROMPT = (300, 127)
PROMPT_TEXT = (15, 26, 270, 54)
PROMPT_BUTTONS_TWO = ((60, 90), (170, 90))
PROMPT_BUTTON_ONE = (214, 90)

SS = 4  # supersampling factor for shapes; text is drawn at 1x to stay crisp

# The display scales drawn, as DPI (100, 125, 150, 175 and 200 %), and the one being
# drawn now. The layout constants are 96-DPI pixels.
SCALES = (96, 120, 144, 168, 192)
DPI = 96


def at_scale(v):
    """A coordinate at the current scale. A whole pixel goes to the whole device pixel
    the program puts it at (v * DPI / 96 rounded down), so edges stay sharp and in
    register with the controls; a fractional one (inside a glyph) scales exactly."""
    if DPI == 96:
        return v
    if float(v).is_integer():
        return int(v) * DPI // 96
    return v * DPI / 96


def exact(v):
    """A length at the current scale: line widths, radii, text anchors."""
    return v if DPI == 96 else v * DPI / 96


def unscaled(v):
    """A device length (a measured text) in 96-DPI pixels."""
    return v if DPI == 96 else v * 96 / DPI

FONT_FILES = {
    "sans": "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "bold": "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
    "condensed": "/usr/share/fonts/truetype/dejavu/DejaVuSansCondensed-Bold.ttf",
    "narrow": "/usr/share/fonts/truetype/liberation/LiberationSansNarrow-Bold.ttf",
    "arial": "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
    "cjk": "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
}


def font(kind, size):
    """The font of the kind at size 96-DPI pixels, at the current scale."""
    path = FONT_FILES[kind]
    if not os.path.exists(path):
        sys.exit("missing font %s: install the Debian packages listed at the top" % path)
    return ImageFont.truetype(path, size if DPI == 96 else round(size * DPI / 96))


# Words painted into the pictures, per language set.
WORDS = {
    "en": {
        "title": "Kestrix OV Tools",
        "heading": "Receiver Firmware Update",
        "connected": "Receiver connected",
        "insert": "Please insert receiver",
        "firmware": "FIRMWARE",
        "update": "UPDATE",
        "ok": "OK",
        "cancel": "CANCEL",
        "guide": "HOW TO UPDATE",
        "footer": "Keep the receiver plugged in until the update has finished.",
    },
    "zh": {
        "title": "Kestrix OV Tools",
        "heading": "接收器固件升级",
        "connected": "接收器已连接",
        "insert": "请插入接收器",
        "firmware": "固件版本",
        "update": "USB 升级",
        "ok": "确定",
        "cancel": "取消",
        "guide": "使用说明",
        "footer": "升级完成之前，请勿拔出接收器。",
    },
}

# Update button size per set.
UPDATE_SIZE = {"en": (100, 28), "zh": (110, 32)}


def text_font(lang, role, size):
    """Latin captions use DejaVu; the Chinese set uses WenQuanYi Micro Hei."""
    if lang == "zh":
        return font("cjk", size)
    return font(role, size)


# ---------------------------------------------------------------------------------------
# Drawing helpers


class Canvas:
    """A picture drawn in two passes: shapes at SS times the size, then text at 1x.
    Coordinates, sizes and widths are 96-DPI pixels, drawn at the current scale."""

    def __init__(self, size, under, mode="RGB"):
        self.size = size
        self.big = Image.new(mode, (at_scale(size[0]) * SS, at_scale(size[1]) * SS), under)
        self.shapes = ImageDraw.Draw(self.big)
        self.image = None

    @staticmethod
    def _box(box):
        x0, y0, x1, y1 = (at_scale(v) for v in box)
        return [x0 * SS, y0 * SS, x1 * SS - 1, y1 * SS - 1]

    @staticmethod
    def _points(points):
        return [(at_scale(x) * SS, at_scale(y) * SS) for x, y in points]

    @staticmethod
    def _width(width):
        """A line width: whole pixels stay whole (sharp outlines), fractions scale."""
        return max(1, int(at_scale(width) * SS))

    def rect(self, box, fill=None, outline=None, width=1, radius=0):
        """Rectangle with pixel edges box = (x0, y0, x1, y1), x1 and y1 exclusive."""
        xy = self._box(box)
        if radius:
            self.shapes.rounded_rectangle(
                xy, exact(radius) * SS, fill=fill, outline=outline, width=self._width(width)
            )
        else:
            self.shapes.rectangle(xy, fill=fill, outline=outline, width=self._width(width))

    def line(self, points, fill, width):
        self.shapes.line(self._points(points), fill=fill, width=self._width(width))

    def ellipse(self, box, fill=None, outline=None, width=1):
        self.shapes.ellipse(self._box(box), fill=fill, outline=outline,
                            width=self._width(width))

    def polygon(self, points, fill):
        self.shapes.polygon(self._points(points), fill=fill)

    def arc(self, box, start, end, fill, width):
        self.shapes.arc(self._box(box), start, end, fill=fill, width=self._width(width))

    def band(self, x0, y0, x1, height, fill):
        """A sharp rectangle drawn at 1x over the shapes: device x0 and y0 (as measured
        from text), 96-DPI x1 (exclusive) and height."""
        self.flatten()
        self.draw.rectangle([x0, y0, at_scale(x1) - 1, y0 + at_scale(height) - 1], fill=fill)

    def flatten(self):
        if self.image is None:
            self.image = self.big.reduce(SS)
            self.draw = ImageDraw.Draw(self.image)
        return self.image

    def text_centered(self, centre, text, fnt, fill, shadow=None):
        """Text whose ink is centred on centre = (cx, cy)."""
        self.flatten()
        left, top, right, bottom = self.draw.textbbox((0, 0), text, font=fnt)
        x = round(exact(centre[0]) - (left + right) / 2)
        y = round(exact(centre[1]) - (top + bottom) / 2)
        if shadow:
            self.draw.text((x, y + 1), text, font=fnt, fill=shadow)
        self.draw.text((x, y), text, font=fnt, fill=fill)
        return (x + left, y + top, x + right, y + bottom)

    def text_left(self, left_mid, text, fnt, fill):
        """Text whose ink starts at x and is centred vertically on y."""
        self.flatten()
        left, top, right, bottom = self.draw.textbbox((0, 0), text, font=fnt)
        x = round(exact(left_mid[0]) - left)
        y = round(exact(left_mid[1]) - (top + bottom) / 2)
        self.draw.text((x, y), text, font=fnt, fill=fill)
        return (x + left, y + top, x + right, y + bottom)

    def result(self):
        return self.flatten()


def fitted(lang, role, text, max_width, size, min_size):
    """The largest font of the role, from size down to min_size, in which text fits."""
    probe = ImageDraw.Draw(Image.new("RGB", (1, 1)))
    for s in range(size, min_size - 1, -1):
        f = text_font(lang, role, s)
        l, _, r, _ = probe.textbbox((0, 0), text, font=f)
        if unscaled(r - l) <= max_width:
            return f
    sys.exit("caption %r does not fit in %d pixels" % (text, max_width))


# ---------------------------------------------------------------------------------------
# Glyphs


def draw_logo(c, x, y, size):
    """The Kestrix mark: a red rounded square with a white K and an amber signal arc."""
    c.rect((x, y, x + size, y + size), fill=BODY, outline=EDGE if size >= 24 else None,
           width=max(1, size // 48), radius=max(2, size // 5))
    s = size / 16.0
    # The K: a stem and two strokes, drawn as polygons so every size stays sharp.
    stem = [(x + 4 * s, y + 3.5 * s), (x + 6.4 * s, y + 3.5 * s), (x + 6.4 * s, y + 12.5 * s),
            (x + 4 * s, y + 12.5 * s)]
    upper = [(x + 6.0 * s, y + 8.6 * s), (x + 10.0 * s, y + 3.5 * s),
             (x + 12.9 * s, y + 3.5 * s), (x + 7.9 * s, y + 9.6 * s)]
    lower = [(x + 7.4 * s, y + 7.6 * s), (x + 12.9 * s, y + 12.5 * s),
             (x + 10.0 * s, y + 12.5 * s), (x + 6.0 * s, y + 9.0 * s)]
    for poly in (stem, upper, lower):
        c.polygon(poly, WHITE)
    if size >= 24:
        # Two signal arcs at the top right: the wireless receiver.
        cx, cy = x + 12.2 * s, y + 3.8 * s
        for r in (1.6, 3.0):
            c.arc((cx - r * s, cy - r * s, cx + r * s, cy + r * s), 270, 360, AMBER,
                  max(0.9 * s, 1.0))


def draw_check_lamp(c, cx, cy, lit):
    """A round status lamp: amber with a white tick when lit, a dim ring otherwise."""
    r = 5.5
    if lit:
        c.ellipse((cx - r, cy - r, cx + r, cy + r), fill=AMBER)
        c.line([(cx - 2.8, cy + 0.2), (cx - 0.8, cy + 2.3), (cx + 3.0, cy - 2.2)], WHITE, 1.6)
    else:
        c.ellipse((cx - r, cy - r, cx + r, cy + r), outline=PALE, width=1.2)


def draw_plug(c, cx, cy, colour):
    """A USB plug on its cable, pointing right: the receiver waiting to be inserted."""
    c.rect((cx - 9, cy - 0.75, cx - 5, cy + 0.75), fill=colour)
    c.rect((cx - 5, cy - 3.5, cx + 1, cy + 3.5), fill=colour, radius=1.5)
    c.rect((cx + 1, cy - 2.5, cx + 7, cy + 2.5), outline=colour, width=1)
    c.rect((cx + 2.5, cy - 1, cx + 3.5, cy), fill=colour)
    c.rect((cx + 4.5, cy - 1, cx + 5.5, cy), fill=colour)


def draw_upload_arrow(c, cx, cy, colour):
    c.polygon([(cx - 4.5, cy - 0.5), (cx, cy - 5.5), (cx + 4.5, cy - 0.5)], colour)
    c.rect((cx - 1.5, cy - 1, cx + 1.5, cy + 3.5), fill=colour)
    c.rect((cx - 4.5, cy + 4.5, cx + 4.5, cy + 6), fill=colour)


# ---------------------------------------------------------------------------------------
# The pictures


def background(lang):
    w = WORDS[lang]
    c = Canvas(WINDOW, BODY)
    # Title strip with an amber rule under it.
    c.rect((0, 0, WINDOW[0], TITLE_STRIP_HEIGHT), fill=STRIP)
    c.rect((0, TITLE_STRIP_HEIGHT, WINDOW[0], TITLE_STRIP_HEIGHT + 1), fill=AMBER)
    draw_logo(c, 6, 5, 16)

    # Recessed wells under the two panels and a shadow under the update button.
    for (x, y, pw, ph) in (DEVICE_PANEL, VERSION_PANEL):
        c.rect((x - 1, y - 1, x + pw + 1, y + ph + 2), fill=GROOVE, radius=4)
    bw, bh = UPDATE_SIZE[lang]
    bx, by = UPDATE_BUTTON_AT
    c.rect((bx, by + 2, bx + bw, by + bh + 2), fill=GROOVE, radius=5)

    # The groove the progress bar sits in: a dark frame two pixels wide.
    px, py, pw, ph = PROGRESS_BAR
    c.rect((px - 3, py - 3, px + pw + 3, py + ph + 3), fill=STRIP, radius=3)
    c.rect((px - 1, py - 1, px + pw + 1, py + ph + 1), fill=GROOVE)
    c.rect((px, py, px + pw, py + ph), fill=BODY)

    # Footer band.
    c.rect((0, 305, WINDOW[0], WINDOW[1]), fill=STRIP)
    c.rect((0, 305, WINDOW[0], 306), fill=GROOVE)
    # Outer edge of the captionless window.
    c.rect((0, 0, WINDOW[0], WINDOW[1]), outline=EDGE, width=1)

    # Text, at 1x.
    title_font = font("bold", 12)
    c.text_left((27, 13), w["title"], title_font, WHITE)
    heading = fitted(lang, "bold", w["heading"], 360, 18, 12)
    box = c.text_centered((WINDOW[0] / 2, 51), w["heading"], heading, WHITE)
    c.band(at_scale(WINDOW[0] / 2 - 24), box[3] + at_scale(7), WINDOW[0] / 2 + 24, 2, AMBER)

    small = text_font(lang, "sans", 9 if lang == "en" else 10)
    c.text_left((px - 3 - 6 - unscaled(c.draw.textlength("0%", font=small)), py + ph / 2), "0%",
                small, PALE)
    c.text_left((px + pw + 3 + 6, py + ph / 2), "100%", small, PALE)

    caption = text_font(lang, "bold", 11 if lang == "en" else 12)
    gx, gy, gw, gh = GUIDE_TEXT
    box = c.text_left((gx, gy - 14), w["guide"], caption, AMBER)
    c.band(box[2] + at_scale(8), at_scale(gy - 14), gx + gw, 1, PANEL)

    footer = fitted(lang, "sans", w["footer"], WINDOW[0] - 24, 11, 8)
    c.text_centered((WINDOW[0] / 2, 316), w["footer"], footer, PALE)
    return c.result()


def panel_base(light):
    """Shared frame of the device and version panels: a label row and an indicator rule.

    The dark (connected) look is the body colour inside a dark outline with a lit amber
    rule; the light (not connected) look is a filled panel of the lighter colour with an
    unlit rule. The corners show the wells drawn on the background.
    """
    size = DEVICE_PANEL[2:]
    c = Canvas(size, GROOVE)
    if light:
        c.rect((0, 0) + size, fill=PANEL, radius=3)
    else:
        c.rect((0, 0) + size, fill=BODY, outline=STRIP, width=1, radius=3)
    c.rect((7, 22, size[0] - 7, 24), fill=BODY if light else AMBER)
    return c


ROW_CENTRE = 11.5  # the version label's text centre, relative to the panel


def device_panel(lang, connected):
    w = WORDS[lang]
    c = panel_base(light=not connected)
    if connected:
        draw_check_lamp(c, 14, ROW_CENTRE, lit=True)
        text = w["connected"]
    else:
        draw_plug(c, 14, ROW_CENTRE, WHITE)
        text = w["insert"]
    f = fitted(lang, "bold" if lang == "zh" else "condensed", text, 172 - 26 - 6,
               12 if lang == "en" else 13, 9)
    c.text_left((26, ROW_CENTRE), text, f, WHITE)
    return c.result()


def version_panel(lang, connected):
    """The version panel leaves the label's rectangle a plain patch of its own colour; its
    caption sits in a small tag to the left of that patch."""
    w = WORDS[lang]
    c = panel_base(light=not connected)
    tag = (1, 4, VERSION_TEXT[0] - VERSION_PANEL[0], 20)
    c.rect(tag, fill=STRIP if connected else TAG_LIGHT, radius=2)
    f = fitted(lang, "narrow", w["firmware"], tag[2] - tag[0] - 6, 10, 8)
    c.text_centered(((tag[0] + tag[2]) / 2, ROW_CENTRE), w["firmware"], f, WHITE)
    return c.result()


def button(size, under, face, border, text, fnt, ink, shadow=None, glyph=None, radius=4):
    c = Canvas(size, under)
    c.rect((0, 0) + size, fill=face, outline=border, width=1, radius=radius)
    if glyph is None:
        c.flatten()
        c.text_centered((size[0] / 2, size[1] / 2), text, fnt, ink, shadow)
        return c.result()
    # Glyph and text centred together.
    probe = ImageDraw.Draw(Image.new("RGB", (1, 1)))
    l, _, r, _ = probe.textbbox((0, 0), text, font=fnt)
    gap, gw = 6, 9
    start = (size[0] - (gw + gap + unscaled(r - l))) / 2
    glyph(c, start + gw / 2, size[1] / 2 - 0.5, ink)
    c.text_left((round(start + gw + gap), size[1] / 2), text, fnt, ink)
    return c.result()


def update_button(lang, look):
    size = UPDATE_SIZE[lang]
    text = WORDS[lang]["update"]
    f = text_font(lang, "bold", 13 if lang == "en" else 15)
    if look == "normal":
        return button(size, BODY, STRIP, PALE, text, f, WHITE, glyph=draw_upload_arrow)
    if look == "hover":
        return button(size, BODY, AMBER, AMBER_LIGHT, text, f, WHITE, glyph=draw_upload_arrow)
    return button(size, BODY, MUTED, MUTED_TEXT, text, f, MUTED_TEXT, glyph=draw_upload_arrow)


def prompt_button(lang, which, hover):
    text = WORDS[lang][which]
    f = text_font(lang, "bold", 11 if lang == "en" else 13)
    if hover:
        return button((70, 22), STRIP, AMBER, AMBER_LIGHT, text, f, WHITE, radius=3)
    return button((70, 22), STRIP, STRIP, PALE, text, f, PALE, radius=3)


def tile():
    """One progress segment, 9 x 3 at 96 DPI: an amber gradient, top light, bottom dark,
    with a darker last column so the touching tiles read as separate segments. At every
    scale 28 of them fit the bar: 28 x floor(9s) <= floor(254s)."""
    w, h = at_scale(9), at_scale(3)
    img = Image.new("RGB", (w, h))
    rows = (AMBER_LIGHT, AMBER, (0xB5, 0x78, 0x0E))
    for y in range(h):
        colour = rows[y * len(rows) // h]
        for x in range(w):
            k = 0.72 if x == w - 1 else 1.0
            img.putpixel((x, y), tuple(int(v * k) for v in colour))
    return img


def caption_button(size, hover, glyph):
    c = Canvas(size, STRIP)
    if hover:
        c.rect((0, 0) + size, fill=AMBER, radius=2)
    glyph(c, size)
    return c.result()


def minimize_glyph(c, size):
    c.rect((4, 11, size[0] - 4, 13), fill=WHITE)


def close_glyph(c, size):
    cx, cy, r = size[0] / 2, size[1] / 2, 3.8
    c.line([(cx - r, cy - r), (cx + r, cy + r)], WHITE, 1.7)
    c.line([(cx - r, cy + r), (cx + r, cy - r)], WHITE, 1.7)


def prompt_background():
    c = Canvas(PROMPT, STRIP)
    c.rect((0, 0, PROMPT[0], 19), fill=BODY)
    c.rect((0, 19, PROMPT[0], 20), fill=AMBER)
    draw_logo(c, 5, 2, 15)
    c.rect((15, 85, PROMPT[0] - 15, 86), fill=GROOVE)
    c.rect((0, 0) + PROMPT, outline=EDGE, width=1)
    c.text_left((25, 10), "Kestrix OV Tools", font("bold", 10), WHITE)
    return c.result()


def icon_image(size):
    """The logo on a transparent square, averaged down with premultiplied alpha."""
    c = Canvas((size, size), (0, 0, 0, 0), mode="RGBA")
    draw_logo(c, 0, 0, size)
    return c.big.convert("RGBa").reduce(SS).convert("RGBA")


# ---------------------------------------------------------------------------------------
# Files


def pictures():
    """Every bitmap: (file name, resource id, image). Ids follow the language bases."""
    out = []
    for lang, base in (("zh", 3000), ("en", 4000)):
        out += [
            ("%s-background.bmp" % lang, base + 0, background(lang)),
            ("%s-device-connected.bmp" % lang, base + 1, device_panel(lang, True)),
            ("%s-device-absent.bmp" % lang, base + 2, device_panel(lang, False)),
            ("%s-version-dark.bmp" % lang, base + 3, version_panel(lang, True)),
            ("%s-version-light.bmp" % lang, base + 4, version_panel(lang, False)),
            ("%s-update.bmp" % lang, base + 5, update_button(lang, "normal")),
            ("%s-update-disabled.bmp" % lang, base + 6, update_button(lang, "disabled")),
            ("%s-update-hover.bmp" % lang, base + 7, update_button(lang, "hover")),
            ("%s-ok.bmp" % lang, base + 10, prompt_button(lang, "ok", False)),
            ("%s-ok-hover.bmp" % lang, base + 12, prompt_button(lang, "ok", True)),
            ("%s-cancel.bmp" % lang, base + 13, prompt_button(lang, "cancel", False)),
            ("%s-cancel-hover.bmp" % lang, base + 15, prompt_button(lang, "cancel", True)),
        ]
    out += [
        ("tile.bmp", 129, tile()),
        ("minimize.bmp", 130, caption_button((16, 17), False, minimize_glyph)),
        ("minimize-hover.bmp", 131, caption_button((16, 17), True, minimize_glyph)),
        ("close.bmp", 132, caption_button((18, 17), False, close_glyph)),
        ("close-hover.bmp", 133, caption_button((18, 17), True, close_glyph)),
        ("prompt-background.bmp", 134, prompt_background()),
    ]
    return out


ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)


def write_ico(path):
    """An .ico with 32-bit images: uncompressed up to 64 pixels, PNG at 256."""
    blobs = []
    for size in ICON_SIZES:
        img = icon_image(size)
        if size >= 256:
            buf = io.BytesIO()
            img.save(buf, "PNG")
            blobs.append(buf.getvalue())
            continue
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        rows = []
        mask_rows = []
        mask_stride = ((size + 31) // 32) * 4
        for y in range(size - 1, -1, -1):  # bottom-up
            row = bytearray()
            mask = bytearray(mask_stride)
            for x in range(size):
                r, g, b, a = img.getpixel((x, y))
                row += bytes((b, g, r, a))
                if a == 0:
                    mask[x // 8] |= 0x80 >> (x % 8)
            rows.append(bytes(row))
            mask_rows.append(bytes(mask))
        blobs.append(header + b"".join(rows) + b"".join(mask_rows))
    offset = 6 + 16 * len(blobs)
    out = bytearray(struct.pack("<HHH", 0, 1, len(blobs)))
    for size, blob in zip(ICON_SIZES, blobs):
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


# ---------------------------------------------------------------------------------------
# Contact sheet


GUIDE_PREVIEW = {
    "en": "1. Plug in receiver to PC, Red LED will turn on. \n\n"
          "2. Click 'Update' button and select firmware file.",
    "zh": "1. 按住接收器的按钮并通过USB连接到PC，“USB 升级”按钮将会被激活。\n\n"
          "2. 点击“USB 升级”按钮，选择升级文件。",
}


def wrap(draw, text, fnt, width):
    """Breaks text into lines of at most width pixels: at blanks, or anywhere in CJK."""
    lines = []
    for para in text.split("\n"):
        cjk = any(ord(ch) >= 0x2E80 for ch in para)
        units, sep = (list(para), "") if cjk else (para.split(" "), " ")
        line = None
        for unit in units:
            trial = unit if line is None else line + sep + unit
            if line is not None and draw.textlength(trial, font=fnt) > width:
                lines.append(line)
                line = unit
            else:
                line = trial
        lines.append(line or "")
    return lines


def compose_window(lang, pics, connected, percent, hover_update=False):
    """The main window as the program lays it out, for review only."""
    base = 3000 if lang == "zh" else 4000
    img = pics[base + 0].copy()
    img.paste(pics[base + (1 if connected else 2)], DEVICE_PANEL[:2])
    img.paste(pics[base + (3 if connected else 4)], VERSION_PANEL[:2])
    look = (7 if hover_update else 5) if connected else 6
    img.paste(pics[base + look], UPDATE_BUTTON_AT)
    img.paste(pics[130], MINIMIZE_AT)
    img.paste(pics[132], CLOSE_AT)
    d = ImageDraw.Draw(img)
    x, y, w, h = PROGRESS_BAR
    d.rectangle([x, y, x + w - 1, y + h - 1], fill=BODY)
    for i in range(28 * percent // 100):
        img.paste(pics[129], (x + 9 * i, y))
    vx, vy, vw, vh = VERSION_TEXT
    d.rectangle([vx, vy, vx + vw - 1, vy + vh - 1], fill=BODY if connected else PANEL)
    if connected:
        f = font("sans", 11)
        l, t, r, b = d.textbbox((0, 0), "V1.05", font=f)
        d.text((vx + (vw - (r - l)) / 2 - l, vy + (vh - (b - t)) / 2 - t), "V1.05", font=f,
               fill=WHITE)
    gx, gy, gw, gh = GUIDE_TEXT
    gf = font("arial", 15) if lang == "en" else font("cjk", 14)
    for i, line in enumerate(wrap(d, GUIDE_PREVIEW[lang], gf, gw)):
        if gy + 17 * i + 17 <= gy + gh:
            d.text((gx, gy + 17 * i), line, font=gf, fill=WHITE)
    return img


def compose_prompt(lang, pics, text, two, hover_ok=False):
    base = 3000 if lang == "zh" else 4000
    img = pics[134].copy()
    if two:
        img.paste(pics[base + (12 if hover_ok else 10)], PROMPT_BUTTONS_TWO[0])
        img.paste(pics[base + 13], PROMPT_BUTTONS_TWO[1])
    else:
        img.paste(pics[base + (12 if hover_ok else 10)], PROMPT_BUTTON_ONE)
    d = ImageDraw.Draw(img)
    f = font("sans", 11) if lang == "en" else font("cjk", 12)
    tx, ty, tw, th = PROMPT_TEXT
    lines = wrap(d, text, f, tw)
    for i, line in enumerate(lines):
        lw = d.textlength(line, font=f)
        d.text((tx + (tw - lw) / 2, ty + 14 * i), line, font=f, fill=WHITE)
    return img


def contact_sheet(named):
    pics = {rid: img for _, rid, img in named}
    label_font = font("sans", 11)
    sheet_bg = (0xE4, 0xE4, 0xE4)
    margin, gap = 16, 14

    previews = [
        ("main window, EN, connected, 50 %, update hover", compose_window("en", pics, True, 50, True)),
        ("main window, EN, not connected", compose_window("en", pics, False, 0)),
        ("main window, ZH, connected, 100 %", compose_window("zh", pics, True, 100)),
        ("prompt, EN, OK + Cancel", compose_prompt("en", pics, "Update firmware version: V1.06", True)),
        ("prompt, EN, OK (hover)",
         compose_prompt("en", pics, "Firmware upgraded successful!", False, True)),
        ("prompt, ZH, OK + Cancel", compose_prompt("zh", pics, "升级固件版本: V1.06", True)),
    ]

    cells = []
    for name, rid, img in named:
        scale = 1 if img.size[0] > 200 else (6 if img.size[0] < 20 else 2)
        shown = img.resize((img.size[0] * scale, img.size[1] * scale), Image.NEAREST)
        cells.append(("%d  %s  %dx%d" % (rid, name, img.size[0], img.size[1]), shown))
    icons = Image.new("RGB", (sum(ICON_SIZES) + 8 * len(ICON_SIZES), 256), sheet_bg)
    x = 0
    for size in ICON_SIZES:
        icon = icon_image(size)
        icons.paste(icon, (x, 256 - size), icon)
        x += size + 8
    cells.append(("110  app.ico  " + ", ".join(str(s) for s in ICON_SIZES), icons))

    width = 1500
    placed = []  # (x, y, label, image)
    x = y = margin
    row_h = 0
    for group in (previews, cells):
        for label, img in group:
            w = max(img.size[0], int(label_font.getlength(label)))
            h = img.size[1]
            if x + w > width - margin:
                x = margin
                y += row_h + gap
                row_h = 0
            placed.append((x, y, label, img))
            x += w + gap
            row_h = max(row_h, h + 18)
        x = margin
        y += row_h + gap * 2
        row_h = 0
    sheet = Image.new("RGB", (width, y), sheet_bg)
    d = ImageDraw.Draw(sheet)
    for x, y, label, img in placed:
        d.text((x, y), label, font=label_font, fill=(0x30, 0x30, 0x30))
        sheet.paste(img, (x, y + 16))
    return sheet


SCALED_RC_PATH = os.path.join(ROOT, "res", "ScaledPictures.rc2")


def write_scaled_sets():
    """Every picture at each scale above 100 %, as PNG under res/art/<percent>/, and the
    resource script that names them: a picture keeps its id, and its resource type
    (SKIN125 ... SKIN200) names the scale."""
    global DPI
    lines = [
        "// The skin's pictures drawn for 125 to 200 % display scaling, as PNG. Written by",
        "// tools/make_artwork.py (do not edit). Each keeps the id of its 96-DPI bitmap; the",
        "// resource type names the scale, and the program decodes them through WIC.",
    ]
    count = 0
    for dpi in SCALES[1:]:
        DPI = dpi
        percent = dpi * 100 // 96
        folder = os.path.join(ART_DIR, str(percent))
        os.makedirs(folder, exist_ok=True)
        lines.append("")
        for name, rid, img in pictures():
            png = name[:-len(".bmp")] + ".png"
            img.convert("RGB").save(os.path.join(folder, png), "PNG", optimize=True)
            lines.append('%d SKIN%d "art/%d/%s"' % (rid, percent, percent, png))
            count += 1
    DPI = 96
    with open(SCALED_RC_PATH, "w") as f:
        f.write("\n".join(lines) + "\n")
    return count


def main():
    os.makedirs(ART_DIR, exist_ok=True)
    os.makedirs(os.path.dirname(SHEET_PATH), exist_ok=True)
    named = pictures()
    for name, _, img in named:
        # Pillow writes RGB images as 24-bit BI_RGB bitmaps, bottom-up.
        img.convert("RGB").save(os.path.join(ART_DIR, name), "BMP")
    write_ico(os.path.join(ART_DIR, "app.ico"))
    contact_sheet(named).save(SHEET_PATH, "PNG", optimize=True)
    scaled = write_scaled_sets()
    print("wrote %d bitmaps, %d scaled PNG pictures, app.ico and %s"
          % (len(named), scaled, os.path.relpath(SHEET_PATH, ROOT)))


if __name__ == "__main__":
    main()
