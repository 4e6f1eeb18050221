"""Quarnel doc"""

# Types of the _quarnel extension module, for type checkers and editors; the
# docstrings are the module's own.
#
# Integer lists (shapes, dims) take any iterable of integers: lists, tuples,
# ranges, sets, generators, dict views, map objects. Elements are typed
# SupportsIndex, which lets int, bool and other integer types through and
# stops floats, which the module refuses at run time. What this cannot state:
# bytes and dicts are refused at run time although they iterate over ints,
# and an object offering only __int__ is accepted at run time but not by the
# checker.

from collections.abc import Iterable
from typing import ClassVar, Final, SupportsIndex

__version__: Final[str]

# Not Python enums: no ordering, no arithmetic, not ints, and equal only to
# instances of their own type. Any value of the underlying C++ type can be
# held, also one that names no member (its repr then raises ValueError).
class Dtype:
    """Members:

  FLOAT32

  INT32

  FLOAT64

  INT64"""

    FLOAT32: ClassVar[Dtype]  # value 0, repr quarnel.fp32
    INT32: ClassVar[Dtype]  # value 1, repr quarnel.i32
    FLOAT64: ClassVar[Dtype]  # value 2, repr quarnel.f64
    INT64: ClassVar[Dtype]  # value 3, repr quarnel.i64
    __members__: ClassVar[dict[str, Dtype]]

    def __init__(self, value: SupportsIndex) -> None: ...  # 0 to 255, else TypeError
    @property
    def value(self) -> int: ...
    @property
    def name(self) -> str: ...  # "???" for a value that names no member
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...  # "Dtype.FLOAT32"
    def __repr__(self) -> str: ...  # "quarnel.fp32"
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: SupportsIndex, /) -> None: ...

class Device:
    """Members:

  CPU

  CUDA

  HIP"""

    CPU: ClassVar[Device]  # value 0, repr quarnel.cpu
    CUDA: ClassVar[Device]  # value 1, repr quarnel.cuda; no memory on it can be allocated
    HIP: ClassVar[Device]  # value 2, repr quarnel.hip; no memory on it can be allocated
    __members__: ClassVar[dict[str, Device]]

    def __init__(self, value: SupportsIndex) -> None: ...  # -2**31 to 2**31 - 1, else TypeError
    @property
    def value(self) -> int: ...
    @property
    def name(self) -> str: ...  # "???" for a value that names no member
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...  # "Device.CPU"
    def __repr__(self) -> str: ...  # "quarnel.cpu"
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: SupportsIndex, /) -> None: ...

# The members themselves: FLOAT32 is Dtype.FLOAT32.
FLOAT32: Final[Dtype]
INT32: Final[Dtype]
FLOAT64: Final[Dtype]
INT64: Final[Dtype]
CPU: Final[Device]
CUDA: Final[Device]
HIP: Final[Device]

# Equal to the members, but other objects: float32 == FLOAT32, float32 is not FLOAT32.
float32: Final[Dtype]
int32: Final[Dtype]
float64: Final[Dtype]
int64: Final[Dtype]
cpu: Final[Device]

# Equality and hashing are by identity. No __len__, indexing, __radd__,
# in-place add, buffer protocol or pickling.
class Tensor:
    def __init__(
        self,
        shape: Iterable[SupportsIndex],
        dtype: Dtype = Dtype.FLOAT32,
        device: Device = Device.CPU,
    ) -> None:
        """An empty (uninitialized) tensor."""

    @staticmethod
    def zeros(
        shape: Iterable[SupportsIndex],
        dtype: Dtype = Dtype.FLOAT32,
        device: Device = Device.CPU,
    ) -> Tensor: ...
    @staticmethod
    def ones(
        shape: Iterable[SupportsIndex],
        dtype: Dtype = Dtype.FLOAT32,
        device: Device = Device.CPU,
    ) -> Tensor: ...
    @property
    def shape(self) -> list[int]: ...  # a new list at every access
    @property
    def strides(self) -> list[int]: ...  # in elements, not bytes
    @property
    def dtype(self) -> Dtype: ...
    @property
    def device(self) -> Device: ...
    @property
    def offset(self) -> int: ...  # in elements
    def numel(self) -> int: ...
    def nbytes(self) -> int: ...  # of the whole storage, shared with every view
    def allocated(self) -> bool:
        """True if the tensor has backing storage allocated."""

    def is_contiguous(self) -> bool: ...
    def contiguous(self) -> Tensor:
        """Copy to a contiguous tensor if needed, else return self."""

    def view(self, dims: Iterable[SupportsIndex]) -> Tensor:
        """Zero-copy reshape; requires a contiguous tensor. One dim may be -1."""

    def reshape(self, dims: Iterable[SupportsIndex]) -> Tensor:
        """View when contiguous, copying otherwise. One dim may be -1."""

    # Any other operand makes it return NotImplemented, so `t + 1` raises TypeError.
    def __add__(self, other: Tensor, /) -> Tensor:
        """Lazy elementwise add"""

    def __repr__(self) -> str: ...

def execute(output: Tensor) -> None:
    """Materialize tensors in the graph"""
