"""Files written whole or not at all, with the permissions of any new file."""

import os
import stat
import sys

import pytest
from plotvane.files import write_atomically


def fail(*_):
    raise OSError("disk full")


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX modes")
@pytest.mark.parametrize("earlier_mode, write, check, mode", [
    (None, lambda fh: fh.write(b"new"), None, 0o640),          # a new file: 0666 less the umask
    (0o600, lambda fh: fh.write(b"new"), None, 0o600),         # a replaced one keeps its mode
    (0o604, lambda fh: fh.write(b"new"), lambda path: None, 0o604),
    (0o644, lambda fh: (fh.write(b"ne"), fail()), None, None),  # cut short while writing
    (0o644, lambda fh: fh.write(b"new"), fail, None),          # refused by its check
    (None, lambda fh: (fh.write(b"ne"), fail()), None, None),
])
def test_mode_and_no_partial_file(tmp_path, earlier_mode, write, check, mode):
    final = tmp_path / "Walk01.txt"
    if earlier_mode is not None:
        final.write_bytes(b"earlier")
        os.chmod(str(final), earlier_mode)
    old = os.umask(0o027)
    try:
        if mode is None:
            with pytest.raises(OSError, match="disk full"):
                write_atomically(str(final), write, check)
        else:
            assert write_atomically(str(final), write, check) == str(final)
    finally:
        os.umask(old)
    assert os.listdir(str(tmp_path)) == ([] if mode is None and earlier_mode is None
                                         else ["Walk01.txt"])
    if mode is not None:
        assert final.read_bytes() == b"new"
        assert stat.S_IMODE(os.stat(str(final)).st_mode) == mode
    elif earlier_mode is not None:
        assert final.read_bytes() == b"earlier"
        assert stat.S_IMODE(os.stat(str(final)).st_mode) == earlier_mode
