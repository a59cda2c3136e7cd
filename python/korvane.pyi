"""Frame-exact stepping through a video, forwards and backwards, frames as NumPy arrays.

Every call that waits releases the GIL. Callbacks (on_position_changed, on_frame_cached,
on_error) run on a worker thread of the library with the GIL held; none runs once close() (or
leaving the `with` block) has returned.
"""

import os
from typing import Callable, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, "os.PathLike[str]"]

class Error(RuntimeError):
    """A failure the library reported."""

    hresult: int
    """The HRESULT as an unsigned 32-bit code, e.g. 0x80004005."""
    message: str
    """Names the call and the value it refused."""
    def __init__(self, hresult: int, message: str) -> None: ...

class Frame:
    """A decoded frame; it holds its own picture and stays valid after its video is closed."""

    @property
    def time(self) -> float:
        """The frame's start in seconds from the first frame."""
    @property
    def ticks(self) -> int:
        """The frame's start in 100 ns units."""
    @property
    def index(self) -> Optional[int]:
        """The frame's number at the video's nominal frame rate, or None when that is unknown."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def nv12(self) -> npt.NDArray[np.uint8]:
        """Tightly packed NV12 bytes, read-only, 1-D: width*height luma bytes, then
        (height+1)//2 rows of (width+1)//2 interleaved Cb, Cr pairs.

        A view of the frame's own copy of the picture (made on first use); np.array(frame.nv12)
        gives a writable copy."""
    def to_rgb(self) -> npt.NDArray[np.uint8]:
        """A new height x width x 3 RGB array (libswscale, BT.601 limited range), upright."""
    def save_jpeg(self, path: _Path, quality: float = 0.9) -> None:
        """Writes the frame as a JPEG through the library's encoder (quality 0.9 only)."""

class FrameIterator(Iterator[Frame]):
    def __iter__(self) -> "FrameIterator": ...
    def __next__(self) -> Frame: ...

class Video:
    """An open video, stepped through frame by frame.

    Raises FileNotFoundError / IsADirectoryError for the path, Error for a file that is not a
    video, PermissionError (or another OSError) for a cache folder that cannot be written,
    ValueError for a divisor below 1. Calls that need the first pass wait for it.
    """

    def __init__(self, path: _Path, cache_dir: Optional[_Path] = None, divisor: int = 1) -> None: ...
    def close(self) -> None:
        """No callback runs once this has returned, and the callbacks are dropped (close a video
        whose callbacks refer to it: the collector cannot break that cycle)."""
    def __enter__(self) -> "Video": ...
    def __exit__(self, *args: object) -> bool: ...
    @property
    def closed(self) -> bool: ...
    def wait_initialized(
        self, timeout: Optional[float] = None, progress: Optional[Callable[[float], None]] = None
    ) -> bool:
        """True once the first pass has ended; False when `timeout` seconds passed first.
        `progress(fraction)` is called on the calling thread."""
    @property
    def duration(self) -> float:
        """The start of the last frame in seconds."""
    @property
    def duration_ticks(self) -> int: ...
    @property
    def size(self) -> Tuple[int, int]:
        """(width, height) in display orientation."""
    @property
    def rotation(self) -> int:
        """The rotation the file asks for in degrees; frames come already turned by it."""
    @property
    def frame_rate(self) -> Optional[float]: ...
    @property
    def position(self) -> Optional[float]:
        """The start of the frame shown now in seconds, or None before any."""
    @property
    def frame(self) -> Frame:
        """The frame shown now."""
    def seek(self, seconds: float) -> Frame:
        """Shows the frame containing `seconds` and returns it; ValueError outside the video."""
    def at(self, seconds: float) -> Frame:
        """The frame containing `seconds` (the video moves there)."""
    def next(self) -> Optional[Frame]:
        """One frame on; None at the last frame."""
    def previous(self) -> Optional[Frame]:
        """One frame back; None at the first frame."""
    def frames(
        self, start: Optional[float] = None, stop: Optional[float] = None, backwards: bool = False
    ) -> FrameIterator:
        """The frames whose time spans meet [start, stop) seconds, in order or backwards."""
    def __iter__(self) -> FrameIterator: ...
    def __reversed__(self) -> FrameIterator: ...
    def __len__(self) -> int:
        """The number of frames at the nominal frame rate."""
    def __getitem__(self, index: int) -> Frame:
        """Frame `index` (negative: from the end); IndexError outside the video."""
    on_position_changed: Optional[Callable[[float], None]]
    """Called with the start (seconds) of each newly shown frame."""
    on_frame_cached: Optional[Callable[[float], None]]
    """Called with the start (seconds) of each frame decoded and cached."""
    on_error: Optional[Callable[[int], None]]
    """Called with the decoder's error code (1: the media reader failed)."""
    @property
    def path(self) -> "os.PathLike[str]": ...
    @property
    def cache_folder(self) -> "os.PathLike[str]": ...

def _live_objects() -> int:
    """The module's objects alive now (videos, frames, iterators)."""
