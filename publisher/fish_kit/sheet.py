"""The contact sheet of a catalogue's previews: every fish's number, names, fit verdicts and
windows side by side, bad fish marked with their error; a PNG, and an HTML page beside it."""
import html

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf"  # Japanese glyphs (fonts-ipafont-gothic)
IMAGES = (("dialog-ja", "Japanese dialog"), ("dialog-de", "German dialog"),
          ("message", "completion message"))
TEXT_WIDTH, CELL, GAP, ROW, BAD_ROW, MARGIN = 330, (408, 170), 12, 190, 40, 16
INK, GREY, BAD, PAPER = (20, 20, 20), (110, 110, 110), (190, 20, 20), (250, 250, 247)


def wrapped(draw, text, font, width):
    """The text's lines within width pixels, broken at blanks."""
    lines, line = [], ""
    for word in text.split(" "):
        if line and draw.textlength(f"{line} {word}", font=font) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}".strip()
    return lines + [line]


def write_png(path, rows, errors):
    width = MARGIN * 2 + TEXT_WIDTH + len(IMAGES) * (CELL[0] + GAP)
    big, small = ImageFont.truetype(FONT, 18), ImageFont.truetype(FONT, 14)
    measure = ImageDraw.Draw(Image.new("RGB", (1, 1)))
    error_lines = [wrapped(measure, message, small, width - 2 * MARGIN)[:6]
                   for _, message in errors]
    height = (MARGIN * 2 + 30 + ROW * len(rows) +
              sum(BAD_ROW + 20 * len(lines) for lines in error_lines))
    sheet = Image.new("RGB", (width, max(height, MARGIN * 2 + 30 + ROW)), PAPER)
    draw = ImageDraw.Draw(sheet)
    x0 = MARGIN + TEXT_WIDTH
    for i, (_, title) in enumerate(IMAGES):
        draw.text((x0 + i * (CELL[0] + GAP), MARGIN), title, font=small, fill=GREY)
    y = MARGIN + 30
    for row in rows:
        draw.text((MARGIN, y), row["number"], font=big, fill=INK)
        draw.text((MARGIN, y + 26), row["name"], font=big, fill=INK)
        draw.text((MARGIN, y + 52), row["english"], font=small, fill=GREY)
        for j, (tag, (fits, verdict)) in enumerate(row["fit"].items()):
            draw.text((MARGIN, y + 80 + 20 * j), f"{tag}: {verdict}", font=small,
                      fill=BAD if fits is False else INK)
        if row["error"]:
            draw.text((MARGIN, y + 130), f"preview failed: {row['error']}"[:60], font=small,
                      fill=BAD)
        for i, (name, _) in enumerate(IMAGES):
            picture = row["images"].get(name)
            if picture:
                with Image.open(picture) as image:
                    sheet.paste(image, (x0 + i * (CELL[0] + GAP), y))
        y += ROW
    for lines in error_lines:
        draw.text((MARGIN, y), "bad fish", font=big, fill=BAD)
        for k, text in enumerate(lines):
            draw.text((MARGIN, y + 28 + 20 * k), text, font=small, fill=BAD)
        y += BAD_ROW + 20 * len(lines)
    sheet.save(path)


def write_html(path, rows, errors):
    out = ["<!DOCTYPE html>", '<html lang="ja"><head><meta charset="utf-8">',
           "<title>Fish previews</title><style>",
           "body{font-family:sans-serif;background:#fafaf7;color:#141414}",
           "td,th{vertical-align:top;padding:6px;text-align:left}",
           ".bad{color:#be1414}.grey{color:#6e6e6e}</style></head><body>",
           f"<h1>Fish previews</h1><p>{len(rows)} fish, {len(errors)} bad. "
           '<a href="sheet.png">The sheet as a picture</a>.</p>',
           "<table><tr><th>Fish</th>" + "".join(f"<th>{t}</th>" for _, t in IMAGES) + "</tr>"]
    for row in rows:
        fit = "".join(f'<br><span class="{"bad" if fits is False else ""}">'
                      f"{html.escape(tag)}: {html.escape(verdict)}</span>"
                      for tag, (fits, verdict) in row["fit"].items())
        error = (f'<br><span class="bad">preview failed: {html.escape(row["error"])}</span>'
                 if row["error"] else "")
        cells = "".join(
            f'<td><img src="{row["number"]}/{name}.png" width="{row["sizes"][name][0]}" '
            f'height="{row["sizes"][name][1]}" alt="{html.escape(title)}"></td>'
            if name in row["images"] else "<td></td>" for name, title in IMAGES)
        out.append(f'<tr id="fish-{row["number"]}"><td><b>{row["number"]}</b><br>'
                   f'{html.escape(row["name"])}<br><span class="grey">'
                   f'{html.escape(row["english"])}</span>{fit}{error}</td>{cells}</tr>')
    for _, message in errors:
        out.append(f'<tr><td colspan="{1 + len(IMAGES)}" class="bad"><b>bad fish</b>: '
                   f"{html.escape(message)}</td></tr>")
    out.append("</table></body></html>")
    path.write_text("\n".join(out) + "\n", encoding="utf-8")


def by_fish(errors):
    """One entry per bad fish, its problems joined: a fish is checked whole, each problem a
    line of its own."""
    grouped = {}
    for folder, message in errors:
        grouped.setdefault(folder, []).append(message)
    return [(folder, "; ".join(messages)) for folder, messages in grouped.items()]


def write(output, rows, errors):
    errors = by_fish(errors)
    write_png(output / "sheet.png", rows, errors)
    write_html(output / "sheet.html", rows, errors)
