"""Reads an exported report file back with a reader of its own and prints
its cells as JSON: {"rows": [[cell, ...], ...]} where a cell is null when
empty, a text for the text formats, and for workbooks an object with
"type" ("text" or "number"), "value", "bold" and "format".

usage: read_back.py xls|xlsx|csv|htm|doc FILE
"""
import csv
import html.parser
import json
import re
import sys


def check_extsst(path, strings):
    """Whether the EXTSST index, which Excel seeks strings by, points at the
    header of every bucket's first string."""
    import struct
    import xlrd.compdoc
    with open(path, "rb") as f:
        stream = xlrd.compdoc.CompDoc(f.read()).get_named_stream("Workbook")
    records, pos = {}, 0
    while pos + 4 <= len(stream):
        kind, size = struct.unpack_from("<HH", stream, pos)
        records[pos] = (kind, size)
        pos += 4 + size
        if kind == 0x000A:  # the globals end here
            break
    ext = [p for p, (kind, _) in records.items() if kind == 0x00FF]
    if len(ext) != 1:
        return False
    per_bucket, = struct.unpack_from("<H", stream, ext[0] + 4)
    buckets = (records[ext[0]][1] - 2) // 8
    if buckets != (len(strings) + per_bucket - 1) // per_bucket:
        return False
    for b in range(buckets):
        at, in_record, _ = struct.unpack_from("<IHH", stream, ext[0] + 6 + 8 * b)
        if records.get(at - in_record, (None,))[0] not in (0x00FC, 0x003C):
            return False
        length, = struct.unpack_from("<H", stream, at)
        if length != len(strings[b * per_bucket]):
            return False
    return True


def read_xls(path):
    import xlrd
    book = xlrd.open_workbook(path, formatting_info=True, on_demand=True)
    sheet = book.sheet_by_index(0)
    rows = []
    for r in range(sheet.nrows):
        row = []
        for c in range(sheet.ncols):
            cell = sheet.cell(r, c)
            if cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                row.append(None)
                continue
            xf = book.xf_list[cell.xf_index]
            row.append({
                "type": "number" if cell.ctype == xlrd.XL_CELL_NUMBER else "text",
                "value": cell.value,
                "bold": bool(book.font_list[xf.font_index].bold),
                "format": book.format_map[xf.format_key].format_str,
            })
        rows.append(row)
    widths = [sheet.colinfo_map[c].width if c in sheet.colinfo_map else None
              for c in range(sheet.ncols)]
    return {"rows": rows, "widths": widths, "extsst": check_extsst(path, book._sharedstrings)}


def read_xlsx(path):
    import openpyxl
    book = openpyxl.load_workbook(path)
    sheet = book.worksheets[0]
    rows = []
    for cells in sheet.iter_rows(min_row=1, max_row=sheet.max_row, max_col=sheet.max_column):
        row = []
        for cell in cells:
            if cell.value is None:
                row.append(None)
                continue
            number = isinstance(cell.value, (int, float))
            row.append({
                "type": "number" if number else "text",
                "value": cell.value,
                "bold": bool(cell.font.b),
                "format": cell.number_format,
            })
        rows.append(row)
    return {"rows": rows}


def read_csv(path):
    with open(path, encoding="utf-8-sig", newline="") as f:
        return {"rows": [row for row in csv.reader(f)]}


class TableParser(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.rows, self.cell = [], None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([])
        elif tag == "td":
            self.cell = ""
        elif tag == "br" and self.cell is not None:
            self.cell += "\n"

    def handle_endtag(self, tag):
        if tag == "td":
            self.rows[-1].append(self.cell)
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def read_htm(path):
    parser = TableParser()
    with open(path, encoding="utf-8") as f:
        parser.feed(f.read())
    return {"rows": parser.rows}


RTF_TOKEN = re.compile(r"\\u(-?\d+)\??|\\([a-z]+)(-?\d+)? ?|\\([\\{}])|([{}])|([^\\{}\r\n]+)|[\r\n]")


def read_doc(path):
    with open(path, encoding="ascii") as f:
        text = f.read()
    rows, row, cell, depth, skip_depth, units = [], [], "", 0, None, []

    def flush_units():
        nonlocal cell, units
        if units:
            cell += b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le")
            units = []

    for m in RTF_TOKEN.finditer(text):
        uni, word, _, escaped, brace, plain = m.groups()
        if brace == "{":
            depth += 1
            continue
        if brace == "}":
            if skip_depth == depth:
                skip_depth = None
            depth -= 1
            continue
        if skip_depth is not None:
            continue
        if uni is not None:
            units.append(int(uni) & 0xFFFF)
            continue
        flush_units()
        if word == "fonttbl":
            skip_depth = depth
        elif word == "cell":
            row.append(cell)
            cell = ""
        elif word == "row":
            rows.append(row)
            row = []
        elif word == "line":
            cell += "\n"
        elif word == "tab":
            cell += "\t"
        elif escaped:
            cell += escaped
        elif plain and depth == 1:
            cell += plain
    return {"rows": rows}


if __name__ == "__main__":
    kind, path = sys.argv[1], sys.argv[2]
    json.dump(globals()["read_" + kind](path), sys.stdout, ensure_ascii=False)
