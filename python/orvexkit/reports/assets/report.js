"use strict";
// The clash report page: summary, table, details and a WebGL 2 view of the selected clash.
// Everything comes from the three inline data elements; nothing is fetched.
(function () {
  const $ = (id) => document.getElementById(id);
  const bytes = (text) => {            // base64 to an ArrayBuffer
    const s = atob(text.trim());
    const out = new Uint8Array(s.length);
    for (let i = 0; i < s.length; i++) out[i] = s.charCodeAt(i);
    return out.buffer;
  };
  // Clash tables come as columns, their numbers little-endian binary with NaN for unknown
  // (see the writer); each clash becomes a row again, unknown numbers null.
  const clashRows = (t) => {
    const x = new Float64Array(bytes(t.numbers)), ends = new Int32Array(bytes(t.ends));
    const near = new Int32Array(bytes(t.near)), start = new Int32Array(bytes(t.nearStart));
    const v = (k) => Number.isFinite(x[k]) ? x[k] : null;
    const p = (k) => [v(k), v(k + 1), v(k + 2)];
    return t.id.map((id, i) => {
      const k = i * 20;
      return {id, check: t.check[i], kind: t.kind[i], group: t.group[i], status: t.status[i],
        dist: v(k), prev: v(k + 1), pa: p(k + 2), pb: p(k + 5),
        view: [...p(k + 8), ...p(k + 11), v(k + 14)], volume: v(k + 15), thickness: v(k + 16),
        centre: Number.isNaN(x[k + 17]) ? null : p(k + 17), contained: t.contained[i],
        approximate: t.approximate[i], extra: t.extra[i], a: ends[2 * i], b: ends[2 * i + 1],
        near: Array.from(near.subarray(start[i], start[i + 1]))};
    });
  };
  const D = JSON.parse($("report-data").textContent);
  D.clashes = clashRows(D.clashes);
  D.resolved = clashRows(D.resolved);
  // Per mesh: first vertex, vertices, first triangle, triangles (uint32 binary).
  const meshes = new Uint32Array(bytes(D.meshes));
  D.meshes = Array.from({length: meshes.length / 4}, (_, k) => meshes.subarray(4 * k, 4 * k + 4));
  const esc = (s) => String(s ?? "").replace(/[&<>"']/g,
    (c) => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"}[c]));
  const units = D.models.length ? D.models[0].units : "";

  // Four significant digits, no exponent for everyday magnitudes.
  function num(x) {
    if (x === null || x === undefined) return "";
    if (x === 0) return "0";
    const d = Math.min(Math.max(0, 3 - Math.floor(Math.log10(Math.abs(x)))), 12);
    const s = x.toFixed(d);
    return d ? s.replace(/0+$/, "").replace(/\.$/, "") : s;
  }
  const shortType = (t) => { const s = String(t || "").split("."); return s[s.length - 1] || t; };
  const O = D.objects, meshOf = new Int32Array(bytes(O.mesh));   // the object table's columns
  const obj = (i) => ({model: O.model[i], key: O.key[i], type: O.type[i], name: O.name[i],
    level: O.level[i], mesh: meshOf[i]});
  const label = (o) => `${shortType(o.type)} ${o.name ?? o.key}`;
  const pair = (c) => `${shortType(obj(c.a).type)} × ${shortType(obj(c.b).type)}`;

  // ---- header and summary -------------------------------------------------------------------
  document.title = D.title || "Clash report";
  $("title").textContent = D.title || "Clash report";
  $("meta").textContent = `${D.clashes.length} clashes, ${D.resolved.length} resolved · ` +
    `${D.created} · ${D.tool}`;

  const kinds = [...new Set(D.clashes.map((c) => c.kind))].sort();
  const perCheck = new Map(D.checks.map((k) => [k.name, {}]));
  for (const c of D.clashes) {
    if (!perCheck.has(c.check)) perCheck.set(c.check, {});
    const row = perCheck.get(c.check);
    row[c.kind] = (row[c.kind] || 0) + 1;
  }
  const errors = new Map(D.checks.filter((k) => k.error).map((k) => [k.name, k.error]));
  const checkLink = (name, text) =>
    `<a class="check" data-check="${esc(name)}">${esc(text)}</a>`;
  {
    let h = "<table><thead><tr><th>Check</th>" + kinds.map((k) => `<th>${esc(k)}</th>`).join("") +
      "<th>Total</th></tr></thead><tbody>";
    for (const [name, row] of perCheck) {
      if (errors.has(name)) {
        h += `<tr><td>${esc(name)}</td><td colspan="${kinds.length + 1}" class="failed">` +
          `failed: ${esc(errors.get(name))}</td></tr>`;
        continue;
      }
      const total = Object.values(row).reduce((a, b) => a + b, 0);
      h += `<tr><td>${checkLink(name, name)}</td>` +
        kinds.map((k) => `<td class="n">${row[k] || 0}</td>`).join("") +
        `<td class="n">${total}</td></tr>`;
    }
    $("counts").innerHTML = h + "</tbody></table>";
  }
  // Checks between models form a matrix: rows are the a models, columns the b models (a model
  // clashed with itself sits on the diagonal); a cell lists its checks with their counts.
  const cells = new Map();
  for (const k of D.checks) {
    const key = JSON.stringify([k.a, k.b ?? k.a]);
    if (!cells.has(key)) cells.set(key, []);
    cells.get(key).push(k.name);
  }
  if (D.checks.length > 1) {
    const rowsM = [...new Set(D.checks.map((k) => k.a))];
    const colsM = [...new Set(D.checks.map((k) => k.b ?? k.a))];
    const count = (name) => Object.values(perCheck.get(name) || {}).reduce((a, b) => a + b, 0);
    let h = "<table><thead><tr><th></th>" + colsM.map((m) => `<th>${esc(m)}</th>`).join("") +
      "</tr></thead><tbody>";
    for (const r of rowsM) {
      h += `<tr><th>${esc(r)}</th>`;
      for (const col of colsM) {
        const names = cells.get(JSON.stringify([r, col])) || [];
        const total = names.reduce((a, n) => a + count(n), 0);
        // A check that failed has no count: its clashes are unknown.
        const shown = (n) => errors.has(n) ? "failed" : count(n);
        const body = names.length === 1 ? checkLink(names[0], shown(names[0])) :
          names.map((n) => checkLink(n, `${n} ${shown(n)}`)).join("<br>");
        h += `<td class="n" data-cell="${esc(r)}|${esc(col)}" data-count="${total}">` +
          `${names.length ? body : "–"}</td>`;
      }
      h += "</tr>";
    }
    $("matrix").innerHTML = h + "</tbody></table>";
    $("matrix-card").hidden = false;
  }
  $("models").innerHTML = "<table><thead><tr><th>Model</th><th>File</th><th>SHA-256</th>" +
    "<th>Objects</th><th>Triangles</th><th>Diagnostics</th><th>Units</th></tr></thead><tbody>" +
    D.models.map((m) => `<tr><td>${esc(m.name)}</td><td>${esc(m.path)}</td>` +
      `<td title="${esc(m.sha256)}">${esc((m.sha256 || "").slice(0, 12))}</td>` +
      `<td class="n">${m.objects}</td><td class="n">${m.triangles}</td>` +
      `<td class="n">${m.diagnostics}</td><td>${esc(m.units)}</td></tr>`).join("") +
    "</tbody></table>";

  // ---- clash table ----------------------------------------------------------------------------
  const columns = [
    {key: "index", title: "#", value: (c) => c.index, cell: (c) => c.index + 1, n: true},
    {key: "status", title: "Status", value: (c) => c.status,
      cell: (c) => `<span class="badge ${esc(c.status)}">${esc(c.status)}</span>`, html: true},
    {key: "kind", title: "Kind", value: (c) => c.kind,
      cell: (c) => `<span class="badge ${esc(c.kind)}">${esc(c.kind)}</span>`, html: true},
    {key: "dist", title: `Distance${units ? " (" + units + ")" : ""}`, value: (c) => c.dist,
      cell: (c) => num(c.dist), n: true},
    {key: "change", title: "Change", value: (c) => c.prev === null ? null : c.dist - c.prev,
      cell: (c) => c.prev === null ? "" : num(c.dist - c.prev), n: true},
    {key: "check", title: "Check", value: (c) => c.check, cell: (c) => c.check},
    {key: "group", title: "Group", value: (c) => c.group, cell: (c) => c.group ?? ""},
    {key: "a", title: "A", value: (c) => label(obj(c.a)), cell: (c) => label(obj(c.a)), o: true},
    {key: "b", title: "B", value: (c) => label(obj(c.b)), cell: (c) => label(obj(c.b)), o: true},
    {key: "level", title: "Level", value: (c) => levels(c), cell: (c) => levels(c)},
    {key: "id", title: "Id", value: (c) => c.id, cell: (c) => c.id},
  ];
  function levels(c) {
    const a = obj(c.a).level, b = obj(c.b).level;
    return a && b && a !== b ? `${a} / ${b}` : (a || b || "");
  }
  D.clashes.forEach((c, i) => { c.index = i; });
  const filters = {check: "", kind: "", status: "", group: "", pair: ""};
  const filterValue = {check: (c) => c.check, kind: (c) => c.kind, status: (c) => c.status,
    group: (c) => c.group ?? "(none)", pair: pair};
  for (const sel of document.querySelectorAll("select[data-filter]")) {
    const f = sel.dataset.filter;
    const values = [...new Set(D.clashes.map(filterValue[f]))].sort();
    sel.innerHTML = `<option value="">all</option>` +
      values.map((v) => `<option value="${esc(v)}">${esc(v)}</option>`).join("");
    sel.addEventListener("change", () => { filters[f] = sel.value; render(); });
  }
  let search = "";
  $("search").addEventListener("input", (e) => { search = e.target.value.toLowerCase(); render(); });
  let sortKey = "index", sortDir = 1, visible = [], selected = -1;
  const head = document.querySelector("#clashes thead tr");
  head.innerHTML = columns.map((c) => `<th data-key="${c.key}">${esc(c.title)}</th>`).join("");
  head.addEventListener("click", (e) => {
    const th = e.target.closest("th");
    if (!th) return;
    if (sortKey === th.dataset.key) sortDir = -sortDir; else { sortKey = th.dataset.key; sortDir = 1; }
    render();
  });
  document.addEventListener("click", (e) => {
    const a = e.target.closest("a.check");
    if (!a) return;
    const sel = document.querySelector('select[data-filter="check"]');
    sel.value = a.dataset.check;
    filters.check = sel.value;
    render();
  });

  function haystack(c) {
    const a = obj(c.a), b = obj(c.b);
    return [c.id, c.check, c.group, a.key, a.name, a.type, a.model, b.key, b.name, b.type, b.model]
      .join("\n").toLowerCase();
  }
  function compare(x, y) {   // numbers numerically, text naturally ("B2" before "B10")
    if (typeof x === "number" && typeof y === "number") return x - y;
    return String(x).localeCompare(String(y), undefined, {numeric: true});
  }
  function render() {
    const col = columns.find((c) => c.key === sortKey);
    visible = D.clashes.filter((c) =>
      Object.keys(filters).every((f) => !filters[f] || filterValue[f](c) === filters[f]) &&
      (!search || haystack(c).includes(search)));
    visible.sort((p, q) => {     // empty cells last in either direction, ties in report order
      const x = col.value(p), y = col.value(q);
      if (x == null || y == null) return (x == null) - (y == null) || p.index - q.index;
      return sortDir * Math.sign(compare(x, y)) || p.index - q.index;
    });
    for (const th of head.children) {
      th.setAttribute("aria-sort", th.dataset.key === sortKey ?
        (sortDir > 0 ? "ascending" : "descending") : "none");
    }
    document.querySelector("#clashes tbody").innerHTML = visible.map((c) =>
      `<tr data-i="${c.index}" data-id="${esc(c.id)}"${c.index === selected ? ' class="sel"' : ""}>` +
      columns.map((k) => {
        const v = k.cell(c);
        const cls = k.n ? ' class="n"' : k.o ? ' class="obj"' : "";
        const title = k.o ? ` title="${esc(`${obj(c[k.key]).model} ${obj(c[k.key]).key}`)}"` : "";
        return `<td${cls}${title}>${k.html ? v : esc(v)}</td>`;
      }).join("") + "</tr>").join("");
    $("shown").textContent = `${visible.length} of ${D.clashes.length} clashes`;
  }
  document.querySelector("#clashes tbody").addEventListener("click", (e) => {
    const tr = e.target.closest("tr");
    if (tr) select(+tr.dataset.i);
  });
  $("table-box").addEventListener("keydown", (e) => {
    if (e.key !== "ArrowDown" && e.key !== "ArrowUp") return;
    e.preventDefault();
    const at = visible.findIndex((c) => c.index === selected);
    const next = visible[Math.min(Math.max(at + (e.key === "ArrowDown" ? 1 : -1), 0),
      visible.length - 1)];
    if (next) select(next.index, true);
  });

  function select(i, scroll) {
    selected = i;
    for (const tr of document.querySelectorAll("#clashes tbody tr")) {
      tr.classList.toggle("sel", +tr.dataset.i === i);
      if (scroll && +tr.dataset.i === i) tr.scrollIntoView({block: "nearest"});
    }
    const c = D.clashes[i];
    history.replaceState(null, "", "#clash=" + encodeURIComponent(c.id));
    details(c);
    viewer.show(c);
  }

  function details(c) {
    const p = (v) => v ? v.map(num).join(", ") : "";
    const rows = [["Id", c.id], ["Check", c.check], ["Kind", c.kind],
      ["Distance", `${num(c.dist)} ${units}` + (c.prev !== null ? ` (was ${num(c.prev)})` : "")],
      ["Status", c.status], ["Group", c.group ?? ""], ["Point on a", p(c.pa)],
      ["Point on b", p(c.pb)]];
    if (c.volume !== null) rows.push(["Overlap volume", num(c.volume)]);
    if (c.thickness !== null) rows.push(["Overlap thickness", num(c.thickness)]);
    if (c.centre) rows.push(["Overlap centre", p(c.centre)]);
    if (c.contained) rows.push(["Inside the other", c.contained + (c.approximate ? " (open mesh: approximate)" : "")]);
    for (const [side, i] of [["a", c.a], ["b", c.b]]) {
      const o = obj(i);
      rows.push([`Object ${side}`, `${o.type} ${o.name ?? ""}`.trim()],
        ["", `${o.model} · ${o.key}` + (o.level ? ` · ${o.level}` : "")]);
    }
    for (const [k, v] of Object.entries(c.extra || {})) {
      rows.push([k, typeof v === "string" ? v : JSON.stringify(v)]);
    }
    $("details").innerHTML = "<table>" + rows.map(([k, v]) =>
      `<tr><td>${esc(k)}</td><td>${esc(v)}</td></tr>`).join("") + "</table>";
  }

  // ---- resolved -------------------------------------------------------------------------------
  if (D.resolved.length) {
    $("resolved-section").hidden = false;
    document.querySelector("#resolved thead tr").innerHTML =
      ["Id", "Check", "Kind", "Last distance", "A", "B"].map((t) => `<th>${t}</th>`).join("");
    document.querySelector("#resolved tbody").innerHTML = D.resolved.map((c) =>
      `<tr data-id="${esc(c.id)}"><td>${esc(c.id)}</td><td>${esc(c.check)}</td>` +
      `<td>${esc(c.kind)}</td><td class="n">${num(c.prev ?? c.dist)}</td>` +
      `<td class="obj">${esc(label(obj(c.a)))}</td><td class="obj">${esc(label(obj(c.b)))}</td></tr>`)
      .join("");
  }

  // ---- 3D view --------------------------------------------------------------------------------
  const viewer = makeViewer($("canvas"));

  function makeViewer(canvas) {
    const note = $("stage-note");
    const gl = canvas.getContext("webgl2",
      {alpha: false, antialias: true, stencil: true, preserveDrawingBuffer: true});
    if (!gl) {
      canvas.dataset.webgl = "none";
      note.hidden = false;
      note.textContent = "The 3D view needs WebGL 2, which this browser does not offer.";
      return {show(c) { canvas.dataset.clash = c.id; document.body.dataset.ready = "1"; }};
    }
    const vertices = new Float32Array(bytes($("report-vertices").textContent));
    const triangles = new Uint32Array(bytes($("report-triangles").textContent));
    for (const [v0, , t0, tn] of D.meshes) {         // mesh-local indices to buffer indices
      for (let k = t0 * 3; k < (t0 + tn) * 3; k++) triangles[k] += v0;
    }
    const program = (vs, fs) => {
      const p = gl.createProgram();
      for (const [type, src] of [[gl.VERTEX_SHADER, vs], [gl.FRAGMENT_SHADER, fs]]) {
        const s = gl.createShader(type);
        gl.shaderSource(s, "#version 300 es\nprecision highp float;\n" + src);
        gl.compileShader(s);
        gl.attachShader(p, s);
      }
      gl.bindAttribLocation(p, 0, "p");
      gl.linkProgram(p);
      return p;
    };
    // Flat shading from the screen-space derivatives of the position: one normal per face
    // without duplicating vertices; both sides lit, since exported meshes vary in winding.
    const mesh = program(
      "in vec3 p; uniform mat4 m; out vec3 w; void main() { w = p; gl_Position = m * vec4(p, 1); }",
      "in vec3 w; uniform vec4 c; uniform vec3 l; out vec4 o; void main() {" +
      " vec3 n = normalize(cross(dFdx(w), dFdy(w)));" +
      " o = vec4(c.rgb * (0.45 + 0.55 * abs(dot(n, l))), c.a); }");
    const marks = program(
      "in vec3 p; uniform mat4 m; void main() { gl_Position = m * vec4(p, 1); gl_PointSize = 15.0; }",
      "uniform vec4 c; uniform int ring; out vec4 o; void main() {" +
      " float r = length(gl_PointCoord - 0.5) * 15.0;" +
      " if (ring == 0) { o = c; return; }" +
      " if (r > 7.0 || r < 3.0) discard;" +
      " o = (r >= 4.0 && r <= 6.0) ? c : vec4(1); }");
    const u = (p, n) => gl.getUniformLocation(p, n);
    const meshBuffers = gl.createVertexArray();
    gl.bindVertexArray(meshBuffers);
    gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
    gl.bufferData(gl.ARRAY_BUFFER, vertices, gl.STATIC_DRAW);
    gl.enableVertexAttribArray(0);
    gl.vertexAttribPointer(0, 3, gl.FLOAT, false, 0, 0);
    gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, gl.createBuffer());
    gl.bufferData(gl.ELEMENT_ARRAY_BUFFER, triangles, gl.STATIC_DRAW);
    const markBuffers = gl.createVertexArray();
    gl.bindVertexArray(markBuffers);
    const markData = gl.createBuffer();
    gl.bindBuffer(gl.ARRAY_BUFFER, markData);
    gl.enableVertexAttribArray(0);
    gl.vertexAttribPointer(0, 3, gl.FLOAT, false, 0, 0);

    const rgb = (c, a) => [c[0] / 255, c[1] / 255, c[2] / 255, a];
    const bg = rgb(D.colours.background, 1);
    const modes = ["ghosted", "solid", "hidden"];
    let mode = 0, clash = null, cam = null, home = null, reported = null;
    const rel = (p) => [p[0] - D.origin[0], p[1] - D.origin[1], p[2] - D.origin[2]];

    function show(c) {
      clash = c;
      const pos = rel(c.view.slice(0, 3)), target = rel(c.view.slice(3, 6));
      const d = sub(pos, target), dist = Math.hypot(...d);
      home = {target, dist, radius: c.view[6], yaw: Math.atan2(d[1], d[0]),
        pitch: Math.asin(Math.min(1, Math.max(-1, d[2] / dist)))};
      cam = {...home, target: [...target]};
      const missing = [c.a, c.b].filter((i) => obj(i).mesh < 0).map((i) => label(obj(i)));
      note.hidden = !missing.length;
      note.textContent = missing.length ? `No geometry embedded for ${missing.join(", ")}` +
        ` (missing in the model, or beyond max_objects=${D.maxObjects}).` : "";
      gl.bindBuffer(gl.ARRAY_BUFFER, markData);
      gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([...rel(c.pa), ...rel(c.pb)]), gl.STATIC_DRAW);
      reported = null;
      draw();
    }

    function draw() {
      if (!clash) return;
      const w = Math.max(1, Math.round(canvas.clientWidth * devicePixelRatio));
      const h = Math.max(1, Math.round(canvas.clientHeight * devicePixelRatio));
      if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
      gl.viewport(0, 0, w, h);
      gl.clearColor(...bg);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT | gl.STENCIL_BUFFER_BIT);
      const cp = Math.cos(cam.pitch);
      const eye = add(cam.target, [cam.dist * cp * Math.cos(cam.yaw),
        cam.dist * cp * Math.sin(cam.yaw), cam.dist * Math.sin(cam.pitch)]);
      const f = norm(sub(cam.target, eye)), r = norm(cross(f, [0, 0, 1])), up = cross(r, f);
      const near = cam.dist * 0.005, far = cam.dist + 50 * Math.max(cam.radius, cam.dist);
      const m = mul(perspective(Math.PI / 3, w / h, near, far), lookAt(eye, r, up, f));
      const light = norm(add(add(scale(r, 0.35), scale(up, 0.5)), scale(f, -1)));

      gl.useProgram(mesh);
      gl.bindVertexArray(meshBuffers);
      gl.uniformMatrix4fv(u(mesh, "m"), false, m);
      gl.uniform3fv(u(mesh, "l"), light);
      gl.enable(gl.DEPTH_TEST);
      gl.depthFunc(gl.LEQUAL);
      const drawObject = (i, colour) => {
        const k = obj(i).mesh;
        if (k < 0) return;
        gl.uniform4fv(u(mesh, "c"), colour);
        gl.drawElements(gl.TRIANGLES, D.meshes[k][3] * 3, gl.UNSIGNED_INT, D.meshes[k][2] * 12);
      };
      const context = rgb(D.colours.context, 1);
      if (modes[mode] === "solid") clash.near.forEach((i) => drawObject(i, context));
      // The pair, each side marking the pixels where it is nearest in the stencil (1 for a,
      // 2 for b); then each side's surfaces hidden behind the other side, blended on the
      // other side's pixels only: a pipe inside a wall shows through the wall, and an object's
      // own back faces never show through its front.
      const colourA = rgb(D.colours.a, 1), colourB = rgb(D.colours.b, 1);
      gl.enable(gl.STENCIL_TEST);
      gl.stencilOp(gl.KEEP, gl.KEEP, gl.REPLACE);
      gl.stencilFunc(gl.ALWAYS, 1, 0xff);
      drawObject(clash.a, colourA);
      gl.stencilFunc(gl.ALWAYS, 2, 0xff);
      drawObject(clash.b, colourB);
      gl.stencilOp(gl.KEEP, gl.KEEP, gl.KEEP);
      gl.depthFunc(gl.GREATER);
      gl.depthMask(false);
      gl.enable(gl.BLEND);
      gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
      gl.stencilFunc(gl.EQUAL, 1, 0xff);
      drawObject(clash.b, [...colourB.slice(0, 3), 0.35]);
      gl.stencilFunc(gl.EQUAL, 2, 0xff);
      drawObject(clash.a, [...colourA.slice(0, 3), 0.35]);
      gl.disable(gl.BLEND);
      gl.depthMask(true);
      gl.depthFunc(gl.LEQUAL);
      gl.disable(gl.STENCIL_TEST);
      if (modes[mode] === "ghosted") {
        // After the pair and without writing depth: every neighbour surface in front of the
        // pair veils it a little, none hides it; one colour for all makes the order moot.
        gl.enable(gl.BLEND);
        gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
        gl.depthMask(false);
        clash.near.forEach((i) => drawObject(i, [...context.slice(0, 3), 0.2]));
        gl.depthMask(true);
        gl.disable(gl.BLEND);
      }
      gl.disable(gl.DEPTH_TEST);           // contact points and their join always on top
      gl.useProgram(marks);
      gl.bindVertexArray(markBuffers);
      gl.uniformMatrix4fv(u(marks, "m"), false, m);
      gl.uniform4fv(u(marks, "c"), rgb(D.colours.marker, 1));
      gl.uniform1i(u(marks, "ring"), 0);
      gl.drawArrays(gl.LINES, 0, 2);
      gl.uniform1i(u(marks, "ring"), 1);
      gl.drawArrays(gl.POINTS, 0, 2);
      if (reported !== clash) report();
    }

    // The frame for this clash is on the canvas: say so in the DOM for scripts that wait.
    function report() {
      reported = clash;
      canvas.dataset.clash = clash.id;
      document.body.dataset.ready = "1";
    }

    // Orbit with the left button, pan with the right one or with shift, zoom with the wheel.
    let drag = null;
    canvas.addEventListener("contextmenu", (e) => e.preventDefault());
    canvas.addEventListener("pointerdown", (e) => {
      drag = {x: e.clientX, y: e.clientY, pan: e.button === 2 || e.shiftKey};
      canvas.setPointerCapture(e.pointerId);
    });
    canvas.addEventListener("pointerup", () => { drag = null; });
    canvas.addEventListener("pointermove", (e) => {
      if (!drag || !cam) return;
      const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
      drag.x = e.clientX; drag.y = e.clientY;
      if (drag.pan) {
        const cp = Math.cos(cam.pitch);
        const f = norm([-cp * Math.cos(cam.yaw), -cp * Math.sin(cam.yaw), -Math.sin(cam.pitch)]);
        const r = norm(cross(f, [0, 0, 1])), up = cross(r, f);
        const k = cam.dist * 1.15 / canvas.clientHeight;
        cam.target = add(cam.target, add(scale(r, -dx * k), scale(up, dy * k)));
      } else {
        cam.yaw -= dx * 0.008;
        cam.pitch = Math.min(1.55, Math.max(-1.55, cam.pitch + dy * 0.008));
      }
      requestAnimationFrame(draw);
    });
    canvas.addEventListener("wheel", (e) => {
      e.preventDefault();
      if (!cam) return;
      cam.dist *= Math.exp(Math.max(-1, Math.min(1, e.deltaY * 0.0015)));
      requestAnimationFrame(draw);
    }, {passive: false});
    const reset = () => { if (home) { cam = {...home, target: [...home.target]}; draw(); } };
    canvas.addEventListener("dblclick", reset);
    $("reset").addEventListener("click", reset);
    $("context-mode").addEventListener("click", (e) => {
      mode = (mode + 1) % modes.length;
      e.target.textContent = `Surroundings: ${modes[mode]}`;
      draw();
    });
    new ResizeObserver(() => draw()).observe(canvas);
    return {show};
  }

  // Column-major 4x4 matrices, as WebGL takes them.
  function perspective(fovy, aspect, n, f) {
    const t = 1 / Math.tan(fovy / 2);
    return [t / aspect, 0, 0, 0, 0, t, 0, 0, 0, 0, (f + n) / (n - f), -1, 0, 0, 2 * f * n / (n - f), 0];
  }
  function lookAt(eye, r, up, f) {
    return [r[0], up[0], -f[0], 0, r[1], up[1], -f[1], 0, r[2], up[2], -f[2], 0,
      -dot(r, eye), -dot(up, eye), dot(f, eye), 1];
  }
  function mul(a, b) {
    const o = new Array(16).fill(0);
    for (let c = 0; c < 4; c++) for (let r = 0; r < 4; r++) for (let k = 0; k < 4; k++) {
      o[c * 4 + r] += a[k * 4 + r] * b[c * 4 + k];
    }
    return o;
  }
  function add(a, b) { return [a[0] + b[0], a[1] + b[1], a[2] + b[2]]; }
  function sub(a, b) { return [a[0] - b[0], a[1] - b[1], a[2] - b[2]]; }
  function scale(a, s) { return [a[0] * s, a[1] * s, a[2] * s]; }
  function dot(a, b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
  function cross(a, b) {
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
  }
  function norm(a) { const l = Math.hypot(...a) || 1; return [a[0] / l, a[1] / l, a[2] / l]; }

  // ---- start ----------------------------------------------------------------------------------
  // A link "#clash=<id>" selects that clash, on load and when the hash changes.
  const linked = () => D.clashes.findIndex((c) => c.id ===
    decodeURIComponent((location.hash.match(/^#clash=(.*)$/) || [])[1] || ""));
  window.addEventListener("hashchange", () => {
    const i = linked();
    if (i >= 0 && i !== selected) select(i, true);
  });
  render();
  if (D.clashes.length) select(linked() >= 0 ? linked() : visible[0].index, true);
  else document.body.dataset.ready = "1";
})();
