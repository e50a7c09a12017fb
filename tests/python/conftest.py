import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DATA = REPO.parent / "shared" / "data"


@pytest.fixture(scope="session")
def sarn():
    import sarn_fileformat

    return sarn_fileformat
