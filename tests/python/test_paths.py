"""Every sarnio entry takes a path the same way: str, the file system's bytes,
or an os.PathLike of either; anything else is a TypeError, an embedded NUL a
ValueError, before anything is read or written."""

import os
import pathlib

import pytest

import sarnio

CSV = b"id,name\n1,a\n2,b\n"


class BytesPath(os.PathLike):
    def __init__(self, path):
        self.path = os.fsencode(path)

    def __fspath__(self):
        return self.path


def spellings(path):
    return {
        "str": str(path),
        "bytes": os.fsencode(path),
        "Path": pathlib.Path(path),
        "PathLike of bytes": BytesPath(path),
    }


@pytest.mark.parametrize("form", ["str", "bytes", "Path", "PathLike of bytes"])
def test_every_entry_takes_every_path_form(tmp_path, form):
    csv = tmp_path / "in.csv"
    csv.write_bytes(CSV)
    out = tmp_path / "out.sarn"
    sarnio.compress_csv(spellings(csv)[form], spellings(out)[form])
    with sarnio.open(spellings(out)[form]) as f:
        assert f.read() == {"id": ["1", "2"], "name": ["a", "b"]}
        assert f.path == str(out)
    dask = pytest.importorskip("dask")
    sarnio_dask = pytest.importorskip("sarnio.dask")

    with dask.config.set(scheduler="sync"):
        out2 = tmp_path / "dask.sarn"
        sarnio_dask.compress_csv(spellings(csv)[form], spellings(out2)[form])
        assert sarnio_dask.read_sarn(spellings(out2)[form]).compute()["name"].tolist() == ["a", "b"]


@pytest.mark.parametrize("bad, error", [(1, TypeError), (None, TypeError), ("a\0b.csv", ValueError),
                                        (b"a\0b", ValueError)])
def test_bad_paths_are_refused_alike(tmp_path, bad, error):
    good = tmp_path / "in.csv"
    good.write_bytes(CSV)
    with pytest.raises(error):
        sarnio.compress_csv(bad, tmp_path / "out.sarn")
    with pytest.raises(error):
        sarnio.compress_csv(good, bad)
    with pytest.raises(error):
        sarnio.open(bad)
    assert not (tmp_path / "out.sarn").exists()
