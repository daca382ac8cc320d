"""IFC file -> orvex model text.

Every IfcProduct with body geometry becomes one displayed object keyed by its
GlobalId. Its geometry is one triangle mesh in world coordinates, in metres
whatever the file's length unit, stored the way exports store it: the object's
display list references a mesh line, and the mesh's "vertices" and "faces" are
lists of references to chunk lines of bounded size. Keys of meshes and chunks are
content hashes, so repeated chunks and meshes are written once.

The geometry kernel tessellates in each product's local frame and we place the
triangles in the world ourselves: products whose representations are the same
(bolts, repeated members) are tessellated once and placed many times. Lines come
in the order of the products in the file, so the text is the same for any number
of geometry threads.
"""

import hashlib
import json
import logging
import multiprocessing
import os
import re
import sys
from collections import Counter
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field

import numpy as np

log = logging.getLogger("orvex_ifc")

MESH_TYPE = "Objects.Geometry.Mesh"
CHUNK_TYPE = "Speckle.Core.Models.DataChunk"

#: Numbers per chunk line.
DEFAULT_CHUNK_SIZE = 10_000

#: Changes whenever the text written for the same files and options changes, so
#: that cached conversions of an older revision are not used.
CONVERTER_REVISION = 2

#: Left out unless named in `include`: voids, rooms and zones are volumes, not
#: things that can collide.
DEFAULT_EXCLUDE = ("IfcOpeningElement", "IfcSpace", "IfcSpatialZone")

# Beyond this distance from the origin a single-precision coordinate resolves
# steps of 1 mm or more, which is coarser than real clearances.
_FAR_FROM_ORIGIN = 8192.0

_COMPACT = (",", ":")


class IfcReadError(Exception):
    """The input file is missing, unreadable or not an IFC file."""


@dataclass
class Summary:
    """What one conversion wrote."""
    objects: Counter = field(default_factory=Counter)  # IFC class -> objects written
    triangles: int = 0
    skipped: int = 0  # products with a representation but no usable triangles
    max_coordinate: float = 0.0
    tessellated: int = 0  # products the kernel tessellated; the others are placed copies


def available_cores():
    """Cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _ifcopenshell():
    try:
        import ifcopenshell
        import ifcopenshell.geom
        import ifcopenshell.util.element
    except ImportError as e:
        raise ImportError("the IFC converter needs ifcopenshell: pip install 'orvex[ifc]'") from e
    return ifcopenshell


def _product_class(name, schema):
    """Canonical spelling of an IfcProduct class in `schema`, or None when the schema
    lacks it. ValueError when no supported schema knows it as a product class."""
    from ifcopenshell import ifcopenshell_wrapper as wrapper

    others = [s for s in wrapper.schema_names() if s.startswith("IFC")]
    known_elsewhere = False
    for candidate in (schema, *others):
        try:
            decl = wrapper.schema_by_name(candidate).declaration_by_name(name)
        except RuntimeError:
            continue
        ancestor = decl
        while ancestor is not None and ancestor.name() != "IfcProduct":
            ancestor = ancestor.supertype() if hasattr(ancestor, "supertype") else None
        if ancestor is None:
            raise ValueError(f"{name} is not an IfcProduct class")
        if candidate == schema:
            return decl.name()
        known_elsewhere = True
    if known_elsewhere:
        return None
    raise ValueError(f"unknown IFC class {name}")


def _classes(names, schema):
    return [c for c in (_product_class(n, schema) for n in names) if c is not None]


def open_ifc(path):
    """Opens an IFC file; IfcReadError with the reason when that is not possible."""
    ifcopenshell = _ifcopenshell()
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            f.read(1)
    except OSError as e:
        raise IfcReadError(f"cannot read {path}: {e.strerror or e}") from e
    try:
        return ifcopenshell.open(path)
    except (OSError, ifcopenshell.Error, RuntimeError) as e:
        raise IfcReadError(f"cannot read {path} as IFC: {e}") from e


def select_products(ifc, include=None, exclude=None):
    """The IfcProducts with a representation that pass the class filters. Classes
    match with their subclasses. Without `exclude`, DEFAULT_EXCLUDE applies, except
    for the classes named in `include`."""
    included = _classes(include, ifc.schema) if include else None
    if exclude is None:
        named = {c.lower() for c in included or ()}
        exclude = [c for c in DEFAULT_EXCLUDE if c.lower() not in named]
    exclude = _classes(exclude, ifc.schema)
    return [p for p in ifc.by_type("IfcProduct")
            if p.Representation is not None
            and (included is None or any(p.is_a(c) for c in included))
            and not any(p.is_a(c) for c in exclude)]


class _Representations:
    """Content keys and tessellation costs of product representations.

    Two products get the same key when their representation graphs are equal
    entity for entity and value for value (whatever the STEP ids), so the kernel
    turns both into the same triangles in their local frames. No key (None) for a
    product with openings, or part of one that has openings: the kernel cuts those
    out, so its triangles also depend on the openings' placements; nor for a graph
    too deep to walk."""

    def __init__(self, ifcopenshell):
        self.entity = ifcopenshell.entity_instance
        self.memo = {}  # STEP id -> (key, entities of its graph counted as a tree)

    @staticmethod
    def cut(product):
        """True when openings are cut out of `product` or of a whole it is part of."""
        whole = product
        while whole is not None:
            if getattr(whole, "HasOpenings", None):
                return True
            parents = getattr(whole, "Decomposes", None)
            whole = parents[0].RelatingObject if parents else None
        return False

    def key(self, product):
        if self.cut(product):
            return None
        try:
            return self._entity(product.Representation)[0]
        except RecursionError:
            return None

    def cost(self, product):
        """The kernel's work on `product` in relative units, for scheduling only: on
        the shared files its time follows the entities of the representation, which
        every opening cuts through once more, plus the openings' own entities and
        a fixed part of about 40 entities' worth per product (correlation 0.95 on
        Duplex, 0.5 to 1.0 on the others)."""
        openings = [rel.RelatedOpeningElement for rel in getattr(product, "HasOpenings", ()) or ()]
        try:
            body = self._entity(product.Representation)[1]
            cut = sum(self._entity(o.Representation)[1] for o in openings
                      if o.Representation is not None)
        except RecursionError:
            return sys.getrecursionlimit() * (1 + len(openings))
        return body * (1 + len(openings)) + 12 * cut + 40

    def _entity(self, e):
        step_id = e.id()
        found = self.memo.get(step_id) if step_id else None
        if found is None:
            get = e.get_argument  # e[i] without its bounds check: a fifth faster
            values, size = self._values([get(i) for i in range(len(e))])
            text = repr((e.is_a(), values)).encode()
            found = (hashlib.blake2b(text, digest_size=16).digest(), size + 1)
            if step_id:
                self.memo[step_id] = found
        return found

    def _values(self, items):
        values, size = [], 0
        for a in items:
            if isinstance(a, self.entity):
                a, n = self._entity(a)
                size += n
            elif isinstance(a, tuple):
                a, n = self._values(a)
                a = tuple(a)
                size += n
            values.append(a)
        return values, size


def _placements(ifcopenshell, settings):
    """Function of a product: the 4x4 matrix from its local frame to the world, in
    metres, as the kernel computes it, or None when the kernel cannot or it has no
    inverse. Memoised per product."""
    memo = {}

    def placement(product):
        if product.id() not in memo:
            memo[product.id()] = _placement(ifcopenshell, settings, product)
        return memo[product.id()]
    return placement


def _placement(ifcopenshell, settings, product):
    if product.ObjectPlacement is None:
        return np.eye(4)
    try:
        shape = ifcopenshell.geom.create_shape(settings, product.ObjectPlacement)
    except RuntimeError:
        return None
    matrix = np.array(shape.matrix, dtype=np.float64).reshape((4, 4), order="F")
    if not np.isfinite(matrix).all() or abs(np.linalg.det(matrix[:3, :3])) < 1e-9:
        return None
    return matrix


@dataclass
class _Local:
    """Triangles of one tessellated product in its local frame and the matrix that
    places them in the world."""
    points: np.ndarray  # (n, 3) float64, metres
    triangles: np.ndarray  # (m, 3) int32, indices into points
    matrix: np.ndarray  # (4, 4) local -> world

    @classmethod
    def from_buffers(cls, verts, faces, matrix):
        return cls(np.frombuffer(verts, dtype=np.float64).reshape(-1, 3),
                   np.frombuffer(faces, dtype=np.int32).reshape(-1, 3),
                   np.frombuffer(matrix, dtype=np.float64).reshape((4, 4), order="F"))


def _kernel_settings(ifcopenshell):
    settings = ifcopenshell.geom.settings()
    settings.set("no-normals", True)  # local coordinates: the kernel's default
    return settings


def _iterate(ifc, products, threads):
    """(STEP id, vertex bytes, face bytes, matrix bytes) of each of `products` that
    the kernel turned into geometry, in the kernel's order."""
    ifcopenshell = _ifcopenshell()
    iterator = ifcopenshell.geom.iterator(_kernel_settings(ifcopenshell), ifc, threads,
                                          include=products)
    if not iterator.initialize():
        return
    while True:
        shape = iterator.get()
        yield (shape.id, shape.geometry.verts_buffer, shape.geometry.faces_buffer,
               shape.transformation_buffer)
        if not iterator.next():
            return


# The file a forked worker tessellates from. Workers inherit it as it is in the
# parent (fork passes the initializer's arguments without pickling them), so they
# neither read nor parse it again.
_worker_file = None


def _adopt(ifc):
    global _worker_file
    _worker_file = ifc


def _tessellate_in_worker(step_ids):
    return list(_iterate(_worker_file, [_worker_file.by_id(i) for i in step_ids], 1))


# Chunks shrink to 1/_SMALLEST_SHARE of a worker's share of the work, no smaller:
# each costs about 4 ms of CPU for the iterator's set-up.
_SMALLEST_SHARE = 16

# Fewer products per worker than this are tessellated here: starting and ending
# the workers takes 20 to 150 ms, more than a few products take.
_MIN_PER_WORKER = 16


def _guided_chunks(ids, costs, threads):
    """`ids` in chunks for `threads` workers taking the next chunk when idle, the
    costliest products first and chunks getting smaller towards the end, so that
    the workers finish together however unevenly the costs fall in the file. The
    cheap rest comes in the order given, so that the products can be written out
    while the last chunks are tessellated."""
    order = sorted(range(len(ids)), key=lambda i: -costs[i])
    total = remaining = sum(costs)
    smallest = total / (threads * _SMALLEST_SHARE)
    chunks, chunk, cost = [], [], 0
    for n, i in enumerate(order):
        chunk.append(ids[i])
        cost += costs[i]
        if cost >= max(remaining / (2 * threads), smallest):
            chunks.append(chunk)
            remaining -= cost
            chunk, cost = [], 0
            if remaining / (2 * threads) <= smallest:
                # Only chunks of the smallest size from here on.
                order[n + 1:] = sorted(order[n + 1:])
    if chunk:
        chunks.append(chunk)
    return chunks


class _Tessellation:
    """Tessellations of the products submitted, as (STEP id, _Local or None when
    the kernel produced no geometry), in no particular order.

    In parallel, processes forked from this one at the first submission tessellate
    chunks of the products, costliest first, each with a single-threaded iterator,
    while this one goes on (keying the other products, writing out those done):
    with its own threads the kernel keeps one more thread polling for their
    results, which on two cores costs about as much CPU as the tessellation
    itself. Otherwise the products are tessellated here when the results are
    asked for, with the kernel's threads where fork is not available.
    `cost` gives a product's relative cost (_Representations.cost)."""

    def __init__(self, ifc, threads, cost, bar):
        self.ifc, self.threads, self.cost, self.bar = ifc, threads, cost, bar
        self.pool = None
        self.pending = {}  # future -> STEP ids of its chunk
        self.here = []  # products to tessellate in this process
        self.count = 0

    @staticmethod
    def forking():
        return sys.platform.startswith("linux")

    def worth_workers(self, count):
        """Whether `count` products are enough to start the workers for."""
        return self.forking() and self.threads > 1 and count >= _MIN_PER_WORKER * self.threads

    def submit(self, products, parallel):
        """Queues `products`, on the workers when `parallel` or when they already run."""
        self.count += len(products)
        if not (parallel or self.pool is not None) or not products:
            self.here.extend(products)
            return
        if self.pool is None:
            self.pool = ProcessPoolExecutor(
                self.threads, mp_context=multiprocessing.get_context("fork"),
                initializer=_adopt, initargs=(self.ifc,))
            products, self.here = self.here + products, []
        ids = [p.id() for p in products]
        for chunk in _guided_chunks(ids, [self.cost(p) for p in products], self.threads):
            self.pending[self.pool.submit(_tessellate_in_worker, chunk)] = chunk

    def results(self):
        if self.here:
            threads = 1 if self.forking() else self.threads
            yield from self._with_missing([p.id() for p in self.here],
                                          _iterate(self.ifc, self.here, threads))
        try:
            for future in as_completed(self.pending):
                yield from self._with_missing(self.pending[future], future.result())
        except BrokenProcessPool as e:
            raise RuntimeError("the geometry kernel ended abruptly while tessellating; "
                               "convert with threads=1 to find the element") from e

    def _with_missing(self, ids, tessellated):
        """The tessellations, then None for each of `ids` the kernel left out."""
        seen = set()
        for step_id, *buffers in tessellated:
            seen.add(step_id)
            if self.bar is not None:
                self.bar.update(100 / self.count)
            yield step_id, _Local.from_buffers(*buffers)
        for step_id in ids:
            if step_id not in seen:
                yield step_id, None

    def close(self):
        if self.pool is not None:
            self.pool.shutdown(cancel_futures=True)


def _meshes(ifc, products, threads, bar, summary):
    """(product, source STEP id, world points (n, 3) float64, triangles (m, 3)
    int32) for each product, in the order given; points and triangles are None
    when the product has no usable triangles. Products with the same source share
    their triangle array."""
    ifcopenshell = _ifcopenshell()
    representations = _Representations(ifcopenshell)
    placement = _placements(ifcopenshell, _kernel_settings(ifcopenshell))
    tessellation = _Tessellation(ifc, threads, representations.cost, bar)
    try:
        # Products with openings are never shared: the workers start on them (the
        # costliest, with their booleans) while the others are keyed.
        cut = [p for p in products if representations.cut(p)]
        parallel = tessellation.worth_workers(len(products)) and len(cut) >= threads
        tessellation.submit(cut, parallel)
        cut_ids = {p.id() for p in cut}
        first = {}  # content key -> first product with it
        sources = []  # the product whose tessellation each product uses
        for p in products:
            key = None if p.id() in cut_ids else representations.key(p)
            source = p if key is None else first.setdefault(key, p)
            # A copy needs both placements; without them it is tessellated itself.
            if source is not p and (placement(p) is None or placement(source) is None):
                source = p
            sources.append(source)
        rest = [p for p in {p.id(): p for p in sources}.values() if p.id() not in cut_ids]
        tessellation.submit(rest, tessellation.worth_workers(len(cut) + len(rest)))
        summary.tessellated += tessellation.count
        incoming = tessellation.results()

        local = {}  # source STEP id -> _Local, or None when unusable
        from_source = {}  # source STEP id -> kernel matrix with the source's placement taken out
        for product, source in zip(products, sources):
            sid = source.id()
            while sid not in local:
                step_id, mesh = next(incoming)
                src = ifc.by_id(step_id)
                local[step_id] = mesh if mesh is not None and _usable(mesh, src) else None
            mesh = local[sid]
            if mesh is None:
                yield product, sid, None, None
                continue
            matrix = mesh.matrix
            if source is not product:
                # The kernel's frame for the copy: its own placement in place of the source's.
                if sid not in from_source:
                    from_source[sid] = np.linalg.inv(placement(source)) @ matrix
                matrix = placement(product) @ from_source[sid]
            points = mesh.points @ matrix[:3, :3].T + matrix[:3, 3]
            if not np.isfinite(points).all():
                log.warning("%s #%d has non-finite coordinates; left out", product.is_a(), product.id())
                yield product, sid, None, None
                continue
            yield product, sid, points, mesh.triangles
    finally:
        tessellation.close()


def _usable(mesh, product):
    """False, with a warning when there is something to say, when the mesh holds no
    triangles or nothing the engine could safely read."""
    if len(mesh.triangles) == 0:
        return False
    if not np.isfinite(mesh.points).all():
        log.warning("%s #%d has non-finite coordinates; left out", product.is_a(), product.id())
        return False
    # A corner without a point would end the whole clash run.
    if mesh.triangles.min() < 0 or mesh.triangles.max() >= len(mesh.points):
        log.warning("%s #%d has triangles without points; left out", product.is_a(), product.id())
        return False
    return True


def storey_name(product):
    """Name of the IfcBuildingStorey holding the product, directly or through the
    elements it is part of; None when there is none or it has no name."""
    import ifcopenshell.util.element
    storey = ifcopenshell.util.element.get_container(product, ifc_class="IfcBuildingStorey")
    if storey is None:
        return None
    return storey.Name or storey.LongName or None


_BAD_KEY = re.compile(r"[\x00-\x1f\x7f]")


class _Keys:
    """Object keys, unique within one model text: the GlobalId, or, for a GlobalId
    that is already taken (an element exported twice) or that cannot be a key (none,
    or with control characters), the GlobalId or '' followed by '#<STEP id>'."""

    def __init__(self):
        self.used = set()

    def __call__(self, guid, step_id):
        usable = isinstance(guid, str) and guid != "" and not _BAD_KEY.search(guid)
        key = guid if usable else f"#{step_id}"
        base = f"{guid if usable else ''}#{step_id}"
        n = 1
        while key in self.used:
            key = base if n == 1 else f"{base}.{n}"
            n += 1
        if key != guid:
            reason = "is taken" if usable else "cannot be a key"
            log.warning("GlobalId %r of #%d %s; keyed %s", guid, step_id, reason, key)
        self.used.add(key)
        return key


def _reference(key):
    return {"speckle_type": "reference", "referencedId": key}


def _chunked(numbers, chunk_size, written, out):
    """Appends the chunk lines of `numbers` not yet in `written` to `out`; returns
    the list of chunk references."""
    refs = []
    for start in range(0, len(numbers), chunk_size):
        data = json.dumps(numbers[start:start + chunk_size], separators=_COMPACT)
        key = hashlib.md5(data.encode(), usedforsecurity=False).hexdigest()
        if key not in written:
            written.add(key)
            out.append(f'{key}\t{{"speckle_type":"{CHUNK_TYPE}","id":"{key}","data":{data}}}\n')
        refs.append(_reference(key))
    return refs


def check_options(chunk_size, threads):
    """ValueError for a chunk size or thread count below 1."""
    if chunk_size < 1:
        raise ValueError("chunk size must be at least 1")
    if threads is not None and threads < 1:
        raise ValueError("threads must be at least 1")


def model_lines(ifcs, include=None, exclude=None, chunk_size=DEFAULT_CHUNK_SIZE, threads=None,
                progress=False, summary=None):
    """The lines of one model text holding the products of one opened IFC file or
    of a sequence of them (the partitions of a federated model), as an iterator.

    `include`/`exclude` name IfcProduct classes (subclasses match too; see
    select_products). `threads` is the number of geometry workers (default: one
    per core this process may use); the text does not depend on it. `progress`
    shows a bar on standard error for conversions that take more than a second,
    when standard error is a terminal. `summary`, a Summary, is filled in as lines
    are produced. Bad options raise ValueError here, before any line is produced."""
    check_options(chunk_size, threads)
    threads = available_cores() if threads is None else threads
    if not isinstance(ifcs, (list, tuple)):
        ifcs = [ifcs]
    selected = [(ifc, select_products(ifc, include, exclude)) for ifc in ifcs]
    summary = Summary() if summary is None else summary
    return _all_lines(selected, chunk_size, threads, progress, summary)


def _all_lines(selected, chunk_size, threads, progress, summary):
    keys = _Keys()
    written = set()
    for ifc, products in selected:
        yield from _lines(ifc, products, chunk_size, threads, progress, summary, keys, written)
    if summary.max_coordinate > _FAR_FROM_ORIGIN:
        step = float(np.spacing(np.float32(summary.max_coordinate))) * 1000
        log.warning("coordinates reach %.0f m from the origin, where single precision "
                    "resolves only %.1f mm", summary.max_coordinate, step)


def _lines(ifc, products, chunk_size, threads, progress, summary, keys, written):
    bar = _progress_bar() if progress else None
    try:
        meshes = _meshes(ifc, products, threads, bar, summary)
        face_refs = {}  # source STEP id -> chunk references of its faces, shared by copies
        for product, source, points, triangles in meshes:
            if points is None:
                summary.skipped += 1
                continue
            out = []
            vertex_refs = _chunked(points.ravel().tolist(), chunk_size, written, out)
            refs = face_refs.get(source)
            if refs is None:
                faces = np.empty((len(triangles), 4), dtype=np.int64)
                faces[:, 0] = 3
                faces[:, 1:] = triangles
                refs = face_refs[source] = _chunked(faces.ravel().tolist(), chunk_size,
                                                           written, out)
            mesh_key = hashlib.md5(json.dumps([vertex_refs, refs]).encode(),
                                   usedforsecurity=False).hexdigest()
            if mesh_key not in written:
                written.add(mesh_key)
                mesh = {"speckle_type": MESH_TYPE, "id": mesh_key, "units": "m",
                        "vertices": vertex_refs, "faces": refs}
                out.append(f"{mesh_key}\t{json.dumps(mesh, separators=_COMPACT)}\n")
            key = keys(product.GlobalId, product.id())
            obj = {"speckle_type": f"IFC.{product.is_a()}", "id": key}
            if product.Name:
                obj["name"] = product.Name
            level = storey_name(product)
            if level is not None:
                obj["level"] = level
            obj["@displayValue"] = [_reference(mesh_key)]
            out.append(f"{key}\t{json.dumps(obj, separators=_COMPACT)}\n")
            summary.objects[product.is_a()] += 1
            summary.triangles += len(triangles)
            summary.max_coordinate = max(summary.max_coordinate, float(np.abs(points).max()))
            yield from out
    finally:
        if bar is not None:
            bar.close()


def _progress_bar():
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # disable=None turns the bar off when standard error is not a terminal.
    return tqdm(total=100, unit="%", delay=1.0, disable=None, leave=False,
                bar_format="{l_bar}{bar}| {elapsed}<{remaining}")


def convert(paths, **options):
    """Model text of the IFC file at `paths`, or of the files of a sequence of paths
    together. Options as for model_lines."""
    if isinstance(paths, (list, tuple)):
        return "".join(model_lines([open_ifc(p) for p in paths], **options))
    return "".join(model_lines(open_ifc(paths), **options))
