"""The information calls: file size from the file system, fixed figures,
exact error prefixes and OSError carrying only its message."""

import os

import pytest

import sarn_fileformat as sarn


@pytest.fixture
def files(tmp_path):
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    text = tmp_path / "text.txt"
    text.write_bytes(b"a" * 1234)
    return {"empty": str(empty), "text": str(text), "missing": str(tmp_path / "nope.sarn"), "dir": str(tmp_path)}


def test_results_follow_the_file_system(files):
    assert sarn.get_sarn_info(files["empty"]) == (0, "1.1.2", 0)
    assert sarn.get_sarn_info(files["text"]) == (1234, "1.1.2", 0)
    assert sarn.PySarnWriter(files["text"]).get_info() == (1234, "1.1.2", 0)
    assert sarn.PySarnReader(files["text"]).read_file() == (1234, "1.1.2")
    stats = sarn.PySarnReader(files["empty"]).get_compression_stats()
    assert stats == (64.8, "SARN v1.1.2")
    assert [type(x) for x in stats] == [float, str]
    info = sarn.get_sarn_info(files["text"])
    assert [type(x) for x in info] == [int, str, int]


def test_each_call_reads_the_file_anew(files):
    reader = sarn.PySarnReader(files["text"])
    assert reader.read_file()[0] == 1234
    with open(files["text"], "ab") as f:
        f.write(b"more")
    assert reader.read_file()[0] == 1238
    os.remove(files["text"])
    with pytest.raises(OSError):
        reader.read_file()


@pytest.mark.parametrize(
    "call,prefix",
    [
        (lambda p: sarn.PySarnReader(p).read_file(), "Failed to open file: "),
        (lambda p: sarn.PySarnReader(p).get_compression_stats(), "Failed to open file: "),
        (lambda p: sarn.PySarnWriter(p).get_info(), "Failed to open SARN file: "),
        (lambda p: sarn.get_sarn_info(p), "Failed to open SARN file: "),
    ],
)
def test_missing_file_raises_oserror_with_the_message_alone(files, call, prefix):
    with pytest.raises(OSError) as info:
        call(files["missing"])
    err = info.value
    assert type(err) is OSError
    assert err.args == (prefix + "No such file or directory (os error 2)",)
    assert err.errno is None and err.strerror is None and err.filename is None


def test_constructors_never_touch_the_file_system(files):
    # Construction succeeds whatever the path names; only the calls fail.
    for path in (files["missing"], "", "\x00bad"):
        sarn.PySarnReader(path)
        sarn.PySarnWriter(path)


def test_path_with_nul_byte_is_refused_not_truncated(files):
    # "<file>\0suffix" must not silently read <file>.
    with pytest.raises(OSError) as info:
        sarn.get_sarn_info(files["text"] + "\x00suffix")
    assert info.value.args == ("Failed to open SARN file: file name contained an unexpected NUL byte",)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(files):
    os.chmod(files["text"], 0)
    with pytest.raises(OSError) as info:
        sarn.get_sarn_info(files["text"])
    assert info.value.args[0].startswith("Failed to open SARN file: Permission denied")


def test_directory_reports_its_own_size(files):
    # Opening a directory for reading works on Linux; its length is whatever
    # the file system reports, the same as os.stat.
    assert sarn.get_sarn_info(files["dir"])[0] == os.stat(files["dir"]).st_size
