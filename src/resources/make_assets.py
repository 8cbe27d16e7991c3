#!/usr/bin/python3
"""Draws the pictures of the windows into src/resources/ui/: the two animations of the progress
window, the pop-up background and close box of the tray window, the minimise button image
and the program icon. Everything is drawn here from shapes; run it after changing a drawing
and commit the script and the pictures:

    /usr/bin/python3 src/resources/make_assets.py      (needs Debian's python3-pil)

The animations are written by our own small GIF encoder, not by PIL's, so that each frame
keeps exactly the position, delay and disposal method chosen below: the window's decoder is
tested on frames that restore the background (2), restore the previous image (3) and leave
the image (1), with delays from 0 (shown for 100 ms) to 40 hundredths.
"""
import math
import pathlib

from PIL import Image, ImageDraw, ImageFont

OUT = pathlib.Path(__file__).resolve().parent / "ui"

# One palette for both animations; index 0 is the background (also the transparent colour).
PALETTE = [
    (245, 245, 245),  # 0 window background
    (255, 255, 255),  # 1 white
    (2, 98, 158),     # 2 deep blue
    (40, 140, 210),   # 3 blue
    (120, 190, 235),  # 4 light blue
    (255, 200, 40),   # 5 amber
    (240, 120, 30),   # 6 orange
    (60, 170, 90),    # 7 green
    (40, 40, 48),     # 8 near black
    (150, 150, 160),  # 9 grey
    (210, 215, 222),  # 10 light grey
    (200, 40, 50),    # 11 red
    (107, 72, 174),   # 12 violet
    (255, 240, 200),  # 13 cream
    (20, 70, 110),    # 14 navy
    (180, 225, 190),  # 15 mint
]
while len(PALETTE) < 16:
    PALETTE.append((0, 0, 0))


def lzw(indices, min_code_size):
    """GIF variant of LZW: variable code width from min_code_size + 1 up to 12 bits."""
    clear = 1 << min_code_size
    end = clear + 1
    table = {(i,): i for i in range(clear)}
    next_code = end + 1
    width = min_code_size + 1
    out = bytearray()
    bits = 0
    nbits = 0

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    emit(clear)
    prefix = ()
    for px in indices:
        candidate = prefix + (px,)
        if candidate in table:
            prefix = candidate
            continue
        emit(table[prefix])
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear)
            table = {(i,): i for i in range(clear)}
            next_code = end + 1
            width = min_code_size + 1
        prefix = (px,)
    if prefix:
        emit(table[prefix])
    emit(end)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def sub_blocks(data):
    out = bytearray()
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def u16(v):
    return bytes((v & 0xFF, v >> 8))


def write_gif(path, size, frames, comment=None):
    """frames: list of (image 'P' with our palette, left, top, delay, disposal, transparent)."""
    w, h = size
    data = bytearray(b"GIF89a" + u16(w) + u16(h) + bytes((0xF3, 0, 0)))  # 16-colour global table
    for rgb in PALETTE:
        data += bytes(rgb)
    data += b"!\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    if comment:
        data += b"!\xFE" + sub_blocks(comment.encode("ascii"))
    for img, left, top, delay, disposal, transparent in frames:
        packed = (disposal << 2) | (1 if transparent else 0)
        data += b"!\xF9\x04" + bytes((packed,)) + u16(delay) + b"\x00\x00"
        fw, fh = img.size
        data += b"," + u16(left) + u16(top) + u16(fw) + u16(fh) + b"\x00"
        data += b"\x04" + sub_blocks(lzw(list(img.getdata()), 4))
    data += b";"
    path.write_bytes(bytes(data))


def palette_image(size, fill=0):
    img = Image.new("P", size, fill)
    flat = [c for rgb in PALETTE for c in rgb]
    img.putpalette(flat + [0] * (768 - len(flat)))
    return img


def font(size):
    for name in ("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",):
        if pathlib.Path(name).exists():
            return ImageFont.truetype(name, size)
    return ImageFont.load_default()


def gear(draw, cx, cy, r, teeth, angle, colour, hole):
    pts = []
    for i in range(teeth * 2):
        a = angle + math.pi * i / teeth
        rr = r if i % 2 == 0 else r * 0.78
        pts.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    draw.polygon(pts, fill=colour)
    draw.ellipse((cx - r * 0.3, cy - r * 0.3, cx + r * 0.3, cy + r * 0.3), fill=hole)


ANIM_SIZE = (520, 350)


def intro_animation():
    """Shown for the first seconds: a still scene, then a gear that turns in place (restore
    background), a spark that crosses the scene (restore previous) and a bar that fills
    (leave in place)."""
    w, h = ANIM_SIZE
    base = palette_image(ANIM_SIZE, 0)
    d = ImageDraw.Draw(base)
    d.rounded_rectangle((60, 60, w - 60, h - 70), radius=24, fill=10)
    d.rounded_rectangle((80, 80, w - 80, h - 90), radius=18, fill=0)  # background: the gear's erased area matches
    d.text((110, 100), "Mirovane", fill=2, font=font(40))
    d.text((112, 160), "checking for updates", fill=9, font=font(20))
    frames = [(base, 0, 0, 20, 1, False)]
    # A gear that turns; each frame is erased to the background (disposal 2) before the next.
    box = (356, 178, 436, 258)
    for step in range(6):
        g = palette_image((80, 80), 0)
        gear(ImageDraw.Draw(g), 40, 40, 36, 8, step * math.pi / 24, 3 if step % 2 else 2, 1)
        delay = (0, 8, 12, 3, 10, 25)[step]  # 0 and 3: shown for the minimum time
        frames.append((g, box[0], box[1], delay, 2, True))
    # A spark crossing the card; the image under it comes back after each frame (disposal 3).
    for step in range(5):
        s = palette_image((40, 40), 0)
        sd = ImageDraw.Draw(s)
        sd.ellipse((4, 4, 36, 36), fill=5)
        sd.ellipse((12, 12, 28, 28), fill=6)
        frames.append((s, 100 + step * 60, 215, 6, 3, True))
    # A bar that fills and stays (disposal 1).
    for step in range(4):
        b = palette_image((90, 12), 0)
        ImageDraw.Draw(b).rectangle((0, 0, 90, 12), fill=7)
        frames.append((b, 100 + step * 90, h - 60, 15, 1, False))
    write_gif(OUT / "intro.gif", ANIM_SIZE, frames, comment="Mirovane intro")


def work_animation():
    """Shown while the update runs: a box on a shelf, a document that falls into it frame by
    frame (restore previous), a turning gear (restore background) and a growing stack of
    files (leave in place)."""
    w, h = ANIM_SIZE
    base = palette_image(ANIM_SIZE, 14)
    d = ImageDraw.Draw(base)
    for i in range(8):
        d.rectangle((0, i * 44, w, i * 44 + 22), fill=2)
    d.rectangle((140, 230, 380, 300), fill=6)
    d.polygon([(140, 230), (170, 200), (350, 200), (380, 230)], fill=5)
    d.text((170, 250), "update", fill=1, font=font(30))
    d.rounded_rectangle((420, 20, 504, 104), radius=10, fill=0)  # the gear turns on the background colour
    frames = [(base, 0, 0, 10, 1, False)]
    for step in range(6):
        doc = palette_image((60, 74), 0)
        dd = ImageDraw.Draw(doc)
        dd.rectangle((2, 2, 58, 72), fill=1, outline=8)
        for line in range(5):
            dd.line((10, 14 + line * 11, 50, 14 + line * 11), fill=9, width=3)
        delay = (4, 6, 8, 10, 12, 40)[step]
        frames.append((doc, 230, 20 + step * 30, delay, 3, True))
        g = palette_image((64, 64), 0)
        gear(ImageDraw.Draw(g), 32, 32, 28, 7, step * math.pi / 21, 3, 1)
        frames.append((g, 430, 30, 0, 2, True))
    for step in range(3):
        f = palette_image((70, 16), 0)
        ImageDraw.Draw(f).rectangle((0, 0, 70, 16), fill=(7, 15, 13)[step], outline=8)
        frames.append((f, 30, 300 - step * 18, 20, 1, False))
    write_gif(OUT / "work.gif", ANIM_SIZE, frames, comment="Mirovane work")


POPUP_SIZE = (220, 132)


def tray_bitmaps():
    w, h = POPUP_SIZE
    img = Image.new("RGB", POPUP_SIZE, (250, 250, 252))
    d = ImageDraw.Draw(img)
    for y in range(h):  # soft vertical gradient
        t = y / h
        d.line((0, y, w, y), fill=(int(236 + 16 * t), int(243 + 8 * t), 255))
    d.rectangle((0, 0, w - 1, h - 1), outline=(2, 98, 158))
    d.rectangle((0, 0, w - 1, 4), fill=(2, 98, 158))
    d.line((14, h - 40, w - 14, h - 40), fill=(190, 205, 220))
    # The close box at (196, 8)-(210, 22), drawn quietly; the hover image is red.
    d.line((199, 11, 207, 19), fill=(120, 120, 130), width=2)
    d.line((207, 11, 199, 19), fill=(120, 120, 130), width=2)
    # Fewer than 256 colours: kept exactly in an 8-bit palette, a third of the size in the exe.
    assert len(img.getcolors(256) or []) > 0, "the pop-up needs more than 256 colours"
    img.convert("P", palette=Image.ADAPTIVE, colors=256).save(OUT / "popup.bmp")
    close = Image.new("RGB", (14, 14), (200, 40, 50))
    cd = ImageDraw.Draw(close)
    cd.line((3, 3, 10, 10), fill=(255, 255, 255), width=2)
    cd.line((10, 3, 3, 10), fill=(255, 255, 255), width=2)
    close.save(OUT / "close.bmp")


def minimise_bitmap():
    img = Image.new("RGB", (32, 28), (180, 213, 235))
    d = ImageDraw.Draw(img)
    d.rectangle((0, 0, 31, 27), outline=(2, 98, 158))
    d.rectangle((9, 17, 22, 20), fill=(255, 255, 255))
    img.save(OUT / "minimise.bmp")


def icon():
    big = Image.new("RGBA", (48, 48), (0, 0, 0, 0))
    d = ImageDraw.Draw(big)
    d.ellipse((2, 2, 45, 45), fill=(2, 98, 158, 255))
    d.ellipse((6, 6, 41, 41), fill=(40, 140, 210, 255))
    d.polygon([(24, 10), (37, 25), (29, 25), (29, 37), (19, 37), (19, 25), (11, 25)], fill=(255, 255, 255, 255))
    big.save(OUT / "app.ico", sizes=[(16, 16), (32, 32), (48, 48)])


def main():
    OUT.mkdir(exist_ok=True)
    intro_animation()
    work_animation()
    tray_bitmaps()
    minimise_bitmap()
    icon()


if __name__ == "__main__":
    main()
