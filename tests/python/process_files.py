"""What a running process has open, read from /proc: for tests that must
catch a writer in the middle of its work (its temporary file may have no
name, so the folder does not show it)."""

import os
import pathlib


def open_files(pid):
    """[(path the descriptor shows, descriptor)] of process `pid`; a file
    without a name shows as "FOLDER/#INODE (deleted)"."""
    out = []
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return out
    for fd in fds:
        try:
            out.append((os.readlink(f"/proc/{pid}/fd/{fd}"), fd))
        except OSError:
            pass
    return out


def written_beside(pid, folder, skip=()):
    """Bytes of the file process `pid` has open in `folder` (its temporary
    output, named or not), or None while it has none; files in `skip` (its
    input) do not count."""
    folder = str(pathlib.Path(folder).resolve())
    skipped = {str(pathlib.Path(p).resolve()) for p in skip}
    for shown, fd in open_files(pid):
        if os.path.dirname(shown) == folder and shown not in skipped:
            try:
                return os.stat(f"/proc/{pid}/fd/{fd}").st_size
            except OSError:
                pass
    return None


def read_position(pid, path):
    """The offset process `pid` has read the file at `path` up to, or None
    while it does not have it open."""
    path = str(pathlib.Path(path).resolve())
    for shown, fd in open_files(pid):
        if shown == path:
            try:
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    for line in info:
                        if line.startswith("pos:"):
                            return int(line.split()[1])
            except OSError:
                pass
    return None
