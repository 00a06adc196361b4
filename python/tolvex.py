"""A small ctypes binding of libtolvex: load a model and run it on numpy arrays.

    import tolvex
    with tolvex.Model.load("policy.tvxf") as m:
        y = m.run(np.array([0.1, 0.0, -0.2, 0.0], np.float32))
        ys = m.run(states)  # a 2-D array: one row per input, one batched call

Models load from a file (Model.load) or from bytes in memory
(Model.from_bytes).

The shared library is found through the TOLVEX_LIBRARY environment variable
(the path of libtolvex.so), then in the build/ directory of the source tree
this file belongs to, then in the library directory of the prefix this file
is installed under (PREFIX/share/tolvex/python), then by the system's library
search.
"""

import ctypes
import ctypes.util
import os
import sysconfig

import numpy as np

__all__ = ["Model", "TolvexError", "RESULT_NAMES", "library"]

# The names of the result codes, indexed by code; the numbers never move.
RESULT_NAMES = (
    "Success", "UnsupportedLayerType", "MalformedPolicyDefinition",
    "WeightsBiasesMismatch", "WrongNumberOfWeights", "WrongLayerSize",
    "HeaderMismatch", "MemoryLeak", "FileNotFound", "OutOfMemory",
    "PathAlreadyExists", "AccessDenied", "PipeBusy", "NoDevice",
    "NameTooLong", "BadPathName", "Unexpected", "NetworkNotFound",
    "AntivirusInterference", "SymLinkLoop", "ProcessFdQuotaExceeded",
    "SystemFdQuotaExceeded", "SystemResources", "FileTooBig", "IsDir",
    "NoSpaceLeft", "NotDir", "DeviceBusy", "FileLocksUnsupported",
    "FileBusy", "WouldBlock", "Overflow", "InvalidCharacter",
    "UnexpectedToken", "InvalidNumber", "InvalidEnumTag", "DuplicateField",
    "UnknownField", "MissingField", "LengthMismatch", "SyntaxError",
    "UnexpectedEndOfInput", "ValueTooLong", "ReadFailed", "EndOfStream",
    "PermissionDenied", "WriteFailed", "Canceled", "ReadOnlyFileSystem")


class TolvexError(Exception):
    """A call into the library failed; `code` and `name` say how."""

    def __init__(self, code, what, path=None):
        self.code = code
        self.name = RESULT_NAMES[code] if code < len(RESULT_NAMES) else "unknown"
        self.path = path
        super().__init__("%s: %s%s" % (what, self.name, " (%s)" % path if path else ""))


_lib = None


def _find_library():
    env = os.environ.get("TOLVEX_LIBRARY")
    if env:
        return env
    here = os.path.dirname(os.path.abspath(__file__))
    candidate = os.path.join(os.path.dirname(here), "build", "libtolvex.so")
    if os.path.exists(candidate):
        return candidate
    prefix = os.path.normpath(os.path.join(here, "..", "..", ".."))
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    for libdir in ("lib", "lib64", os.path.join("lib", multiarch)):
        candidate = os.path.join(prefix, libdir, "libtolvex.so")
        if os.path.exists(candidate):
            return candidate
    found = ctypes.util.find_library("tolvex")
    if found:
        return found
    raise OSError("libtolvex.so not found: set TOLVEX_LIBRARY to its path")


def library():
    """The loaded shared library, set up and initialised on first use."""
    global _lib
    if _lib is not None:
        return _lib
    lib = ctypes.CDLL(_find_library())
    handle = ctypes.c_void_p
    lib.tolvex_init.restype = None
    lib.tolvex_init.argtypes = []
    for fn in (lib.tolvex_load_json, lib.tolvex_load_tvxf):
        fn.restype = ctypes.c_uint32
        fn.argtypes = [ctypes.POINTER(handle), ctypes.c_char_p]
    for fn in (lib.tolvex_write_json, lib.tolvex_write_tvxf):
        fn.restype = ctypes.c_uint32
        fn.argtypes = [handle, ctypes.c_char_p]
    lib.tolvex_free_model.restype = None
    lib.tolvex_free_model.argtypes = [handle]
    lib.tolvex_forward_pass.restype = None
    lib.tolvex_forward_pass.argtypes = [handle, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32]
    lib.tolvex_get_output_buffer.restype = ctypes.POINTER(ctypes.c_float)
    lib.tolvex_get_output_buffer.argtypes = [handle]
    lib.tolvex_get_output_len.restype = ctypes.c_uint32
    lib.tolvex_get_output_len.argtypes = [handle]
    lib.tolvex_print_layers.restype = None
    lib.tolvex_print_layers.argtypes = [handle]
    lib.tolvex_get_input_len.restype = ctypes.c_uint32
    lib.tolvex_get_input_len.argtypes = [handle]
    for fn in (lib.tolvex_load_json_memory, lib.tolvex_load_tvxf_memory):
        fn.restype = ctypes.c_uint32
        fn.argtypes = [ctypes.POINTER(handle), ctypes.c_void_p, ctypes.c_size_t]
    lib.tolvex_forward_batch.restype = None
    lib.tolvex_forward_batch.argtypes = [handle, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32,
                                         ctypes.c_uint32, ctypes.POINTER(ctypes.c_float)]
    lib.tolvex_init()
    _lib = lib
    return lib


def _c_path(path):
    """The path as the library takes it, from a str, bytes or os.PathLike as
    open() accepts them. A NUL byte would end the C string early, so that
    "victim.txt\\0.json" named victim.txt: like open(), it is refused with
    ValueError before the library sees the path."""
    p = os.fsencode(path)
    if b"\0" in p:
        raise ValueError("embedded null byte")
    return p


def _format_of(path):
    """The format that a path from _c_path names: "json" or "tvxf"."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in (b".json", b".tvxf"):
        raise ValueError("%s: unknown model file extension, use .json or .tvxf" % os.fsdecode(path))
    return ext[1:].decode()


class Model:
    """A loaded model. Not for concurrent use from several threads."""

    def __init__(self, handle):
        self._h = handle

    @classmethod
    def load(cls, path):
        """Loads a .json or .tvxf model file (a str, bytes or os.PathLike
        path); raises TolvexError on failure."""
        p = _c_path(path)
        lib = library()
        fn = lib.tolvex_load_json if _format_of(p) == "json" else lib.tolvex_load_tvxf
        h = ctypes.c_void_p()
        rc = fn(ctypes.byref(h), p)
        if rc != 0:
            raise TolvexError(rc, "load", os.fsdecode(p))  # the handle is unusable after a failure
        return cls(h)

    @classmethod
    def from_bytes(cls, data, format=None):
        """Loads a model from the bytes of a model file held in memory (bytes,
        bytearray, memoryview or any buffer): format "tvxf" or "json", or by
        default tvxf when the bytes start with b"tvxf", else JSON. The library
        copies what it needs; raises TolvexError on failure."""
        view = memoryview(data).cast("B")
        if format is None:
            format = "tvxf" if view[:4].tobytes() == b"tvxf" else "json"
        if format not in ("json", "tvxf"):
            raise ValueError("format %r: use \"json\" or \"tvxf\"" % (format,))
        lib = library()
        fn = lib.tolvex_load_json_memory if format == "json" else lib.tolvex_load_tvxf_memory
        buf = np.frombuffer(view, dtype=np.uint8)  # no copy; any buffer, read-only included
        h = ctypes.c_void_p()
        rc = fn(ctypes.byref(h), buf.ctypes.data if len(buf) else None, len(buf))
        if rc != 0:
            raise TolvexError(rc, "load from memory")  # the handle is unusable after a failure
        return cls(h)

    def write(self, path):
        """Writes the model; the extension (.json or .tvxf) picks the format.
        The library replaces an existing file in one step."""
        p = _c_path(path)
        lib = library()
        fn = lib.tolvex_write_json if _format_of(p) == "json" else lib.tolvex_write_tvxf
        rc = fn(self._handle(), p)
        if rc != 0:
            raise TolvexError(rc, "write", os.fsdecode(p))

    @property
    def input_size(self):
        """The length of every input vector."""
        return library().tolvex_get_input_len(self._handle())

    @property
    def output_size(self):
        """The length of every output vector."""
        return library().tolvex_get_output_len(self._handle())

    def run(self, x):
        """One forward pass on a vector of input_size values; or, for a 2-D
        array of shape (n, input_size), one batched call over its n rows,
        giving shape (n, output_size). Returns new float32 arrays; every row of
        a batch has exactly the bits a pass on that row alone gives."""
        x = np.ascontiguousarray(x, dtype=np.float32)
        n_in = self.input_size
        if x.ndim not in (1, 2) or x.shape[-1] != n_in:
            raise ValueError("input of shape %s; the model takes a vector of %d, or an array of shape (n, %d)"
                             % (x.shape, n_in, n_in))
        lib = library()
        h = self._handle()
        f32p = ctypes.POINTER(ctypes.c_float)
        if x.ndim == 2:
            count = x.shape[0]
            if count > 0xFFFFFFFF:
                raise ValueError("more than 2**32 - 1 rows")
            y = np.empty((count, self.output_size), np.float32)
            if count:
                lib.tolvex_forward_batch(h, x.ctypes.data_as(f32p), n_in, count, y.ctypes.data_as(f32p))
            return y
        lib.tolvex_forward_pass(h, x.ctypes.data_as(f32p), n_in)
        n = lib.tolvex_get_output_len(h)
        if n == 0:
            return np.zeros(0, np.float32)
        return np.ctypeslib.as_array(lib.tolvex_get_output_buffer(h), shape=(n,)).copy()

    def print_layers(self):
        """The library's layer listing, on standard error."""
        library().tolvex_print_layers(self._handle())

    def close(self):
        if self._h is not None:
            library().tolvex_free_model(self._h)
            self._h = None

    def _handle(self):
        if self._h is None:
            raise ValueError("the model is closed")
        return self._h

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if _lib is not None and getattr(self, "_h", None) is not None:
            self.close()
