"""The native part of sarnio; use the functions of the sarnio package."""

from collections.abc import Callable, Sequence
import enum


def compress_csv(csv_path: bytes, sarn_path: bytes, threads: int | None, progress: Callable[[int, int], object] | None, choices: dict[str, object]) -> tuple[int, int, int, int, int, float]:
    """
    Compress the CSV file at csv_path (file-system bytes) into a container at sarn_path.

    threads=None uses every core the process may run on.  Returns (input_bytes, output_bytes,
    rows, columns, chunks, seconds).  Use sarnio.compress_csv instead.
    """

def _check_choices(choices: dict) -> None:
    """
    Raises the error of write choices that cannot be used (see sarnio._compress.write_choices).
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

    @staticmethod
    def remote(name: str, size: int, fetcher: object, requests: int, max_chunk_bytes: int) -> _Table: ...

    def fetched(self) -> tuple[int, int]: ...

    @property
    def remote_source(self) -> bool: ...

    def block_sizes(self) -> list[list[int]]: ...

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

    def chunk_bytes(self) -> list[int]: ...

    def restricted_to(self, chunks: Sequence[int]) -> _Plan: ...

    @property
    def chunks_skipped(self) -> int: ...

    def stream(self, threads: int) -> _Stream: ...

    def arrow_stream(self, threads: int, requested_schema: object | None) -> object: ...

    def raise_stream_failure(self) -> None: ...

class _Stream:
    def next(self) -> list[list[object]] | None: ...

    def stats(self) -> tuple[int, int, int, int]: ...

_CHUNK_ROWS: int = 65536

def _read_csv_header(path: str | bytes, shown: str | bytes, choices: dict[str, object]) -> tuple:
    """
    The header of a CSV file, messages naming it `shown`: (names, offset of the data, lines of the header).
    """

def _column_types(choices: dict[str, object], names: Sequence[str]) -> object:
    """The type code of each column, or None when the scans infer them."""

def _scan_csv_range(path: str | bytes, begin: int, end: int, choices: dict[str, object], columns: int, types: Sequence[int] | None, first: bool) -> bytes:
    """
    Scans the lines of a CSV file that start in [begin, end) from both start states (bytes).
    """

def _plan_csv_job(path: str | bytes, scans: Sequence[bytes], names: Sequence[str], header_lines: int, types: Sequence[int] | None, runs_wanted: int) -> dict:
    """
    Puts the scans together: raises the first fault of the file, or gives {records, types, runs}.
    """

def _encode_csv_chunks(csv_path: str | bytes, names: Sequence[str], types: Sequence[int], run: tuple[int, int, int, int, int], input_size: int, spill_path: str | bytes, output: str | bytes, choices: dict[str, object]) -> tuple:
    """
    Encodes a run of chunks of a CSV file of input_size bytes into a spill file: (chunks, rows).
    """

def _assemble_container(target: str | bytes, marker: str | bytes, names: Sequence[str], types: Sequence[int], spill_paths: Sequence[str | bytes], output: str | bytes, choices: dict[str, object]) -> tuple:
    """
    Writes a container from spill files in order and renames it over the target: (rows, chunks, bytes, summary).
    """

class _JobOutput:
    """The output of a job: its target, and its marker held until close()."""

    @property
    def target(self) -> str:
        """The output path with its links followed."""

    @property
    def marker(self) -> str:
        """The job's marker file, after which its other files are named."""

    def close(self) -> None:
        """Removes the marker."""

def _prepare_output(csv_path: str | bytes, sarn_path: str | bytes, shown: str | bytes) -> _JobOutput:
    """
    Checks the output of a job, removes what killed runs left beside it and creates the job's marker.
    """
