"""The native part of sarnio; use the functions of the sarnio package."""

from collections.abc import Callable, Sequence
import enum


def compress_csv(csv_path: bytes, sarn_path: bytes, threads: int | None, progress: Callable[[int, int], object] | None, choices: dict[str, object]) -> tuple[int, int, int, int, int, float]:
    """
    Compress the CSV file at csv_path (file-system bytes) into a container at sarn_path.

    threads=None uses every core the process may run on.  Returns (input_bytes, output_bytes,
    rows, columns, chunks, seconds).  Use sarnio.compress_csv instead.
    """

MAX_THREADS: int = 4096

MIN_LEVEL: int = 1

MAX_LEVEL: int = 9

def usable_cores() -> int:
    """The number of cores this process may run on (its CPU affinity)."""

class ColumnType(enum.Enum):
    """The column types of a container, by type code."""

    INT64 = 1

    FLOAT64 = 2

    BOOL = 3

    STRING = 4

    BINARY = 5

    OBJECT = 6

    LIST = 7

    MAP = 8

class CompareOp(enum.Enum):
    """The operators of a filter's predicates."""

    EQ = 0

    NE = 1

    LT = 2

    LE = 3

    GT = 4

    GE = 5

    IN = 6

    NOT_IN = 7

class _Table:
    def __init__(self, path: bytes, max_chunk_bytes: int) -> None: ...

    @property
    def max_chunk_bytes(self) -> int: ...

    def fingerprint(self) -> tuple[int, int, int, int]: ...

    def set_key(self, column: int, key: bytes) -> None: ...

    def columns(self) -> list[tuple[str, ColumnType, bool]]: ...

    @property
    def num_rows(self) -> int: ...

    @property
    def created_at(self) -> int: ...

    @property
    def chunk_size(self) -> int: ...

    def chunk_rows(self) -> list[int]: ...

    def statistics(self, column: int) -> list[tuple[int, int, int, bytes, bytes]]: ...

    def verify(self, max_chunk_bytes: int) -> None: ...

class _Plan:
    def __init__(self, table: _Table, columns: Sequence[int], filters: list[list[tuple[int, CompareOp, list[object]]]], as_json: bool, max_chunk_bytes: int) -> None: ...

    def chunks(self) -> list[int]: ...

    def restricted_to(self, chunks: Sequence[int]) -> _Plan: ...

    @property
    def chunks_skipped(self) -> int: ...

    def stream(self, threads: int) -> _Stream: ...

    def arrow_stream(self, threads: int, requested_schema: object | None) -> object: ...

    def raise_stream_failure(self) -> None: ...

class _Stream:
    def next(self) -> list[list[object]] | None: ...

    def stats(self) -> tuple[int, int, int, int]: ...

_CHECKPOINT_LINES: int = 4096

_CHUNK_ROWS: int = 65536

def _scan_csv_range(path: str, begin: int, end: int) -> dict:
    """
    Scans the lines of a CSV file that start in [begin, end): counts, checkpoints, and the first
    fault as (kind, line in the range from 1, offset) or None.
    """

def _raise_input_fault(path: str, fault: int, line: int, offset: int) -> None:
    """Raises the error of a scan's fault at line `line` of the whole file."""

def _check_header(names: Sequence[str] | None) -> None:
    """
    Raises the error of a header that is missing (an empty input) or too wide.
    """

def _encode_csv_chunks(csv_path: str, names: Sequence[str], start: int, skip: int, first_chunk: int, rows: int, spill_path: str, output: str, choices: dict[str, object]) -> tuple:
    """
    Encodes a run of chunks of a CSV file into a spill file: (chunks, rows).
    """

def _assemble_container(out_path: str, names: Sequence[str], spill_paths: Sequence[str], output: str, choices: dict[str, object]) -> tuple:
    """
    Writes a container from spill files in order: (rows, chunks, bytes, summary).
    """

def _prepare_output(csv_path: str, sarn_path: str, shown: str) -> tuple[str, str]:
    """
    Checks the output of a job and creates its temporary file beside it: (target, temporary).
    """

def _commit_output(temp: str, target: str, shown: str) -> None:
    """
    Renames the complete temporary file over the target and flushes the folder.
    """

def _discard_output(temp: str) -> None:
    """Removes a temporary file."""
