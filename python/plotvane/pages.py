"""The pages of a report written into one PDF: in turn, or shared among
worker processes that draw each their share into a document of its own,
joined in page order (``pdfjoin``).

A page is a ``Page`` or a function that makes one, called where the page is
drawn: with workers, the artists of such a page are made in the worker too.
Workers are forked, so that they find the pages, and whatever the functions
need, as they are, with nothing pickled; the calling process draws a share
itself.  The pages are drawn in turn where fork is absent (Windows), in a
daemonic process (which may not have children) and while other threads run
(a forked child has only the thread that forked, and a lock another held
would never be released).  A worker that dies has its share drawn by the
calling process; an exception raised in a worker is raised here.
Keep to Python 3.7.
"""

import io
import multiprocessing
import signal
import threading

from matplotlib.backends.backend_pdf import PdfPages

from plotvane.pdfjoin import JoinError, join

__all__ = ["write_pages"]

# A page of axes and curves takes about the time of this many lines of text.
_LINES_PER_AXES_PAGE = 200.0


def write_pages(fh, pages, metadata, footer, jobs=1):
    """Write ``pages`` into ``fh`` as one PDF document with ``metadata``;
    ``footer(page, number, count)`` finishes each page before it is drawn.
    ``jobs`` > 1: that many processes draw the pages where they can."""
    for number, page in enumerate(pages, 1):  # a page made by a function: where it is made
        if not callable(page):
            footer(page, number, len(pages))
    shares = _shares(pages, _processes(jobs, len(pages)))
    if len(shares) > 1:
        parts = _drawn_apart(pages, shares, metadata, footer)
        order = sorted((index, part, place) for part, share in enumerate(shares)
                       for place, index in enumerate(share))
        try:
            join(parts, [(part, place) for _, part, place in order], fh)
            return
        except JoinError:  # a matplotlib writing PDF otherwise: drawn again, in turn
            pass
    _draw(fh, pages, range(len(pages)), metadata, footer)


def _processes(jobs, count):
    if jobs <= 1 or count <= 1 or "fork" not in multiprocessing.get_all_start_methods():
        return 1
    if multiprocessing.current_process().daemon or threading.active_count() > 1:
        return 1
    return min(jobs, count)


def _weight(page):
    """The time a page takes to draw, in pages of axes and curves."""
    if callable(page) or page.fig.axes:
        return 1.0
    return min(1.0, len(page.fig.artists + page.fig.texts) / _LINES_PER_AXES_PAGE)


def _shares(pages, processes):
    """The page indices each process draws, the heaviest pages first to the
    least loaded, each share in page order."""
    loads = [0.0] * processes
    shares = [[] for _ in range(processes)]
    for index in sorted(range(len(pages)), key=lambda i: -_weight(pages[i])):
        lightest = loads.index(min(loads))
        loads[lightest] += _weight(pages[index])
        shares[lightest].append(index)
    return [sorted(share) for share in shares if share]


def _draw(fh, pages, indices, metadata, footer):
    with PdfPages(fh, metadata=metadata) as pdf:
        for index in indices:
            page = pages[index]
            if callable(page):
                page = page()
                footer(page, index + 1, len(pages))
            pdf.savefig(page.fig)


def _drawn(pages, indices, metadata, footer):
    part = io.BytesIO()
    _draw(part, pages, indices, metadata, footer)
    return part.getvalue()


def _worker(send, pages, indices, metadata, footer):
    # Ctrl-C is the calling process's to answer: it ends the workers itself,
    # without a traceback from each.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        answer = (True, _drawn(pages, indices, metadata, footer))
    except Exception as exc:  # noqa: BLE001 - raised again in the calling process
        answer = (False, exc)
    try:
        send.send(answer)
    except Exception as exc:  # noqa: BLE001 - an exception that cannot be pickled
        send.send((False, RuntimeError(f"drawing pages of the report failed: "
                                       f"{type(exc).__name__}: {exc}")))
    send.close()


def _drawn_apart(pages, shares, metadata, footer):
    """Each share's document: the first drawn here, the others by forked workers."""
    context = multiprocessing.get_context("fork")
    workers = []
    try:
        for indices in shares[1:]:
            receive, send = context.Pipe(duplex=False)
            process = context.Process(target=_worker, daemon=True,
                                      args=(send, pages, indices, metadata, footer))
            process.start()
            send.close()
            workers.append((process, receive, indices))
        parts = [_drawn(pages, shares[0], metadata, footer)]
        for process, receive, indices in workers:
            try:
                drawn, part = receive.recv()
            except EOFError:  # the worker died (killed, out of memory): its pages drawn here
                part = _drawn(pages, indices, metadata, footer)
            else:
                if not drawn:
                    raise part
            parts.append(part)
        return parts
    finally:
        for process, receive, _ in workers:
            if process.is_alive():
                process.terminate()
            process.join()
            receive.close()
