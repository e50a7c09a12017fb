import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
# The real CSV files the tests read, kept in the repository (see its README).
DATA = REPO / "tests" / "data"


@pytest.fixture(scope="session")
def sarn():
    import sarn_fileformat

    return sarn_fileformat
