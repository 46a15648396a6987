"""Files written whole or not at all.

Every file the plug-in, its report writer and its host make goes through
``write_atomically``: an earlier file of that name is either kept untouched
or replaced by a complete new one, and nothing half-written is ever left
behind, whatever fails and wherever the run is interrupted.

Keep this module to what Python 3.7 offers: a lab may install it into
Nexus's own interpreter.
"""

import os

__all__ = ["write_atomically"]

# Random names are tried this many times before the collision is reported,
# as mkstemp does.
_NAME_ATTEMPTS = 100


def _create_temporary(folder, base):
    """(descriptor, path) of a new file beside the target.

    Created with mode 0666 for the system to take the umask off, as for any
    new file: reading the umask would mean setting it, and for that moment
    every other thread would create its files with the wrong mode.  Binary
    at the descriptor level, so only the caller's layer translates line ends.
    """
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    for attempt in range(1, _NAME_ATTEMPTS + 1):
        path = os.path.join(folder, "." + base + "." + os.urandom(6).hex() + ".tmp")
        try:
            return os.open(path, flags, 0o666), path
        except FileExistsError:
            if attempt == _NAME_ATTEMPTS:
                raise


def _keep_mode(final, temporary):
    """A replaced file keeps its permissions; a new one has those of any new file."""
    try:
        mode = os.stat(final).st_mode
    except OSError:
        return
    os.chmod(temporary, mode & 0o7777)


def _sync_folder(folder):
    """Make the rename itself durable where the system lets a folder be synced."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:  # not possible on every platform (Windows)
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def write_atomically(final, write, check=None):
    """Write the file ``final`` through ``write(binary file)``; return ``final``.

    The content goes to a temporary file beside it, synced to the disk,
    given to ``check(temporary path)`` when one is given (which raises to
    refuse it), and only then renamed over ``final``.  On any failure the
    temporary file is removed and ``final`` is left as it was.
    """
    folder = os.path.dirname(final) or os.curdir
    fd, temporary = _create_temporary(folder, os.path.basename(final))
    try:
        with os.fdopen(fd, "wb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        _keep_mode(final, temporary)
        if check is not None:
            check(temporary)
        os.replace(temporary, final)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_folder(folder)
    return final
