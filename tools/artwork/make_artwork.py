#!/usr/bin/python3
"""The pictures of the installer window: background, buttons, status pictures, logo, animation
and icons, written into src/installer/art/ and stamped into qzSetup at build time.

Run it after changing a picture and commit its outputs; the build only uses the committed files.
Every run gives the same bytes (own BMP, GIF and ICO writers: no time stamps, no random input).

    make_artwork.py           write the pictures, then check them
    make_artwork.py --check   check the committed pictures (sizes, formats, animation, up to date)

Needs Pillow (Debian: python3-pil) and the Nanum fonts (Debian: fonts-nanum).
"""

import argparse
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
ART = os.path.normpath(os.path.join(HERE, "..", "..", "src", "installer", "art"))
FONT_DIR = "/usr/share/fonts/truetype/nanum"

SS = 4  # shapes are drawn this many times larger and reduced, for smooth edges

# Window background and where the window's controls sit on it (x, y, width, height).
BG_SIZE = (600, 371)
BUTTON_AT = (362, 300)
BUTTON_SIZE = (103, 33)
STATUS_AT = {"en": (240, 170), "ko": (275, 170)}
STATUS_SIZE = {"en": (352, 57), "ko": (280, 56)}
ANIM_AT = (270, 250)
ANIM_SIZE = (302, 26)
ANIM_FRAMES = 31
LOGO_AT = (490, 10)
LOGO_SIZE = (100, 29)

NAVY = (20, 52, 92)
BLUE = (36, 96, 160)
TEAL = (32, 150, 166)
GREEN = (34, 140, 96)
PANEL_EDGE = 214  # the blue panel on the left ends here; controls start at x 240

TEXTS = {
    "en": {
        "install": "Install",
        "installing": "Installing...",
        "done": "Done",
        "ready": "Ready to install VH-KSM Agent",
        "running": "Installing VH-KSM Agent",
        "finished": "VH-KSM Agent is installed",
    },
    "ko": {
        "install": "설치",
        "installing": "설치중...",
        "done": "완료",
        "ready": "VH-KSM 에이전트 설치 준비",
        "running": "VH-KSM 에이전트 설치중",
        "finished": "VH-KSM 에이전트 설치 완료",
    },
}


def font(name, size):
    return ImageFont.truetype(os.path.join(FONT_DIR, name), size)


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(len(a)))


def lighter(c, t):
    return mix(c, (255, 255, 255), t)


def darker(c, t):
    return mix(c, (0, 0, 0), t)


def fit_font(name, size, text, width, minimum=9):
    """The largest font size up to `size` at which `text` fits in `width` pixels."""
    while size > minimum and font(name, size).getlength(text) > width:
        size -= 1
    return font(name, size)


# ---------------------------------------------------------------- shapes


def shield_points(cx, top, w, h, steps=24):
    """A shield outline: flat top with rounded shoulders, straight sides, curved to a point."""
    left, right = cx - w / 2, cx + w / 2
    side_end = top + h * 0.42
    pts = [(left, top + h * 0.08), (cx - w * 0.2, top), (cx, top - h * 0.03), (cx + w * 0.2, top),
           (right, top + h * 0.08), (right, side_end)]
    # right side down to the point: quadratic curve through (right, top + 0.78h)
    for i in range(1, steps + 1):
        t = i / steps
        c = (right, top + h * 0.78)
        x = (1 - t) ** 2 * right + 2 * (1 - t) * t * c[0] + t * t * cx
        y = (1 - t) ** 2 * side_end + 2 * (1 - t) * t * c[1] + t * t * (top + h)
        pts.append((x, y))
    for i in range(1, steps):
        t = i / steps
        c = (left, top + h * 0.78)
        x = (1 - t) ** 2 * cx + 2 * (1 - t) * t * c[0] + t * t * left
        y = (1 - t) ** 2 * (top + h) + 2 * (1 - t) * t * c[1] + t * t * side_end
        pts.append((x, y))
    return pts


def scaled(points, s):
    return [(x * s, y * s) for x, y in points]


def draw_shield(draw, cx, top, w, h, s, outer, inner, mark):
    """The emblem at 1/s scale coordinates: a light rim, a coloured inner shield and a check mark."""
    draw.polygon(scaled(shield_points(cx, top, w, h), s), fill=outer)
    rim = max(w * 0.08, 1.2)
    draw.polygon(scaled(shield_points(cx, top + rim, w - 2 * rim, h - 2.2 * rim), s), fill=inner)
    if mark:
        check = [(cx - w * 0.2, top + h * 0.47), (cx - w * 0.05, top + h * 0.62), (cx + w * 0.22, top + h * 0.3)]
        draw.line(scaled(check, s), fill=mark, width=max(1, round(w * 0.11 * s)), joint="curve")


def vertical_gradient(size, top, bottom):
    w, h = size
    img = Image.new("RGB", size)
    d = ImageDraw.Draw(img)
    for y in range(h):
        d.line([(0, y), (w, y)], fill=mix(top, bottom, y / max(1, h - 1)))
    return img


def reduce(img, size):
    return img.resize(size, Image.Resampling.BOX)


# ---------------------------------------------------------------- pictures


def right_side_colour(x):
    # Only x changes the colour right of the panel, so a picture cropped from here matches the
    # background whatever y its control is moved to.
    return mix((250, 252, 254), (234, 240, 246), x / (BG_SIZE[0] - 1))


def make_background():
    w, h = BG_SIZE
    big = Image.new("RGB", (w * SS, h * SS))
    d = ImageDraw.Draw(big)
    for x in range(w * SS):
        d.line([(x, 0), (x, h * SS)], fill=right_side_colour(x / SS))
    # The blue panel with a slanted edge and a thin teal line along it.
    panel = vertical_gradient((PANEL_EDGE * SS, h * SS), (26, 66, 114), (38, 104, 168))
    mask = Image.new("L", panel.size, 0)
    ImageDraw.Draw(mask).polygon([(0, 0), (PANEL_EDGE * SS, 0), ((PANEL_EDGE - 16) * SS, h * SS), (0, h * SS)],
                                 fill=255)
    big.paste(panel, (0, 0), mask)
    d.line([(PANEL_EDGE * SS, 0), ((PANEL_EDGE - 16) * SS, h * SS)], fill=TEAL, width=3 * SS)
    # Soft rings behind the emblem.
    for r, c in ((78, (44, 100, 158)), (62, (48, 110, 170))):
        d.ellipse([(103 - r) * SS, (118 - r) * SS, (103 + r) * SS, (118 + r) * SS], outline=c, width=2 * SS)
    draw_shield(d, 103, 62, 84, 104, SS, (236, 243, 250), (40, 128, 170), (255, 255, 255))
    img = reduce(big, BG_SIZE)

    d = ImageDraw.Draw(img)
    d.text((103, 212), "VH-KSM", font=font("NanumSquareB.ttf", 28), fill=(255, 255, 255), anchor="mm")
    d.text((103, 242), "Agent", font=font("NanumSquareR.ttf", 20), fill=(196, 220, 242), anchor="mm")
    d.text((103, 272), "ENDPOINT SECURITY", font=font("NanumSquareR.ttf", 11), fill=(150, 188, 224), anchor="mm")
    d.text((18, 352), "Varnholt", font=font("NanumSquareR.ttf", 11), fill=(140, 176, 212), anchor="ls")
    # Heading on the light side, well above the status picture (y 170 and below).
    d.text((252, 96), "VH-KSM Agent", font=font("NanumSquareB.ttf", 26), fill=NAVY, anchor="ls")
    d.text((253, 120), "Setup", font=font("NanumSquareR.ttf", 15), fill=(96, 118, 142), anchor="ls")
    d.rectangle([253, 132, 292, 134], fill=TEAL)
    # A hairline between the animation strip (to y 276) and the button (from y 300).
    d.line([(252, 289), (586, 289)], fill=(222, 230, 238))
    return img


def crop(bg, at, size):
    return bg.crop((at[0], at[1], at[0] + size[0], at[1] + size[1]))


def make_button(bg, text, colour, state):
    """A rounded button on its own piece of background; state: normal, hover, pressed, busy."""
    w, h = BUTTON_SIZE
    base = crop(bg, BUTTON_AT, BUTTON_SIZE)
    big = base.resize((w * SS, h * SS), Image.Resampling.NEAREST)
    if state == "normal":
        top, bottom, border, ink = lighter(colour, 0.15), colour, darker(colour, 0.2), (255, 255, 255)
    elif state == "hover":
        top, bottom, border, ink = lighter(colour, 0.42), lighter(colour, 0.18), darker(colour, 0.1), (255, 255, 255)
    elif state == "pressed":
        top, bottom, border, ink = darker(colour, 0.3), darker(colour, 0.12), darker(colour, 0.4), (226, 236, 246)
    else:
        top, bottom, border, ink = (226, 233, 241), (210, 220, 231), (178, 193, 210), (88, 108, 132)
    fill = vertical_gradient((w * SS, h * SS), top, bottom)
    mask = Image.new("L", big.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle([0, 0, w * SS - 1, h * SS - 1], radius=6 * SS, fill=255)
    inner = Image.new("L", big.size, 0)
    ImageDraw.Draw(inner).rounded_rectangle([SS, SS, w * SS - 1 - SS, h * SS - 1 - SS], radius=5 * SS, fill=255)
    big.paste(Image.new("RGB", big.size, border), (0, 0), mask)
    big.paste(fill, (0, 0), inner)
    d = ImageDraw.Draw(big)
    if state == "hover":  # a glow line under the top edge
        d.line([(6 * SS, 2 * SS), ((w - 6) * SS, 2 * SS)], fill=lighter(colour, 0.7), width=SS)
    if state == "pressed":  # an inner shadow along the top edge
        d.line([(6 * SS, 2 * SS), ((w - 6) * SS, 2 * SS)], fill=darker(colour, 0.5), width=2 * SS)
    img = reduce(big, BUTTON_SIZE)
    shift = 1 if state == "pressed" else 0
    f = fit_font("NanumGothicBold.ttf", 15, text, w - 14)
    ImageDraw.Draw(img).text((w / 2 + shift, h / 2 + shift), text, font=f, fill=ink, anchor="mm")
    return img


def make_status(bg, lang, text, kind):
    """The status picture: a round badge (ready, running, finished) and one line of text."""
    at, (w, h) = STATUS_AT[lang], STATUS_SIZE[lang]
    img = crop(bg, at, (w, h))
    big = img.resize((w * SS, h * SS), Image.Resampling.NEAREST)
    d = ImageDraw.Draw(big)
    r, cx, cy = 16, 22, h / 2
    badge = [(cx - r) * SS, (cy - r) * SS, (cx + r) * SS, (cy + r) * SS]
    if kind == "ready":
        d.ellipse(badge, outline=BLUE, width=3 * SS)
        d.polygon(scaled([(cx - 5, cy - 8), (cx + 8, cy), (cx - 5, cy + 8)], SS), fill=BLUE)
    elif kind == "running":
        d.ellipse(badge, fill=TEAL)
        for i, dx in enumerate((-8, 0, 8)):
            rr = 2.6 + i * 0.4
            d.ellipse(scaled([(cx + dx - rr, cy - rr), (cx + dx + rr, cy + rr)], SS), fill=(255, 255, 255))
    else:
        d.ellipse(badge, fill=GREEN)
        d.line(scaled([(cx - 8, cy), (cx - 2, cy + 6), (cx + 9, cy - 6)], SS), fill=(255, 255, 255),
               width=4 * SS, joint="curve")
    img = reduce(big, (w, h))
    left = cx + r + 12
    f = fit_font("NanumGothicBold.ttf", 18, text, w - left - 4)
    ImageDraw.Draw(img).text((left, h / 2), text, font=f, fill=NAVY, anchor="lm")
    return img


def make_logo(bg):
    w, h = LOGO_SIZE
    img = crop(bg, LOGO_AT, LOGO_SIZE)
    big = img.resize((w * SS, h * SS), Image.Resampling.NEAREST)
    d = ImageDraw.Draw(big)
    # A small diamond mark in two halves.
    cx, cy, r = 8, h / 2, 7
    d.polygon(scaled([(cx, cy - r), (cx + r, cy), (cx, cy + r)], SS), fill=TEAL)
    d.polygon(scaled([(cx, cy - r), (cx - r, cy), (cx, cy + r)], SS), fill=NAVY)
    img = reduce(big, LOGO_SIZE)
    d = ImageDraw.Draw(img)
    f = fit_font("NanumSquareB.ttf", 14, "VARNHOLT", w - 22)
    d.text((20, h / 2), "VARNHOLT", font=f, fill=NAVY, anchor="lm")
    return img


def make_animation_frames(bg):
    """An indeterminate progress bar: diagonal stripes moving 1 pixel a frame. The stripe period
    is the frame count, so the last frame leads seamlessly into the first."""
    w, h = ANIM_SIZE
    base = crop(bg, ANIM_AT, ANIM_SIZE)
    track = [2, 8, w - 3, 17]  # x0, y0, x1, y1
    mask = Image.new("L", (w * SS, h * SS), 0)
    ImageDraw.Draw(mask).rounded_rectangle(scaled([(track[0], track[1]), (track[2], track[3])], SS),
                                           radius=4.5 * SS, fill=255)
    rim = Image.new("L", (w * SS, h * SS), 0)
    ImageDraw.Draw(rim).rounded_rectangle(scaled([(track[0] - 1, track[1] - 1), (track[2] + 1, track[3] + 1)], SS),
                                          radius=5.5 * SS, fill=255)
    light, dark = (150, 196, 234), (60, 128, 196)
    frames = []
    for n in range(ANIM_FRAMES):
        stripes = Image.new("RGB", (w * SS, h * SS), light)
        d = ImageDraw.Draw(stripes)
        period = ANIM_FRAMES * SS
        for k in range(-2, w // ANIM_FRAMES + 3):
            x0 = k * period + n * SS
            d.polygon([(x0, h * SS), (x0 + period // 2, h * SS), (x0 + period // 2 + h * SS, 0), (x0 + h * SS, 0)],
                      fill=dark)
        big = base.resize((w * SS, h * SS), Image.Resampling.NEAREST)
        big.paste(Image.new("RGB", big.size, (190, 206, 222)), (0, 0), rim)
        big.paste(stripes, (0, 0), mask)
        frames.append(reduce(big, ANIM_SIZE))
    return frames


def make_icon(size):
    s = 8
    big = Image.new("RGBA", (size * s, size * s), (0, 0, 0, 0))
    d = ImageDraw.Draw(big)
    w, h = size * 0.84, size * 0.92
    outer, inner = (236, 243, 250, 255), (36, 110, 176, 255)
    # Dark outline so the emblem reads on light and dark desktops.
    draw_shield(d, size / 2, size * 0.045, w, h, s, (20, 52, 92, 255), (20, 52, 92, 255), None)
    draw_shield(d, size / 2, size * 0.045 + size * 0.04, w - size * 0.08, h - size * 0.1, s, outer, inner,
                (255, 255, 255, 255))
    return big.resize((size, size), Image.Resampling.BOX)


# ---------------------------------------------------------------- writers


def bmp_bytes(img):
    """A 24-bit bottom-up BMP with BITMAPINFOHEADER, as Windows' resource compiler expects."""
    img = img.convert("RGB")
    w, h = img.size
    stride = (w * 3 + 3) & ~3
    raw = img.tobytes("raw", "BGR")
    rows = []
    for y in range(h - 1, -1, -1):
        row = raw[y * w * 3:(y + 1) * w * 3]
        rows.append(row + b"\0" * (stride - len(row)))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + pixels


def lzw_encode(indices, min_size):
    """GIF's variable-length LZW, codes packed from the low bit; a clear code when the table fills."""
    clear, end = 1 << min_size, (1 << min_size) + 1
    out, acc, nbits = bytearray(), 0, 0

    def emit(code, size):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    size, table, next_code = min_size + 1, {}, end + 1
    emit(clear, size)
    prefix = indices[0]
    for k in indices[1:]:
        key = (prefix, k)
        if key in table:
            prefix = table[key]
            continue
        emit(prefix, size)
        if next_code < 4096:
            table[key] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear, size)
            size, table, next_code = min_size + 1, {}, end + 1
        prefix = k
    emit(prefix, size)
    emit(end, size)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif_bytes(frames):
    """GIF89a: one global palette, looping for ever, every frame whole with delay 0."""
    w, h = frames[0].size
    colours = sorted({c for f in frames for c in f.getdata()})
    if len(colours) > 256:
        sheet = Image.new("RGB", (w, h * len(frames)))
        for i, f in enumerate(frames):
            sheet.paste(f, (0, i * h))
        sheet = sheet.quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
        pal = sheet.getpalette()[:768]
        colours = [tuple(pal[i:i + 3]) for i in range(0, 768, 3)]
        indexed = [list(sheet.crop((0, i * h, w, (i + 1) * h)).getdata()) for i in range(len(frames))]
    else:
        where = {c: i for i, c in enumerate(colours)}
        indexed = [[where[c] for c in f.getdata()] for f in frames]
    bits = max(2, (len(colours) - 1).bit_length())
    table = b"".join(bytes(c) for c in colours) + b"\0" * (3 * ((1 << bits) - len(colours)))
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", w, h, 0x80 | ((bits - 1) << 4) | (bits - 1), 0, 0)
    out += table
    out += b"\x21\xff\x0bNETSCAPE2.0\x03\x01" + struct.pack("<H", 0) + b"\0"
    for idx in indexed:
        out += b"\x21\xf9\x04" + bytes([1 << 2]) + struct.pack("<H", 0) + b"\0\0"  # keep, delay 0
        out += b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0)
        data = lzw_encode(idx, bits)
        out.append(bits)
        for i in range(0, len(data), 255):
            chunk = data[i:i + 255]
            out.append(len(chunk))
            out += chunk
        out.append(0)
    out.append(0x3B)
    return bytes(out)


def ico_bytes(images):
    """An .ico of 32-bit DIB images (with their AND masks), readable by every Windows version."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for img in images:
        w, h = img.size
        px = img.convert("RGBA")
        raw = px.tobytes("raw", "BGRA")
        xor = b"".join(raw[y * w * 4:(y + 1) * w * 4] for y in range(h - 1, -1, -1))
        mask_stride = ((w + 31) // 32) * 4
        mask = bytearray()
        alpha = px.getchannel("A")
        for y in range(h - 1, -1, -1):
            row = bytearray(mask_stride)
            for x in range(w):
                if alpha.getpixel((x, y)) == 0:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += row
        info = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        blob = info + xor + bytes(mask)
        entries.append(struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


# ---------------------------------------------------------------- the set


def build():
    """Every output file: relative path -> bytes."""
    bg = make_background()
    files = {"bg171.bmp": bmp_bytes(bg), "logo190.bmp": bmp_bytes(make_logo(bg))}
    for lang, t in TEXTS.items():
        for rid, state in ((175, "normal"), (176, "hover"), (177, "pressed")):
            files[f"{lang}/b{rid}.bmp"] = bmp_bytes(make_button(bg, t["install"], BLUE, state))
        files[f"{lang}/b178.bmp"] = bmp_bytes(make_button(bg, t["installing"], BLUE, "busy"))
        for rid, kind in ((179, "ready"), (180, "running"), (181, "finished")):
            files[f"{lang}/b{rid}.bmp"] = bmp_bytes(make_status(bg, lang, t[kind], kind))
        for rid, state in ((186, "normal"), (187, "hover"), (188, "pressed")):
            files[f"{lang}/b{rid}.bmp"] = bmp_bytes(make_button(bg, t["done"], GREEN, state))
    files["anim185.gif"] = gif_bytes(make_animation_frames(bg))
    files["icon107.ico"] = ico_bytes([make_icon(32), make_icon(48)])
    files["icon108.ico"] = ico_bytes([make_icon(16)])
    return files


def expected_sizes():
    sizes = {"bg171.bmp": BG_SIZE, "logo190.bmp": LOGO_SIZE}
    for lang in TEXTS:
        for rid in (175, 176, 177, 178, 186, 187, 188):
            sizes[f"{lang}/b{rid}.bmp"] = BUTTON_SIZE
        for rid in (179, 180, 181):
            sizes[f"{lang}/b{rid}.bmp"] = STATUS_SIZE[lang]
    return sizes


def gif_blocks(data):
    """(frame count, delays, loops) read from the GIF's own blocks, not through a decoder."""
    packed = data[10]
    pos = 13 + (3 * (2 << (packed & 7)) if packed & 0x80 else 0)
    frames, delays, loops = 0, [], False
    while pos < len(data):
        b = data[pos]
        if b == 0x3B:
            break
        if b == 0x21:
            label = data[pos + 1]
            if label == 0xF9:
                delays.append(struct.unpack_from("<H", data, pos + 4)[0])
            if label == 0xFF and data[pos + 3:pos + 14] == b"NETSCAPE2.0":
                loops = True
            pos += 2
        elif b == 0x2C:
            frames += 1
            flags = data[pos + 9]
            pos += 10 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0) + 1
        else:
            raise ValueError(f"unexpected GIF block 0x{b:02x} at {pos}")
        while data[pos]:
            pos += data[pos] + 1
        pos += 1
    return frames, delays, loops


def check(folder, fresh):
    problems = []

    def need(ok, what):
        if not ok:
            problems.append(what)

    for name, size in expected_sizes().items():
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            problems.append(f"{name}: missing")
            continue
        raw = open(path, "rb").read()
        bpp, compression = struct.unpack_from("<HI", raw, 28)
        need(raw[:2] == b"BM" and bpp == 24 and compression == 0, f"{name}: not a plain 24-bit BMP")
        with Image.open(path) as im:
            need(im.size == size, f"{name}: {im.size} instead of {size}")

    def differs(a, b, name):
        with Image.open(os.path.join(folder, a)) as x, Image.open(os.path.join(folder, b)) as y:
            pa, pb = list(x.convert("L").getdata()), list(y.convert("L").getdata())
        mean = sum(abs(p - q) for p, q in zip(pa, pb)) / len(pa)
        need(mean >= 8, f"{name}: {b} looks like {a} (mean difference {mean:.1f})")

    for lang in TEXTS:
        for normal, other in ((175, 176), (175, 177), (176, 177), (186, 187), (186, 188), (187, 188)):
            differs(f"{lang}/b{normal}.bmp", f"{lang}/b{other}.bmp", lang)

    gif = open(os.path.join(folder, "anim185.gif"), "rb").read()
    need(gif[:6] == b"GIF89a", "anim185.gif: not GIF89a")
    need(struct.unpack_from("<HH", gif, 6) == ANIM_SIZE, "anim185.gif: wrong size")
    frames, delays, loops = gif_blocks(gif)
    need(frames == ANIM_FRAMES, f"anim185.gif: {frames} frames")
    need(len(delays) == frames and all(d == 0 for d in delays), f"anim185.gif: delays {delays}")
    need(loops, "anim185.gif: does not loop")
    with Image.open(os.path.join(folder, "anim185.gif")) as im:
        need(im.n_frames == ANIM_FRAMES, f"anim185.gif: decoder sees {im.n_frames} frames")
        seen = []
        for i in range(im.n_frames):
            im.seek(i)
            seen.append(im.convert("RGB").tobytes())
        need(len(set(seen)) == ANIM_FRAMES, "anim185.gif: frames repeat within the loop")

    for name, sizes in (("icon107.ico", [32, 48]), ("icon108.ico", [16])):
        raw = open(os.path.join(folder, name), "rb").read()
        reserved, kind, count = struct.unpack_from("<HHH", raw, 0)
        got = [raw[6 + 16 * i] or 256 for i in range(count)]
        need(reserved == 0 and kind == 1 and got == sizes, f"{name}: images {got} instead of {sizes}")

    listed = set()
    for line in open(os.path.join(folder, "resources.txt"), encoding="utf-8"):
        fields = line.split()
        if fields and not fields[0].startswith(";"):
            listed.add(fields[3])
            need(os.path.exists(os.path.join(folder, fields[3])), f"resources.txt: {fields[3]} missing")
    need(set(fresh) <= listed, f"resources.txt does not list {sorted(set(fresh) - listed)}")

    for name, data in fresh.items():
        path = os.path.join(folder, name)
        need(os.path.exists(path) and open(path, "rb").read() == data, f"{name}: not what this script makes")
    return problems


def write(folder, files):
    for name, data in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--check", action="store_true", help="only check the pictures in the art folder")
    ap.add_argument("--out", default=ART, help="art folder (default: %(default)s)")
    args = ap.parse_args()
    files = build()
    if not args.check:
        write(args.out, files)
    # A second build must give the same bytes, or the committed pictures would churn.
    again = build()
    for name, data in files.items():
        if again[name] != data:
            print(f"{name}: differs between two runs", file=sys.stderr)
            return 1
    problems = check(args.out, files)
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print(f"{len(files)} pictures in {args.out}: ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
