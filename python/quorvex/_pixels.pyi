import numpy as np
import numpy.typing as npt

# (name, bytes per two pixels (0: compressed), even width, even height), in the library's order.
PIXEL_FORMATS: tuple[tuple[str, int, bool, bool], ...]

def to_rgb(data: npt.NDArray[np.uint8], pixel_format: str, width: int, height: int) -> npt.NDArray[np.uint8]: ...
def to_bgr(data: npt.NDArray[np.uint8], pixel_format: str, width: int, height: int) -> npt.NDArray[np.uint8]: ...
