"""Object arrays of strings, as ``np.save`` pickles them, read without running the pickle's code.

A transcript file may hold an object array, which NumPy stores as a pickle; unpickling
an untrusted pickle can run any code. ``load_string_array`` reads one with an unpickler
that knows only the few names such a pickle uses, as stand-ins that record their calls,
and accepts the result only if it is a 0-d or 1-d array of strings.
"""
import io
import math
import os
import pickle
import re
from typing import List


def load_string_array(payload: bytes, path) -> List[str]:
    """The strings of the pickled object array ``payload`` (the body of the .npy file
    ``path``), or ``ValueError`` naming the file."""
    return _StringArrayUnpickler(payload, path).load_strings()


class _Rebuilt:
    """A NumPy object as a transcript's pickle rebuilds it here: the kind of
    call that made it, that call's arguments, and the state BUILD gave it."""

    def __init__(self, kind: str, args: tuple):
        self.kind, self.args, self.state = kind, args, None

    def __setstate__(self, state):
        self.state = state


# Where NumPy 2 and NumPy 1 pickle the array reconstructor and scalars from.
_MULTIARRAY = ("numpy._core.multiarray", "numpy.core.multiarray")


class _StringArrayUnpickler(pickle.Unpickler):
    """Unpickles an object array of strings, as np.save writes one, into a list of str.

    The names such a pickle uses (the array, its reconstructor, the dtype,
    str scalars) resolve to stand-ins made anew for each load, which only
    record what they are called with; the result is checked once the pickle
    is read. Any other name is refused, and no NumPy object is ever built.
    """

    def __init__(self, payload: bytes, path):
        super().__init__(io.BytesIO(payload))
        self.path = path

        def ndarray(*args):  # only named, as the class that _reconstruct rebuilds
            raise pickle.UnpicklingError("an array may only be rebuilt the way np.save writes it")

        self.ndarray = ndarray
        self.names = {("numpy", "ndarray"): self.ndarray,
                      ("numpy", "dtype"): lambda *args: _Rebuilt("dtype", args)}
        for module in _MULTIARRAY:
            self.names[(module, "_reconstruct")] = lambda *args: _Rebuilt("array", args)
            self.names[(module, "scalar")] = lambda *args: _Rebuilt("scalar", args)

    def find_class(self, module, name):
        try:
            return self.names[(module, name)]
        except KeyError:
            raise pickle.UnpicklingError(f"{module}.{name} is not allowed in a transcript") from None

    def load_strings(self) -> List[str]:
        """The items of the pickled array, or ValueError naming the file."""
        try:
            return self._strings(self.load())
        except Exception as err:
            raise ValueError(f"{os.fsdecode(self.path)}: object array refused: {err}") from None

    def _strings(self, array) -> List[str]:
        # _reconstruct(ndarray, (0,), b"b") (a str "b" in Python 2 pickles), then
        # BUILD with (version, shape, dtype, is_fortran, items).
        made = type(array) is _Rebuilt and array.kind == "array" and array.args in (
            (self.ndarray, (0,), b"b"), (self.ndarray, (0,), "b"))
        state = array.state if made else None
        if not (type(state) is tuple and len(state) == 5):
            raise pickle.UnpicklingError("not a 0-d or 1-d array of objects")
        _, shape, dtype, _, items = state
        if not (type(shape) is tuple and len(shape) <= 1 and all(type(n) is int for n in shape)
                and _dtype_code(dtype) == "O8" and type(items) is list and len(items) == math.prod(shape)):
            raise pickle.UnpicklingError("not a 0-d or 1-d array of objects")
        return [_item_string(item) for item in items]


def _dtype_code(dtype):
    """What a rebuilt dtype was made from ("O8", "U3", ...), or None."""
    if type(dtype) is _Rebuilt and dtype.kind == "dtype" and dtype.args and type(dtype.args[0]) is str:
        return dtype.args[0]
    return None


def _item_string(item) -> str:
    """An item of the array: a str, or an np.str_ scalar, given as its UTF-32 code units."""
    if type(item) is str:
        return item
    if type(item) is not _Rebuilt or item.kind != "scalar":
        name = f"a NumPy {item.kind}" if type(item) is _Rebuilt else type(item).__name__
        raise pickle.UnpicklingError(f"it holds {name}, only str is accepted")
    dtype, data = item.args if len(item.args) == 2 else (None, None)
    code = _dtype_code(dtype)
    if not (code and re.fullmatch("U[0-9]{1,9}", code) and type(data) is bytes and len(data) == 4 * int(code[1:])):
        raise pickle.UnpicklingError(f"it holds a NumPy scalar of dtype {code!r}, only str is accepted")
    byteorder = dtype.state[1] if type(dtype.state) is tuple and len(dtype.state) > 1 else "<"
    # A str scalar is its code units without the trailing NULs, surrogates included.
    return data.decode("utf-32-be" if byteorder == ">" else "utf-32-le", "surrogatepass").rstrip("\0")
