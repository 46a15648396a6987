"""PDF documents written by matplotlib's PDF backend joined into one.

The pages of one report are drawn by several worker processes, each into a
document of its own; ``join`` writes their pages in the order asked as one
document.  Each part keeps its own fonts and resources (every object of a
part is copied, renumbered), so a page looks as it did in its part.  Only
what matplotlib writes is read: a classic cross-reference table, objects
one after the other, no object streams; anything else is a ``JoinError``,
raised before anything is written, so that the caller can draw the pages in
turn instead.  Keep to Python 3.7.
"""

import re

__all__ = ["JoinError", "join"]


class JoinError(ValueError):
    """A part that is not a PDF document as matplotlib writes them."""


_TOKEN = re.compile(rb"""
    (?P<space>[\x00\t\n\x0c\r ]+|%[^\r\n]*)
  | (?P<hex><[0-9A-Fa-f\x00\t\n\x0c\r ]*>)
  | (?P<delim><<|>>|\[|\]|\{|\})
  | (?P<name>/[^\x00\t\n\x0c\r ()<>\[\]{}/%]*)
  | (?P<word>[^\x00\t\n\x0c\r ()<>\[\]{}/%]+)
""", re.VERBOSE)
_DEPTH = {b"<<": 1, b"[": 1, b">>": -1, b"]": -1}
_INTEGER = re.compile(rb"[+-]?\d+")
_OBJECT_HEAD = re.compile(rb"\s*(\d+)\s+(\d+)\s+obj\b")
_STREAM = re.compile(rb"\s*stream(\r\n|\n|\r)")
_STREAM_END = re.compile(rb"endstream\s*endobj\s*$")
_OBJECT_END = re.compile(rb"endobj\s*$")
_SECTION = re.compile(rb"\s*(\d+) (\d+)[ \t]*\r?\n")
_XREF_ENTRY = re.compile(rb"(\d{10}) (\d{5}) ([nf])[ \r\n]{2}")


class Ref:
    """A reference to object ``number``."""

    def __init__(self, number):
        self.number = number


class _Delimiter(bytes):
    pass


def _string_end(data, start):
    """The end of the literal string that opens at ``start``."""
    depth, k = 0, start
    while k < len(data):
        c = data[k]
        if c == 0x5C:  # a backslash escapes the next character
            k += 2
            continue
        depth += (c == 0x28) - (c == 0x29)
        k += 1
        if depth == 0:
            return k
    raise JoinError("a string runs past the end of its object")


def _tokens(data, start=0):
    """(kind, start, end) of each token from ``start``: kind "string" for a
    literal string, else the group of ``_TOKEN`` that matched."""
    k = start
    while k < len(data):
        if data[k] == 0x28:
            end = _string_end(data, k)
            yield "string", k, end
            k = end
            continue
        match = _TOKEN.match(data, k)
        if match is None:
            raise JoinError(f"unreadable PDF at byte {k}")
        if match.lastgroup != "space":
            yield match.lastgroup, k, match.end()
        k = match.end()


def _value_end(data, start):
    """The end of the value (a dictionary, array or single token) at ``start``."""
    depth = 0
    for kind, begin, end in _tokens(data, start):
        if kind == "delim":
            depth += _DEPTH.get(data[begin:end], 0)
        if depth == 0:
            return end
    raise JoinError("an object's value runs past its end")


def _is_reference(data, tokens):
    (_, n0, n1), (_, g0, g1), (_, r0, r1) = tokens
    return (all(kind == "word" for kind, _, _ in tokens) and data[n0:n1].isdigit()
            and data[g0:g1].isdigit() and data[r0:r1] == b"R")


def _renumbered(data, mapping):
    """``data`` (no stream in it) with each reference "N G R" made one to
    object mapping[N]."""
    if b"R" not in data:  # most of a font: its widths, its encoding
        return data
    out, last, recent = [], 0, []
    for token in _tokens(data):
        recent = (recent + [token])[-3:]
        if len(recent) == 3 and _is_reference(data, recent):
            number = int(data[recent[0][1]:recent[0][2]])
            if number not in mapping:
                raise JoinError(f"a reference to object {number}, which the part does not hold")
            out += [data[last:recent[0][1]], b"%d 0 R" % mapping[number]]
            last = token[2]
    out.append(data[last:])
    return b"".join(out)


def _parse(data, start=0):
    """The first value at ``start`` as Python: a dict (keys without their /),
    list, ``Ref``, int, or the token's bytes; enough for a catalog, a page
    tree and a trailer."""
    atoms, depth = [], 0
    for kind, begin, end in _tokens(data, start):
        text = data[begin:end]
        if kind == "word" and text == b"R" and len(atoms) >= 2 and \
                all(type(atom) is int for atom in atoms[-2:]):
            atoms[-2:] = [Ref(atoms[-2])]
        elif kind == "word" and _INTEGER.fullmatch(text):
            atoms.append(int(text))
        elif kind == "delim":
            atoms.append(_Delimiter(text))
            depth += _DEPTH.get(text, 0)
        else:
            atoms.append(text)
        if depth == 0 and kind == "delim":
            break
    atoms = iter(atoms)
    try:
        return _build(next(atoms), atoms)
    except StopIteration:
        raise JoinError("a dictionary or array runs past its end") from None


def _build(atom, atoms):
    if isinstance(atom, _Delimiter) and atom == b"<<":
        result = {}
        key = next(atoms)
        while key != b">>":
            result[bytes(key[1:])] = _build(next(atoms), atoms)
            key = next(atoms)
        return result
    if isinstance(atom, _Delimiter) and atom == b"[":
        items = []
        item = next(atoms)
        while item != b"]":
            items.append(_build(item, atoms))
            item = next(atoms)
        return items
    return atom


def _offsets(data, xref):
    """{object number: offset} of the objects in use, from the table at ``xref``."""
    offsets, k = {}, xref + len(b"xref")
    while True:
        section = _SECTION.match(data, k)
        if section is None:
            return offsets
        first, count = int(section.group(1)), int(section.group(2))
        k = section.end()
        for number in range(first, first + count):
            entry = _XREF_ENTRY.match(data, k)
            if entry is None:
                raise JoinError("an unreadable cross-reference entry")
            if entry.group(3) == b"n" and number:
                offsets[number] = int(entry.group(1))
            k = entry.end()


class _Part:
    """One document: its objects' bytes by number, its catalog, page tree,
    pages in order and document information."""

    def __init__(self, data):
        found = re.search(rb"startxref\s+(\d+)\s+%%EOF\s*$", data[-1024:])
        if found is None:
            raise JoinError("no cross-reference table at the end")
        xref = int(found.group(1))
        if data[xref:xref + 4] != b"xref":
            raise JoinError("a cross-reference stream, not a table")
        offsets = _offsets(data, xref)
        if not offsets:
            raise JoinError("no object")
        starts = sorted(offsets.values()) + [xref]
        ends = dict(zip(starts, starts[1:]))
        self.header = data[:starts[0]]
        self.objects = {number: data[start:ends[start]] for number, start in offsets.items()}
        trailer = data.find(b"trailer", xref)
        if trailer < 0:
            raise JoinError("no trailer")
        trailer = _parse(data, trailer + len(b"trailer"))
        self.info = trailer.get(b"Info")
        self.catalog = trailer[b"Root"].number
        tree = self.value(self.value(self.catalog)[b"Pages"].number)
        self.tree = self.value(self.catalog)[b"Pages"].number
        self.pages = [kid.number for kid in tree[b"Kids"]]
        if len(self.pages) != tree[b"Count"]:
            raise JoinError("a page tree of more than one level")

    def split(self, number):
        """(value, rest) of an object's bytes: the rest is its stream, if it
        has one, and ``endobj``."""
        body = self.objects.get(number)
        head = None if body is None else _OBJECT_HEAD.match(body)
        if head is None or int(head.group(1)) != number:
            raise JoinError(f"object {number} is not where the table says")
        if _STREAM_END.search(body):  # the stream's dictionary, then its bytes as they are
            end = _value_end(body, head.end())
            if not _STREAM.match(body, end):
                raise JoinError(f"object {number} holds more than one value")
        else:
            found = _OBJECT_END.search(body)
            if found is None:
                raise JoinError(f"object {number} has no end")
            end = found.start()
        return body[head.end():end], body[end:]

    def value(self, number):
        return _parse(self.split(number)[0])


def join(parts, order, fh):
    """Write into ``fh`` the pages ``order`` ((part index, page index) pairs)
    of the documents ``parts`` (bytes) as one document, with the first part's
    document information.  Every part is read before anything is written."""
    read = [_Part(data) for data in parts]
    mappings, copied = [], []  # copied: (part index, object number) in their new order
    size = 3  # 1: the catalog, 2: the page tree
    for k, part in enumerate(read):
        left_out = {part.catalog, part.tree}
        if k and part.info is not None:
            left_out.add(part.info.number)
        mapping = {part.tree: 2}
        for number in sorted(set(part.objects) - left_out):
            mapping[number] = size
            copied.append((k, number))
            size += 1
        mappings.append(mapping)
    kids = []
    for k, page in order:
        if not 0 <= page < len(read[k].pages):
            raise JoinError(f"no page {page + 1} in part {k + 1}")
        kids.append(mappings[k][read[k].pages[page]])
    bodies = []
    for k, number in copied:
        value, rest = read[k].split(number)
        bodies.append(b"%d 0 obj\n" % mappings[k][number] + _renumbered(value, mappings[k])
                      + rest.rstrip() + b"\n")
    info = read[0].info
    _write(fh, read[0].header, bodies, kids,
           None if info is None else mappings[0][info.number])


def _write(fh, header, bodies, kids, info):
    offsets, position = [], len(header)
    pieces = [header,
              b"1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n",
              b"2 0 obj\n<< /Type /Pages /Kids [ " + b" ".join(b"%d 0 R" % kid for kid in kids)
              + b" ] /Count %d >>\nendobj\n" % len(kids)] + bodies
    for piece in pieces[1:]:
        offsets.append(position)
        position += len(piece)
    size = len(offsets) + 1
    pieces += [b"xref\n0 %d\n0000000000 65535 f \n" % size,
               b"".join(b"%010d 00000 n \n" % offset for offset in offsets),
               b"trailer\n<< /Size %d /Root 1 0 R" % size
               + (b"" if info is None else b" /Info %d 0 R" % info)
               + b" >>\nstartxref\n%d\n%%%%EOF\n" % position]
    for piece in pieces:
        fh.write(piece)
