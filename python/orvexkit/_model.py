"""Models: loaded and meshed once, then looked at and clashed any number of times."""

import json
import os
from typing import Any, Iterable, Iterator, NamedTuple

import numpy as np

from orvexkit import _native
from orvexkit._threads import resolve_threads

# A str this long or with a tab or a line feed is model text, never a file name.
_PATH_LIKE_LENGTH = 4096


class Diagnostic(NamedTuple):
    """One condition that loading or meshing reported and went on from: what
    orvex.clash_detection prints on standard output, as data.

    kind: a stable lower-case name ("missing_object", "no_faces", "mesh_rejected", ...).
    key: the key of the displayed object being loaded or meshed.
    text: the exact line clash_detection prints, without the line feed.
    """

    kind: str
    key: str
    text: str


def _array(buffer: Any) -> np.ndarray:
    """A read-only numpy view of a native array (no copy)."""
    array: np.ndarray = np.asarray(buffer)
    return array


class Model:
    """A building model loaded and meshed once, then clashed any number of times.

    source:
        str: the model text itself (lines "key<TAB>json").
        bytes, bytearray, memoryview or any buffer: the text's UTF-8 bytes.
        os.PathLike (pathlib.Path): a file, read by the engine itself (memory-mapped
        where possible, never copied into a Python str). Model.from_file also takes
        a str path.
    threads:
        Threads for loading and meshing; None uses the cores this process may run on,
        capped by the environment variable ORVEX_NUM_THREADS. The model is the same
        for every count.
    name:
        A label for reports; defaults to the file name for a file, else None.

    Raises OSError (FileNotFoundError, IsADirectoryError, PermissionError, ...)
    naming the path when a file cannot be read, ValueError when bytes or a file are
    not UTF-8 (with the offset of the first bad byte) or the data breaks a rule that
    abandons the load (a face of fewer than 3 corners). No partial model is ever
    returned. Nothing is printed: the loader's messages are in `diagnostics`.

    A model holds every displayed object that has a usable mesh, in text order. Look
    objects up by position or key (model[0], model["key"], "key" in model); each is
    an ObjectView with its key, type, metadata and mesh as read-only numpy arrays
    that view the model's own memory. The model is immutable, and any number of
    threads may clash it at once.
    """

    __slots__ = ("_handle", "_diagnostics", "_name", "_path", "_keys", "_types", "_bounds",
                 "_object_bounds", "_closed", "__weakref__")
    _handle: _native.ModelHandle
    _diagnostics: tuple[Diagnostic, ...]
    _name: str | None
    _path: str | None
    _keys: tuple[str, ...] | None
    _types: tuple[str, ...] | None
    _bounds: np.ndarray | None
    _object_bounds: np.ndarray | None
    _closed: np.ndarray | None

    def __init__(self, source: str | bytes | bytearray | memoryview | os.PathLike[str], *,
                 threads: int | None = None, name: str | None = None) -> None:
        if isinstance(source, os.PathLike):
            self._load_file(source, threads, name)
            return
        if isinstance(source, str):
            if (len(source) < _PATH_LIKE_LENGTH and "\t" not in source and "\n" not in source
                    and source and os.path.exists(source)):
                raise ValueError(f"a str is model text, and {source!r} names an existing path: "
                                 "pass pathlib.Path(...) or use Model.from_file(...) to read a file")
        else:
            try:
                memoryview(source).release()
            except TypeError:
                raise TypeError("Model() takes model text (str or a bytes-like object) or a path "
                                f"(os.PathLike), not {type(source).__name__}") from None
        self._set(*_native.load_text(source, resolve_threads(threads)), name=name, path=None)

    @classmethod
    def from_file(cls, path: str | bytes | os.PathLike[str], *, threads: int | None = None,
                  name: str | None = None) -> "Model":
        """The model in the file at `path` (str, bytes or os.PathLike), read by the
        engine itself; see Model for the other arguments and the errors."""
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"path must be str, bytes or os.PathLike, not {type(path).__name__}")
        model = cls.__new__(cls)
        model._load_file(path, threads, name)
        return model

    def _load_file(self, path: str | bytes | os.PathLike[str], threads: int | None,
                   name: str | None) -> None:
        shown = os.fsdecode(os.fspath(path))
        loaded = _native.load_file(path, resolve_threads(threads))
        self._set(*loaded, name=os.path.basename(shown) if name is None else name, path=shown)

    def _set(self, handle: _native.ModelHandle, diagnostics: Iterable[tuple[str, str, str]], *,
             name: str | None, path: str | None) -> None:
        self._handle = handle
        self._diagnostics = tuple(map(Diagnostic._make, diagnostics))
        self._name = name
        self._path = path
        self._keys = None
        self._types = None
        self._bounds = None
        self._object_bounds = None
        self._closed = None

    # --- the model as a whole --------------------------------------------------------

    @property
    def name(self) -> str | None:
        """The label given at loading, the file name for a file, else None."""
        return self._name

    @property
    def path(self) -> str | None:
        """The file the model was read from, or None."""
        return self._path

    @property
    def diagnostics(self) -> list[Diagnostic]:
        """What loading and meshing reported, in the order clash_detection prints it
        (all of loading, then all of meshing)."""
        return list(self._diagnostics)

    def _key_tuple(self) -> tuple[str, ...]:
        if self._keys is None:
            self._keys = tuple(self._handle.keys())
        return self._keys

    def _type_tuple(self) -> tuple[str, ...]:
        if self._types is None:
            self._types = tuple(self._handle.types())
        return self._types

    @property
    def keys(self) -> list[str]:
        """Every object's key, in model order."""
        return list(self._key_tuple())

    @property
    def types(self) -> list[str]:
        """Every object's "speckle_type" ("" when its line has none), in model order."""
        return list(self._type_tuple())

    @property
    def bounds(self) -> np.ndarray:
        """Box around every object's finite triangles: (2, 3) float32, rows lo and hi.
        Empty (lo > hi, infinite) for a model without any."""
        if self._bounds is None:
            self._bounds = _array(self._handle.bounds())
        return self._bounds

    @property
    def object_bounds(self) -> np.ndarray:
        """Every object's box: (len(model), 2, 3) float32, rows lo and hi."""
        if self._object_bounds is None:
            self._object_bounds = _array(self._handle.object_bounds())
        return self._object_bounds

    @property
    def closed(self) -> np.ndarray:
        """Whether each object's mesh is closed, (len(model),) bool: after merging equal
        corners (exact float equality), every edge is shared by exactly two triangles
        that run it in opposite directions. Triangles that collapse when corners merge
        are left out; one with a non-finite corner makes its mesh open. Decided on first
        use, on the default thread count, and kept."""
        if self._closed is None:
            flags = np.asarray(self._handle.closed(resolve_threads(None))).view(np.bool_)
            self._closed = flags
        return self._closed

    @property
    def open_count(self) -> int:
        """How many objects have a mesh that is not closed (see closed)."""
        return int(np.count_nonzero(~self.closed))

    # --- objects ---------------------------------------------------------------------

    def __len__(self) -> int:
        return len(self._handle)

    def index_of(self, key: str) -> int:
        """Position of the object with this key; KeyError when there is none."""
        if not isinstance(key, str):
            raise TypeError(f"keys are str, not {type(key).__name__}")
        index = self._handle.find(key)
        if index < 0:
            raise KeyError(key)
        return index

    def __getitem__(self, item: int | str) -> "ObjectView":
        """The object at a position (negative counts from the end) or with a key."""
        if isinstance(item, str):
            return ObjectView(self, self.index_of(item))
        try:
            index = item.__index__()
        except AttributeError:
            raise TypeError(f"objects are looked up by int or str, not {type(item).__name__}") from None
        size = len(self)
        if not -size <= index < size:
            raise IndexError(f"object index {index} out of range for {size} objects")
        return ObjectView(self, index % size)

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and self._handle.find(key) >= 0

    def __iter__(self) -> Iterator["ObjectView"]:
        return (ObjectView(self, i) for i in range(len(self)))

    def __repr__(self) -> str:
        label = f" {self._name!r}" if self._name is not None else ""
        return f"<orvexkit.Model{label} with {len(self)} objects>"

    def __reduce__(self) -> tuple[Any, ...]:
        """A model pickles as the engine serialises it: keys, object data, points and
        triangles, not the text; hierarchies are rebuilt when it is unpickled, on the
        default thread count. The name, path and diagnostics come along."""
        return _unpickle_model, (self._handle.serialize(), self._name, self._path, self._diagnostics)


def _unpickle_model(data: bytes, name: str | None, path: str | None,
                    diagnostics: Iterable[tuple[str, str, str]]) -> Model:
    model = Model.__new__(Model)
    model._set(_native.ModelHandle.deserialize(data, resolve_threads(None)), diagnostics, name=name, path=path)
    return model


class ObjectView:
    """One object of a Model, looked at in place (model[i], model[key], iter(model)).

    index: position in the model; key: the object's key in the text; type: its
    "speckle_type" ("" when unknown); name: its "name" member when that is a string;
    meta: its other members as a dict (parsed on first use); vertices (n, 3) float32
    and triangles (m, 3) uint32: its mesh, read-only views of the model's memory that
    keep the model alive; bounds: its box, (2, 3) float32.
    """

    __slots__ = ("_model", "_index", "_meta")
    _meta: dict[str, Any] | None

    def __init__(self, model: Model, index: int) -> None:
        self._model = model
        self._index = index
        self._meta = None

    @property
    def model(self) -> Model:
        return self._model

    @property
    def index(self) -> int:
        return self._index

    @property
    def key(self) -> str:
        return self._model._key_tuple()[self._index]

    @property
    def type(self) -> str:
        return self._model._type_tuple()[self._index]

    @property
    def meta(self) -> dict[str, Any]:
        """The object line's members other than its display lists; {} when the model
        did not keep them."""
        if self._meta is None:
            text = self._model._handle.meta(self._index)
            self._meta = json.loads(text) if text else {}
        return self._meta

    @property
    def name(self) -> str | None:
        name = self.meta.get("name")
        return name if isinstance(name, str) else None

    @property
    def vertices(self) -> np.ndarray:
        return _array(self._model._handle.vertices(self._index))

    @property
    def triangles(self) -> np.ndarray:
        return _array(self._model._handle.triangles(self._index))

    @property
    def bounds(self) -> np.ndarray:
        box: np.ndarray = self._model.object_bounds[self._index]
        return box

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ObjectView):
            return NotImplemented
        return self._model is other._model and self._index == other._index

    def __hash__(self) -> int:
        return hash((id(self._model), self._index))

    def __repr__(self) -> str:
        return f"<orvexkit.ObjectView {self._index} {self.key!r} {self.type!r}>"
