from typing import Callable, Optional, Tuple

def compress_csv(
    csv_path: bytes,
    sarn_path: bytes,
    threads: Optional[int],
    progress: Optional[Callable[[int, int], object]],
) -> Tuple[int, int, int, int, int, float]: ...
def usable_cores() -> int: ...
