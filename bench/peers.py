"""What a scripting user would write instead of orvex.

On model texts: parse every line with `json`, resolve references and chunked lists,
decode the count-prefixed faces, build one FCL BVH model per object, and ask a
broad-phase manager for the clashing pairs (collide with a contact) or the pairs within
a clearance (distance).

On two dense meshes: one collide and one distance query, with FCL and with Coal.

Points are narrowed to float32 as orvex narrows them, so both sides query the same
triangles; each mesh's corner indices count from its own first point, as in orvex.
"""

import json
import time

import numpy as np

import fcl

MESH = "Objects.Geometry.Mesh"


def parse_model(text):
    """key -> parsed object, for every line whose JSON part is an object with a
    "speckle_type" member; the last line of a key wins."""
    objects = {}
    for line in text.split("\n"):
        key, tab, body = line.partition("\t")
        if not tab:
            continue
        try:
            value = json.loads(body)
        except ValueError:
            continue
        if isinstance(value, dict) and "speckle_type" in value:
            objects[key] = value
    return objects


def _chunked(objects, mesh, name):
    numbers = []
    for ref in mesh[name]:
        numbers.extend(objects[ref["referencedId"]]["data"])
    return numbers


def _triangles(faces):
    """Fan triangles of a count-prefixed face list; all-triangle lists take a numpy path."""
    f = np.asarray(faces, dtype=np.float64).astype(np.int64)
    if len(f) % 4 == 0 and (f[::4] == 3).all():
        return f.reshape(-1, 4)[:, 1:]
    out = []
    p = 0
    while p < len(f):
        n = int(f[p])
        if n < 3 or p + n >= len(f):
            break
        c = f[p + 1:p + 1 + n]
        out.extend((c[0], c[i - 1], c[i]) for i in range(2, n))
        p += n + 1
    return np.array(out, dtype=np.int64).reshape(-1, 3)


def mesh_objects(objects):
    """[(key, points float32 (n, 3), triangles int64 (m, 3))] for every displayed object."""
    out = []
    for key, root in objects.items():
        display = root["@displayValue"] if "@displayValue" in root else root.get("displayValue")
        if not isinstance(root.get("speckle_type"), str) or "id" not in root \
                or not isinstance(display, list):
            continue
        points, triangles, offset = [], [], 0
        for element in display:
            kind = element.get("speckle_type") if isinstance(element, dict) else None
            if kind == MESH:
                vertices, faces = element["vertices"], element["faces"]
            elif kind == "reference":
                mesh = objects.get(element["referencedId"])
                if mesh is None or mesh.get("speckle_type") != MESH:
                    continue
                vertices = _chunked(objects, mesh, "vertices")
                faces = _chunked(objects, mesh, "faces")
            else:
                continue
            p = np.asarray(vertices, dtype=np.float32)
            p = p[:len(p) - len(p) % 3].reshape(-1, 3)
            points.append(p)
            triangles.append(_triangles(faces) + offset)
            offset += len(p)
        if points and offset >= 3:
            t = np.concatenate(triangles)
            if len(t):
                out.append((key, np.concatenate(points), t))
    return out


def fcl_model(points, triangles):
    model = fcl.BVHModel()
    model.beginModel(len(triangles), len(points))
    model.addSubModel(points.astype(np.float64), triangles)
    model.endModel()
    return model


def fcl_objects(meshes):
    """[(key, CollisionObject)], and the map from id() of each BVH model to its key:
    the callbacks see only the geometry of an object."""
    objects, owner = [], {}
    for key, points, triangles in meshes:
        model = fcl_model(points, triangles)
        owner[id(model)] = key
        objects.append((key, fcl.CollisionObject(model)))
    return objects, owner


def _manager(objects):
    manager = fcl.DynamicAABBTreeCollisionManager()
    manager.registerObjects([o for _, o in objects])
    manager.setup()
    return manager


def fcl_clashes(objects_a, owner_a, objects_b, owner_b):
    """{(key_a, key_b): contact position} for every intersecting pair of different keys."""
    request = fcl.CollisionRequest(num_max_contacts=1, enable_contact=True)
    found = {}

    def callback(o1, o2, _):
        result = fcl.CollisionResult()
        if fcl.collide(o1, o2, request, result):
            c = result.contacts[0]
            if id(c.o1) in owner_a:
                ids = owner_a[id(c.o1)], owner_b[id(c.o2)]
            else:
                ids = owner_a[id(c.o2)], owner_b[id(c.o1)]
            if ids[0] != ids[1]:
                found[ids] = c.pos
        return False

    _manager(objects_a).collide(_manager(objects_b), None, callback)
    return found


def fcl_clearances(objects_a, owner_a, objects_b, owner_b, min_dist):
    """{(key_a, key_b): distance} for every pair of different keys closer than
    `min_dist`; an intersecting pair has distance 0 or below."""
    request = fcl.DistanceRequest(enable_nearest_points=True)
    found = {}

    def callback(o1, o2, _):
        result = fcl.DistanceResult()
        d = fcl.distance(o1, o2, request, result)
        if d < min_dist:
            if id(result.o1) in owner_a:
                ids = owner_a[id(result.o1)], owner_b[id(result.o2)]
            else:
                ids = owner_a[id(result.o2)], owner_b[id(result.o1)]
            if ids[0] != ids[1]:
                found[ids] = d
        # Keep the manager's pruning distance at the clearance: every pair whose boxes
        # come within it is handed to this callback.
        return False, min_dist

    _manager(objects_a).distance(_manager(objects_b), None, callback)
    return found


def run_fcl(text_a, text_b, min_dist=None):
    """The whole peer pipeline on two texts. Returns (pairs, times) where times holds
    the seconds of parse (json and references), build (BVH models) and query."""
    t0 = time.perf_counter()
    meshes_a = mesh_objects(parse_model(text_a))
    meshes_b = mesh_objects(parse_model(text_b))
    t1 = time.perf_counter()
    objects_a, owner_a = fcl_objects(meshes_a)
    objects_b, owner_b = fcl_objects(meshes_b)
    t2 = time.perf_counter()
    if min_dist is None:
        pairs = fcl_clashes(objects_a, owner_a, objects_b, owner_b)
    else:
        pairs = fcl_clearances(objects_a, owner_a, objects_b, owner_b, min_dist)
    t3 = time.perf_counter()
    return pairs, {"parse": t1 - t0, "build": t2 - t1, "query": t3 - t2, "total": t3 - t0}


def best_of(query, repeats):
    """(last answer, best seconds) of `repeats` calls; the driver times orvex with it too."""
    times, answer = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        answer = query()
        times.append(time.perf_counter() - start)
    return answer, min(times)


def fcl_contact(mesh1, mesh2, repeats):
    """Collide (one contact) plus distance on two (points, triangles) meshes. Returns
    (colliding, distance, build seconds, best query seconds)."""
    start = time.perf_counter()
    o1 = fcl.CollisionObject(fcl_model(*mesh1))
    o2 = fcl.CollisionObject(fcl_model(*mesh2))
    build = time.perf_counter() - start
    request = fcl.CollisionRequest(num_max_contacts=1, enable_contact=True)
    dist_request = fcl.DistanceRequest(enable_nearest_points=True)

    def query():
        colliding = fcl.collide(o1, o2, request, fcl.CollisionResult()) > 0
        return colliding, fcl.distance(o1, o2, dist_request, fcl.DistanceResult())

    (colliding, distance), best = best_of(query, repeats)
    return colliding, distance, build, best


def coal_contact(mesh1, mesh2, repeats):
    """The same with Coal's OBBRSS models."""
    import coal

    def model(points, triangles):
        m = coal.BVHModelOBBRSS()
        m.beginModel(len(triangles), len(points))
        m.addVertices(points.astype(np.float64))
        m.addTriangles(triangles.astype(np.int64))
        m.endModel()
        return coal.CollisionObject(m, coal.Transform3s())

    start = time.perf_counter()
    o1, o2 = model(*mesh1), model(*mesh2)
    build = time.perf_counter() - start
    request = coal.CollisionRequest()
    request.enable_contact = True
    request.num_max_contacts = 1
    dist_request = coal.DistanceRequest()

    def query():
        colliding = coal.collide(o1, o2, request, coal.CollisionResult()) > 0
        return colliding, coal.distance(o1, o2, dist_request, coal.DistanceResult())

    (colliding, distance), best = best_of(query, repeats)
    return colliding, distance, build, best
