/* Machine page: the tool path on a canvas (pan, zoom, fit), the tool moving over it, the
 * G-code around the current line, the estimate and the compile result.
 *
 * The path is drawn once per view change on its own canvas; the tool marker has a canvas
 * of its own on top, so a moving tool redraws a few pixels, not 100,000 segments. Points
 * closer than a pixel to the last one drawn are skipped, which keeps huge paths smooth. */
(function () {
  "use strict";

  const id = document.body.dataset.machine;
  const dash = window.cncDashboard;
  const status = document.getElementById("status");
  const wrap = document.getElementById("canvas-wrap");
  const pathCanvas = document.getElementById("path-canvas");
  const doneCanvas = document.getElementById("done-canvas");
  const markerCanvas = document.getElementById("marker-canvas");
  const coords = document.getElementById("coords");
  const planeSelect = document.getElementById("plane");
  const PLANES = { xy: [0, 1], xz: [0, 2], yz: [1, 2] };
  const LETTERS = "XYZ";
  const TRAIL = 400;
  const css = getComputedStyle(document.documentElement);
  const colour = (name) => css.getPropertyValue(name).trim();
  const COLOURS = {
    feed: colour("--feed"), rapid: colour("--rapid"), unknown: colour("--unknown"), tool: colour("--tool"), done: colour("--done"), grid: "#2a3340",
  };

  const view = (dash.view = { plane: "xy", scale: 1, ox: 0, oy: 0, user: false });
  const path = (dash.path = {
    version: -1, count: 0, reported: 0, xyz: new Float64Array(0), kinds: new Uint8Array(0), known: false, lines: null,
    bounds: null, draws: 0, drawMs: 0, drawnSegments: 0, loading: false,
  });
  const marker = (dash.marker = { x: null, y: null, z: null, sx: null, sy: null, moves: 0, trail: [] });
  // The moves up to the line in execution, drawn over the path while a program runs.
  const done = (dash.done = { index: -1, draws: 0 });
  let width = 1, height = 1, dpr = 1;
  let latest = null;

  // ----- view ---------------------------------------------------------------------------------

  function resize() {
    dpr = window.devicePixelRatio || 1;
    const r = wrap.getBoundingClientRect();
    width = Math.max(1, r.width);
    height = Math.max(1, r.height);
    for (const c of [pathCanvas, doneCanvas, markerCanvas]) {
      c.width = Math.round(width * dpr);
      c.height = Math.round(height * dpr);
    }
    if (view.user) redraw(); else fit();
  }

  function toWorld(sx, sy) {
    return [(sx - view.ox) / view.scale, -(sy - view.oy) / view.scale];
  }

  function fit() {
    const [a, b] = PLANES[view.plane];
    let minU = Infinity, maxU = -Infinity, minV = Infinity, maxV = -Infinity;
    const take = (u, v) => {
      if (typeof u !== "number" || typeof v !== "number") return;
      minU = Math.min(minU, u); maxU = Math.max(maxU, u);
      minV = Math.min(minV, v); maxV = Math.max(maxV, v);
    };
    if (path.bounds) {
      take(path.bounds.min[a], path.bounds.min[b]);
      take(path.bounds.max[a], path.bounds.max[b]);
    }
    if (marker.x !== null) take([marker.x, marker.y, marker.z][a], [marker.x, marker.y, marker.z][b]);
    if (!isFinite(minU)) { minU = -50; maxU = 50; minV = -50; maxV = 50; }
    const spanU = Math.max(maxU - minU, 1), spanV = Math.max(maxV - minV, 1);
    const margin = 0.08;
    view.scale = Math.min((width * (1 - 2 * margin)) / spanU, (height * (1 - 2 * margin)) / spanV);
    if (!isFinite(view.scale) || view.scale <= 0) view.scale = 1;
    view.ox = width / 2 - ((minU + maxU) / 2) * view.scale;
    view.oy = height / 2 + ((minV + maxV) / 2) * view.scale;
    view.user = false;
    redraw();
  }

  function zoomAt(sx, sy, factor) {
    const [u, v] = toWorld(sx, sy);
    view.scale = Math.min(1e7, Math.max(1e-6, view.scale * factor));
    view.ox = sx - u * view.scale;
    view.oy = sy + v * view.scale;
    view.user = true;
    schedule();
  }

  let pending = false;
  function schedule() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => { pending = false; redraw(); });
  }

  function redraw() {
    drawPath();
    drawDone();
    drawMarker();
  }

  // ----- drawing ------------------------------------------------------------------------------

  function drawAxes(ctx) {
    ctx.strokeStyle = COLOURS.grid;
    ctx.lineWidth = 1;
    ctx.setLineDash([]);
    ctx.beginPath();
    ctx.moveTo(0, view.oy); ctx.lineTo(width, view.oy);
    ctx.moveTo(view.ox, 0); ctx.lineTo(view.ox, height);
    ctx.stroke();
    const [a, b] = PLANES[view.plane];
    ctx.fillStyle = "#56606d";
    ctx.font = "11px system-ui, sans-serif";
    ctx.fillText(LETTERS[a] + "+", width - 22, view.oy - 4);
    ctx.fillText(LETTERS[b] + "+", view.ox + 4, 12);
  }

  // Adds the moves of one kind (-1: all) ending at points 1..last to the context's path, skipping
  // points closer than a pixel to the last one drawn; returns the segments added.
  function trace(ctx, kind, last) {
    const [a, b] = PLANES[view.plane];
    const { xyz, kinds } = path;
    const { scale, ox, oy } = view;
    let open = false, lastX = 0, lastY = 0, segments = 0;
    for (let i = 1; i <= last; i++) {
      if (kind >= 0 && kinds[i] !== kind) { open = false; continue; }
      const sx = xyz[3 * i + a] * scale + ox;
      const sy = -xyz[3 * i + b] * scale + oy;
      if (!open) {
        lastX = xyz[3 * (i - 1) + a] * scale + ox;
        lastY = -xyz[3 * (i - 1) + b] * scale + oy;
        ctx.moveTo(lastX, lastY);
        open = true;
      }
      const dx = sx - lastX, dy = sy - lastY;
      const runGoesOn = i < last && (kind < 0 || kinds[i + 1] === kind);
      if (dx * dx + dy * dy < 0.36 && runGoesOn) continue;
      ctx.lineTo(sx, sy);
      lastX = sx; lastY = sy;
      segments++;
    }
    return segments;
  }

  // Rapid moves first, feed moves over them; one kind per stroke.
  // Moves of unknown kind are drawn in a colour of their own: drawn as feed moves, rapids would pass for cuts.
  function strokeKinds(ctx, last, rapidColour, feedColour, feedWidth, unknownColour = feedColour) {
    let segments = 0;
    for (const kind of path.known ? [0, 1] : [-1]) {
      ctx.beginPath();
      segments += trace(ctx, kind, last);
      if (kind === 0) {
        ctx.strokeStyle = rapidColour; ctx.lineWidth = 1; ctx.setLineDash([5, 4]); ctx.globalAlpha = 0.85;
      } else {
        ctx.strokeStyle = kind < 0 ? unknownColour : feedColour;
        ctx.lineWidth = feedWidth; ctx.setLineDash([]); ctx.globalAlpha = 1;
      }
      ctx.stroke();
    }
    ctx.globalAlpha = 1;
    ctx.setLineDash([]);
    return segments;
  }

  function drawPath() {
    const started = performance.now();
    const ctx = pathCanvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, width, height);
    drawAxes(ctx);
    path.drawnSegments = path.count >= 2 ? strokeKinds(ctx, path.count - 1, COLOURS.rapid, COLOURS.feed, 1.5, COLOURS.unknown) : 0;
    path.drawMs = performance.now() - started;
    path.draws += 1;
  }

  // Index of the last point whose move comes from a line at or before `line` (-1 for none).
  function doneIndex(line) {
    const lines = path.lines;
    if (!lines || !(line > 0)) return -1;
    let lo = 0, hi = lines.length - 1, found = -1;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (lines[mid] <= line) { found = mid; lo = mid + 1; } else hi = mid - 1;
    }
    return found;
  }

  function drawDone() {
    const ctx = doneCanvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, width, height);
    if (done.index < 1) return;
    strokeKinds(ctx, done.index, COLOURS.done, COLOURS.done, 2.5);
    done.draws += 1;
  }

  function updateDone(m) {
    const index = m.progress ? doneIndex(m.line) : -1;
    if (index === done.index) return;
    done.index = index;
    drawDone();
  }

  function drawMarker() {
    const ctx = markerCanvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, width, height);
    if (marker.x === null) { marker.sx = marker.sy = null; return; }
    const [a, b] = PLANES[view.plane];
    const screen = (p) => [p[a] * view.scale + view.ox, -p[b] * view.scale + view.oy];
    // Recent positions as dots: a line between two polls would cut the path's corners.
    ctx.fillStyle = COLOURS.tool;
    marker.trail.forEach((p, i) => {
      const [x, y] = screen(p);
      ctx.globalAlpha = 0.15 + (0.5 * i) / marker.trail.length;
      ctx.fillRect(x - 1.5, y - 1.5, 3, 3);
    });
    ctx.globalAlpha = 1;
    const [sx, sy] = screen([marker.x, marker.y, marker.z]);
    marker.sx = sx; marker.sy = sy;
    ctx.strokeStyle = COLOURS.tool; ctx.fillStyle = COLOURS.tool; ctx.lineWidth = 2;
    ctx.beginPath(); ctx.arc(sx, sy, 7, 0, 2 * Math.PI); ctx.stroke();
    ctx.beginPath(); ctx.arc(sx, sy, 2.5, 0, 2 * Math.PI); ctx.fill();
    ctx.beginPath();
    ctx.moveTo(sx - 12, sy); ctx.lineTo(sx - 8, sy); ctx.moveTo(sx + 8, sy); ctx.lineTo(sx + 12, sy);
    ctx.moveTo(sx, sy - 12); ctx.lineTo(sx, sy - 8); ctx.moveTo(sx, sy + 8); ctx.lineTo(sx, sy + 12);
    ctx.stroke();
  }

  // ----- data ---------------------------------------------------------------------------------

  async function loadPath() {
    if (path.loading) return;
    path.loading = true;
    let loaded = false;
    try {
      const reply = await fetch(`/api/machines/${id}/path`, { cache: "no-store" });
      if (!reply.ok) return;
      const data = await reply.json();
      path.xyz = Float64Array.from(data.xyz);
      path.count = data.count;
      path.reported = data.reported;
      path.known = data.kinds_known;
      path.kinds = Uint8Array.from(data.kinds, (ch) => ch.charCodeAt(0) - 48);
      path.bounds = data.bounds;
      path.lines = Array.isArray(data.lines) ? Int32Array.from(data.lines) : null;
      path.version = data.version;
      done.index = latest ? doneIndex(latest.progress ? latest.line : 0) : -1;
      marker.trail = [];
      const kinds = data.kinds_known
        ? "rapid moves dashed"
        : "rapid and feed moves not told apart: the points carry no move kind, and the program's text (see G-code) is not at hand to tell them";
      document.getElementById("legend-kinds").hidden = !data.kinds_known;
      document.getElementById("legend-unknown").hidden = data.kinds_known;
      let info = data.count ? `${CncDash.num(data.count)} points, ${kinds}` : "the control reports no programmed points";
      if (data.simplified) info += ` (${CncDash.num(data.simplified)} sub-pixel points merged)`;
      document.getElementById("path-info").textContent = info;
      loaded = true;
      if (view.user) redraw(); else fit();
    } catch (err) {
      // the next update tries again
    } finally {
      path.loading = false;
    }
    // A newer program arrived while this one loaded.
    if (loaded && latest && latest.path_version !== path.version) loadPath();
  }

  function updateMarker(position) {
    if (!Array.isArray(position) || position.length < 2 || position.slice(0, 3).some((v) => typeof v !== "number" && v !== undefined)) return;
    const p = [position[0], position[1], typeof position[2] === "number" ? position[2] : 0];
    if (marker.x === p[0] && marker.y === p[1] && marker.z === p[2]) return;
    const first = marker.x === null;
    [marker.x, marker.y, marker.z] = p;
    if (!first) marker.moves += 1;
    marker.trail.push(p);
    if (marker.trail.length > TRAIL) marker.trail.shift();
    if (first && !view.user) fit(); else drawMarker();
  }

  function renderPositions(m) {
    const tbody = document.getElementById("positions");
    const letters = m.axes || "XYZ";
    const prog = m.position || [], mach = m.machine_position || [];
    const rows = [];
    for (let i = 0; i < Math.max(3, Math.min(letters.length, prog.length)); i++) {
      rows.push(`<tr><td>${letters[i] || "?"}</td><td>${CncDash.num(prog[i], 3)}</td><td>${CncDash.num(mach[i], 3)}</td></tr>`);
    }
    const html = rows.join("");
    if (tbody.dataset.html !== html) { tbody.innerHTML = html; tbody.dataset.html = html; }
  }

  function renderEstimate(m) {
    const box = document.getElementById("estimate").parentElement;
    const e = m.machining;
    const put = (name, text) => { const el = box.querySelector(`[data-f="${name}"]`); if (el.textContent !== text) el.textContent = text; };
    const unit = m.units === "inch" ? "in" : "mm";
    put("estimated", e ? (e.estimated_time || "—") : "—");
    put("total", e ? `${CncDash.num(e.total_path, 1)} ${unit}` : "—");
    put("in-feed", e ? `${CncDash.num(e.in_feed, 1)} ${unit}` : "—");
    put("in-fast", e ? `${CncDash.num(e.in_fast, 1)} ${unit}` : "—");
    const tools = e && e.used_tools.length
      ? "Tools: " + e.used_tools.map((t) => `T${t.tool_id ?? "?"} ${CncDash.num(t.in_feed, 0)} ${unit} in feed`).join(", ")
      : "";
    put("tools", tools);
  }

  function renderCompile(m) {
    const el = document.getElementById("compile-detail");
    const c = m.compile;
    let text = CncDash.compileText(c) || "—";
    if (c && c.file && !c.error) text += ` · ${c.file}`;
    if (el.textContent !== text) el.textContent = text;
    el.classList.toggle("error", !!(c && c.error));
  }

  let gcodeKey = "";
  function renderGcode(m) {
    const list = document.getElementById("gcode");
    const note = document.getElementById("gcode-note");
    const where = document.getElementById("gcode-where");
    const g = m.gcode;
    // where the text comes from, or why there is none: text, never markup
    const said = m.text ? m.text.note : "";
    if (note.textContent !== said) note.textContent = said;
    note.dataset.status = m.text ? m.text.status : "";
    if (!g) {
      if (gcodeKey) { list.textContent = ""; gcodeKey = ""; where.textContent = ""; }
      return;
    }
    const key = `${g.first}:${g.current}:${g.total}:${g.lines.length}`;
    if (key === gcodeKey) return;
    gcodeKey = key;
    dash.gcodeCurrent = g.current;
    where.textContent = g.current ? `line ${CncDash.num(g.current)} of ${CncDash.num(g.total)}` : `${CncDash.num(g.total)} lines`;
    const frag = document.createDocumentFragment();
    let current = null;
    g.lines.forEach((text, i) => {
      const li = document.createElement("li");
      const no = document.createElement("span");
      no.className = "no";
      no.textContent = String(g.first + i);
      const code = document.createElement("span");
      code.textContent = text;
      li.append(no, code);
      if (g.first + i === g.current) { li.className = "current"; current = li; }
      frag.append(li);
    });
    list.replaceChildren(frag);
    if (current) list.scrollTop = Math.max(0, current.offsetTop - list.clientHeight / 3);
  }

  function onMachine(m) {
    latest = m;
    CncDash.renderStatus(status, m);
    renderPositions(m);
    renderEstimate(m);
    renderCompile(m);
    renderGcode(m);
    if (m.path_version !== path.version) loadPath();
    updateDone(m);
    updateMarker(m.position);
  }

  // ----- interaction --------------------------------------------------------------------------

  let drag = null;
  wrap.addEventListener("pointerdown", (e) => {
    drag = { x: e.clientX, y: e.clientY, ox: view.ox, oy: view.oy };
    wrap.setPointerCapture(e.pointerId);
    wrap.classList.add("dragging");
  });
  wrap.addEventListener("pointermove", (e) => {
    if (drag) {
      view.ox = drag.ox + (e.clientX - drag.x);
      view.oy = drag.oy + (e.clientY - drag.y);
      view.user = true;
      schedule();
    }
    const r = wrap.getBoundingClientRect();
    const [u, v] = toWorld(e.clientX - r.left, e.clientY - r.top);
    const [a, b] = PLANES[view.plane];
    coords.textContent = `${LETTERS[a]} ${u.toFixed(3)}  ${LETTERS[b]} ${v.toFixed(3)}`;
  });
  const endDrag = () => { drag = null; wrap.classList.remove("dragging"); };
  wrap.addEventListener("pointerup", endDrag);
  wrap.addEventListener("pointercancel", endDrag);
  wrap.addEventListener("wheel", (e) => {
    e.preventDefault();
    const r = wrap.getBoundingClientRect();
    zoomAt(e.clientX - r.left, e.clientY - r.top, Math.exp(-e.deltaY * 0.0015));
  }, { passive: false });
  wrap.addEventListener("dblclick", fit);
  document.getElementById("fit").addEventListener("click", fit);
  document.getElementById("zoom-in").addEventListener("click", () => zoomAt(width / 2, height / 2, 1.5));
  document.getElementById("zoom-out").addEventListener("click", () => zoomAt(width / 2, height / 2, 1 / 1.5));
  planeSelect.addEventListener("change", () => { view.plane = planeSelect.value; fit(); });

  new ResizeObserver(resize).observe(wrap);
  resize();
  CncDash.stream(`/api/machines/${id}/events`, onMachine);
})();
