/* Shared by both pages: the live stream, the status fields of a machine, and control requests.
 * window.cncDashboard holds what the pages last received (handy in a browser console). */
(function () {
  "use strict";

  const body = document.body;
  const state = (window.cncDashboard = {
    control: body.dataset.control === "1",
    tokenRequired: body.dataset.tokenRequired === "1",
    machines: {},
    events: 0,
    stream: "connecting",
  });

  // ----- formatting ---------------------------------------------------------------------------

  function num(value, digits) {
    if (typeof value !== "number" || !isFinite(value)) return "—";
    return value.toLocaleString("en-US", { maximumFractionDigits: digits ?? 0, minimumFractionDigits: digits ?? 0 });
  }

  function duration(seconds) {
    if (typeof seconds !== "number" || !isFinite(seconds)) return "—";
    const s = Math.max(0, Math.round(seconds));
    const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = s % 60;
    const two = (v) => String(v).padStart(2, "0");
    return h ? `${h}:${two(m)}:${two(r)}` : `${m}:${two(r)}`;
  }

  function condition(m) {
    if (!m.link || m.link.state !== "connected") return "offline";
    return (m.state && m.state.condition) || "unknown";
  }

  function linkText(m) {
    const link = m.link || {};
    if (link.state === "connected") return "connected";
    if (link.state === "down") {
      const retry = typeof link.retry_in === "number" && link.retry_in > 0 ? `, retry in ${Math.ceil(link.retry_in)} s` : "";
      return `offline: ${link.error || "not reachable"}${retry}`;
    }
    return link.state || "—";
  }

  function set(root, name, text) {
    const el = root.querySelector(`[data-f="${name}"]`);
    if (el && el.textContent !== text) el.textContent = text;
    return el;
  }

  // Fills the status fields (state, program, progress, figures, compile, controls) inside root.
  function renderStatus(root, m) {
    const cond = condition(m);
    root.dataset.condition = cond;
    root.dataset.state = m.state ? m.state.name : "";
    const connected = m.link && m.link.state === "connected";
    let badge = connected && m.state ? m.state.name.replace(/_/g, " ") : "offline";
    if (m.alarm) badge = "⚠ " + badge;
    set(root, "state", badge);
    const link = set(root, "link", linkText(m));
    if (link) link.dataset.link = m.link ? m.link.state : "";

    const program = m.program || {};
    set(root, "program", program.name || (m.compile && m.compile.state !== "INIT" ? "program (no file name)" : "no program"));
    const total = program.lines ? ` of ${num(program.lines)}` : "";
    set(root, "line", typeof m.line === "number" && m.line > 0 ? `line ${num(m.line)}${total}` : "");

    const p = m.progress;
    const box = root.querySelector('[data-f="progress-box"]');
    const fill = root.querySelector('[data-f="progress-fill"]');
    if (box && fill) {
      const fraction = p && typeof p.fraction === "number" ? p.fraction : null;
      box.dataset.active = p ? "1" : "0";
      box.dataset.fraction = fraction === null ? "" : String(fraction);
      fill.style.width = fraction === null ? "0%" : `${(fraction * 100).toFixed(1)}%`;
      let text = "";
      if (p) {
        const pct = fraction === null ? "" : `${p.basis === "time" ? "≈" : ""}${Math.floor(fraction * 100)} %`;
        const left = typeof p.remaining === "number" ? ` · ${duration(p.remaining)} left` : "";
        text = `${pct}${left}` || duration(p.elapsed);
      }
      set(root, "progress", text);
    }

    const f = m.feed, s = m.spindle, o = m.overrides;
    const unit = m.units === "inch" ? "in/min" : "mm/min";
    set(root, "feed", f ? `${num(f.actual)} / ${num(f.programmed)} ${unit}` : "—");
    set(root, "spindle", s ? `${num(s.actual)} rpm${s.status ? " " + s.status : ""}` : "—");
    set(root, "overrides", o ? `feed ${num(o.feed)} %  ·  spindle ${num(o.spindle)} %  ·  rapid ${num(o.fast)} %` : "—");
    const pos = Array.isArray(m.position) ? m.position : [];
    set(root, "where", pos.length >= 2 ? pos.slice(0, 3).map((v, i) => `${"XYZ"[i]}${num(v, 2)}`).join(" ") : "—");
    set(root, "tool", typeof m.tool === "number" ? `T${m.tool}` : "—");

    const c = m.compile;
    const crow = set(root, "compile", compileText(c));
    if (crow) crow.classList.toggle("error", !!(c && c.error));

    for (const button of root.querySelectorAll("button[data-action]")) {
      const allowed = !!(connected && m.enabled && m.enabled[button.dataset.action]);
      if (button.disabled === allowed) button.disabled = !allowed;
    }
  }

  function compileText(c) {
    if (!c || !c.state) return "";
    if (c.error) {
      const where = `${c.error.file || "program"}${c.error.line ? ":" + c.error.line : ""}`;
      return `compile error at ${where}: ${c.error.message || "error"}${c.error.code ? " (code " + c.error.code + ")" : ""}`;
    }
    if (c.state === "INIT") return "no program loaded";
    return c.final ? `compiled: ${c.state.toLowerCase()}` : `compiling (${c.state.toLowerCase().replace(/_/g, " ")})`;
  }

  // ----- live stream --------------------------------------------------------------------------

  function stream(url, onMachine) {
    const live = document.getElementById("live");
    const show = (mode, text) => {
      state.stream = mode;
      if (live) { live.dataset.live = mode; live.textContent = text; }
    };
    const source = new EventSource(url);
    source.addEventListener("open", () => show("live", "live"));
    source.addEventListener("error", () => show("reconnecting", "reconnecting…"));
    source.addEventListener("machine", (event) => {
      const m = JSON.parse(event.data);
      state.machines[m.id] = m;
      state.events += 1;
      onMachine(m);
    });
    window.addEventListener("beforeunload", () => source.close());
    return source;
  }

  // ----- control ------------------------------------------------------------------------------

  let toastTimer = null;
  function toast(text, isError) {
    const el = document.getElementById("toast");
    if (!el) return;
    el.textContent = text;
    el.classList.toggle("error", !!isError);
    el.hidden = false;
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => { el.hidden = true; }, isError ? 8000 : 3000);
  }

  function token() {
    const match = location.hash.match(/(?:^#|&)token=([^&]+)/);
    if (match) {
      sessionStorage.setItem("cncDashboardToken", decodeURIComponent(match[1]));
      history.replaceState(null, "", location.pathname + location.search);
    }
    return sessionStorage.getItem("cncDashboardToken") || "";
  }

  async function control(id, action, name) {
    if (action === "start" && !window.confirm(`Start the program on ${name}?`)) return;
    for (let attempt = 0; attempt < 2; attempt++) {
      const headers = { "X-CNC-Dashboard": "control" };
      const secret = token();
      if (secret) headers.Authorization = `Bearer ${secret}`;
      let reply;
      try {
        reply = await fetch(`/api/machines/${id}/control/${action}`, { method: "POST", headers });
      } catch (err) {
        toast(`${action} on ${name}: the dashboard does not answer`, true);
        return;
      }
      const result = await reply.json().catch(() => ({}));
      if (reply.status === 401 && attempt === 0) {
        const entered = window.prompt("Token for controlling machines:");
        if (!entered) return;
        sessionStorage.setItem("cncDashboardToken", entered);
        continue;
      }
      if (reply.ok && result.ok) toast(`${action}: sent to ${name}`, false);
      else toast(`${action} on ${name} refused: ${result.reason || reply.statusText}`, true);
      return;
    }
  }

  // Buttons inside an element with data-id (a tile or the machine page's status panel).
  document.addEventListener("click", (event) => {
    const button = event.target.closest("button[data-action]");
    if (!button) return;
    const holder = button.closest("[data-id]");
    if (!holder) return;
    control(holder.dataset.id, button.dataset.action, holder.dataset.name || `machine ${holder.dataset.id}`);
  });

  if (state.control) token(); // take a token from the address once, then drop it from the address bar

  window.CncDash = { num, duration, renderStatus, compileText, stream, toast, condition };
})();
