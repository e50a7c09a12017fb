# The native part of sarnio.  nanobind functions are not Python functions,
# so each is typed as a callable object: stubtest then checks that every
# name exists at runtime, and the test suite compares the parameters with
# the signatures nanobind reports.
from typing import Callable, Dict, Optional, Protocol, Tuple

class _CompressCsv(Protocol):
    def __call__(
        self,
        csv_path: bytes,
        sarn_path: bytes,
        threads: Optional[int],
        progress: Optional[Callable[[int, int], object]],
        choices: Dict[str, object],
    ) -> Tuple[int, int, int, int, int, float]: ...

class _UsableCores(Protocol):
    def __call__(self) -> int: ...

MAX_THREADS: int
MIN_LEVEL: int
MAX_LEVEL: int
compress_csv: _CompressCsv
usable_cores: _UsableCores
