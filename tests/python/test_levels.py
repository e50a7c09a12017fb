"""Compression levels: every level's container is fixed by the input alone
(whatever the thread count, the engine or the Dask block size), reads back
the same rows as level 1's, and level 1 is the module's own container."""

import os
import pathlib
import subprocess
import sys

import pytest

import sarnio
from conftest import DATA

CREATED_AT = slice(24, 32)
SARN = pathlib.Path(os.environ.get("SARN_CLI") or pathlib.Path(sys.executable).with_name("sarn"))


def masked(path):
    data = bytearray(pathlib.Path(path).read_bytes())
    data[CREATED_AT] = bytes(8)
    return bytes(data)


def rows_of(path):
    with sarnio.open(path) as f:
        return f.read()


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """airports (text with many repeats) followed by a generated block of
    numbers: two chunks, so chunk order across threads matters."""
    path = tmp_path_factory.mktemp("levels") / "sample.csv"
    lines = (DATA / "airports.csv").read_text(encoding="utf-8").splitlines()
    header, body = lines[0], lines[1:]
    width = header.count(",") + 1
    extra = [",".join(str((i * 7919 + k) % 1000) for k in range(width)) for i in range(70000 - len(body))]
    path.write_text("\n".join([header, *body, *extra]) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("level", range(sarnio.MIN_LEVEL, sarnio.MAX_LEVEL + 1))
def test_a_level_fixes_the_bytes_whatever_the_threads(tmp_path, sample, level):
    outputs = []
    for threads in (1, 2, 4):
        out = tmp_path / f"t{threads}.sarn"
        sarnio.compress_csv(sample, out, threads=threads, level=level)
        outputs.append(masked(out))
    assert outputs[0] == outputs[1] == outputs[2]
    assert rows_of(tmp_path / "t1.sarn") == rows_of_level_one(tmp_path, sample)


def rows_of_level_one(tmp_path, sample):
    out = tmp_path / "level1.sarn"
    if not out.exists():
        sarnio.compress_csv(sample, out, threads=1)
    return rows_of(out)


def test_level_one_is_the_module_and_higher_levels_are_smaller(tmp_path, sample):
    import sarn_fileformat

    module = tmp_path / "module.sarn"
    sarn_fileformat.compress_csv(str(sample), str(module))
    sizes = {}
    for level in (1, 2, 5, 9):
        out = tmp_path / f"l{level}.sarn"
        # Read as the module reads it (airports has quoted fields).
        sarnio.compress_csv(sample, out, level=level, quote=None, extra_fields="drop")
        sizes[level] = out.stat().st_size
        if level == 1:
            assert masked(out) == masked(module)
    assert sizes[9] <= sizes[5] <= sizes[2] < sizes[1]
    with sarnio.open(tmp_path / "l9.sarn") as f:
        f.verify()


@pytest.mark.parametrize(
    "level, error",
    [(0, ValueError), (10, ValueError), (-1, ValueError), (True, TypeError), ("3", TypeError), (2.0, TypeError)],
)
def test_bad_levels_are_refused_before_anything_is_written(tmp_path, sample, level, error):
    out = tmp_path / "out.sarn"
    with pytest.raises(error, match="level"):
        sarnio.compress_csv(sample, out, level=level)
    assert not out.exists()


def test_the_command_takes_a_level(tmp_path, sample):
    reference = tmp_path / "sarnio.sarn"
    sarnio.compress_csv(sample, reference, level=6)
    out = tmp_path / "cli.sarn"
    done = subprocess.run([str(SARN), "compress", "--quiet", "--level", "6", str(sample), str(out)],
                          capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert masked(out) == masked(reference)
    for bad in ("0", "10", "x", "-3"):
        refused = subprocess.run([str(SARN), "compress", "--level", bad, str(sample), str(tmp_path / "no.sarn")],
                                 capture_output=True, timeout=60)
        assert refused.returncode == 2
        assert b"--level takes a whole number from 1 to 9" in refused.stderr
    assert not (tmp_path / "no.sarn").exists()


def test_dask_writes_the_same_container_at_every_block_size(tmp_path, sample):
    dask = pytest.importorskip("dask")
    import sarnio.dask

    reference = tmp_path / "one.sarn"
    sarnio.compress_csv(sample, reference, level=4)
    with dask.config.set(scheduler="threads"):
        for blocksize in (100_000, 1_000_000):
            out = tmp_path / f"dask{blocksize}.sarn"
            sarnio.dask.compress_csv(sample, out, blocksize=blocksize, level=4)
            assert masked(out) == masked(reference)
        out_dir = tmp_path / "many"
        out_dir.mkdir()
        (result,) = sarnio.dask.compress_many([sample], out_dir, level=4)
        assert masked(out_dir / "sample.sarn") == masked(reference)
        assert result.output_bytes == reference.stat().st_size
        with pytest.raises(ValueError, match="level"):
            sarnio.dask.compress_many([sample], out_dir, level=11)
