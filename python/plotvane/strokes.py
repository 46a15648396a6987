"""Collections of many paths in one style, written into a PDF without the
per-path cost of matplotlib's PDF renderer.

The gait pages draw every cycle of a side: a thousand curves and as many
rows of activity bars, each a path of its own with the same colour, width
and alpha.  The PDF renderer sets up a graphics state and writes each path
through several Python calls, which made these pages the slowest part of a
report.  Here the first path is drawn by matplotlib itself (so the state
set up is the renderer's own), and the others, which need no further change
of state, are written after it in one piece, each painted on its own as
matplotlib paints them: overlapping cycles darken each other as before.

Other renderers, and a collection whose paths differ in style, are drawn by
matplotlib as usual.  Never pyplot; keep to Python 3.7.
"""

import numpy as np
from matplotlib.backend_bases import RendererBase
from matplotlib.collections import LineCollection, PolyCollection

try:
    from matplotlib.backends.backend_pdf import RendererPdf, pdfRepr
except ImportError:  # a matplotlib without them: everything drawn as usual
    RendererPdf = pdfRepr = None
try:
    from matplotlib import _path
except ImportError:
    _path = None

# moveto, lineto, (none), curveto, closepath: the PDF backend's own.
_PATH_OPERATORS = [b"m", b"l", b"", b"c", b"h"]


def _uniform(gc, all_transforms, offsets, styles, urls):
    """Whether every path of a collection is drawn with one graphics state."""
    return (len(all_transforms) == 0 and not np.any(offsets)
            and all(len(style) <= 1 for style in styles) and not any(urls)
            and not gc.get_hatch() and gc.get_sketch_params() is None)


class _FirstPath:
    """The PDF renderer, with a note of the state its first path is drawn with."""

    def __init__(self, renderer):
        self._renderer = renderer
        self.state = None

    def __getattr__(self, name):
        return getattr(self._renderer, name)

    def draw_path(self, gc, path, transform, rgbFace=None):
        self.state = (gc, rgbFace)
        self._renderer.draw_path(gc, path, transform, rgbFace)


class _OneState:
    """The PDF renderer as a one-style collection sees it while drawing."""

    def __init__(self, renderer):
        self._renderer = renderer

    def __getattr__(self, name):
        return getattr(self._renderer, name)

    def draw_path_collection(self, gc, master_transform, paths, all_transforms, offsets,
                             offset_trans, facecolors, edgecolors, linewidths, linestyles,
                             antialiaseds, urls, *args, **kwargs):
        renderer = self._renderer
        styles = (facecolors, edgecolors, linewidths, linestyles, antialiaseds)
        if len(paths) < 2 or not _uniform(gc, all_transforms, offsets, styles, urls):
            return renderer.draw_path_collection(
                gc, master_transform, paths, all_transforms, offsets, offset_trans,
                facecolors, edgecolors, linewidths, linestyles, antialiaseds, urls,
                *args, **kwargs)
        first = _FirstPath(renderer)
        RendererBase.draw_path_collection(
            first, gc, master_transform, paths[:1], all_transforms, offsets, offset_trans,
            facecolors, edgecolors, linewidths, linestyles, antialiaseds, urls,
            *args, **kwargs)
        if first.state is None:  # nothing to paint (no face, no edge)
            return
        path_gc, face = first.state
        _write_paths(renderer, paths[1:], master_transform,
                     face is None and path_gc.get_hatch_path() is None,
                     path_gc.get_sketch_params())


def _write_paths(renderer, paths, transform, clip, sketch):
    """``paths`` as ``PdfFile.writePath`` writes them, but to a thousandth of a
    point, each followed by the paint operator of the renderer's current
    state, in one write."""
    file = renderer.file
    box = (0.0, 0.0, file.width * 72, file.height * 72) if clip else None
    paint = pdfRepr(renderer.gc.paint())
    pieces = []
    for path in paths:
        pieces.append(_operations(file, path, transform, box,
                                  path.should_simplify if clip else False, sketch))
        pieces.append(paint)
    file.write(b"\n".join(pieces) + b"\n")


def _operations(file, path, transform, box, simplify, sketch):
    """The path's operators with its coordinates to a thousandth of a point
    (matplotlib writes a millionth: a third more bytes to format and
    compress, and nothing on the page to show for it)."""
    if _path is not None:
        try:
            return _path.convert_to_string(path, transform, box, simplify, sketch, 3,
                                           _PATH_OPERATORS, True)
        except TypeError:  # a matplotlib whose converter takes other arguments
            pass
    return b"\n".join(pdfRepr(c) for c in file.pathOperations(path, transform, box,
                                                               simplify=simplify,
                                                               sketch=sketch))


class _OneStyle:
    """Drawn into a PDF through ``_OneState``, elsewhere as matplotlib draws it."""

    def draw(self, renderer):
        # The PDF canvas hands its renderer over inside a MixedModeRenderer.
        inner = getattr(renderer, "_renderer", renderer)
        if RendererPdf is not None and isinstance(inner, RendererPdf):
            renderer = _OneState(inner)
        super().draw(renderer)


class Lines(_OneStyle, LineCollection):
    """A ``LineCollection`` of lines in one colour, width and alpha."""


class Boxes(_OneStyle, PolyCollection):
    """A ``PolyCollection`` of shapes in one colour and alpha."""
