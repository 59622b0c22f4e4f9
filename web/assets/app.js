// The search page: a sketch canvas, an image drop zone, keywords and feature
// weights, answered by the server's JSON API with a grid of thumbnails.
"use strict";

const $ = (id) => document.getElementById(id);
const state = {
  example: null,   // {kind: "sketch"} | {kind: "image", file} | {kind: "key", key}
  rects: [],       // sketch rectangles {x, y, w, h, color}
  selected: -1,
  drag: null,
};
const HANDLE = 10;   // side of the resize corner, in canvas pixels
const MIN_SIDE = 4;

function shortName(cls) {
  const names = {
    KvColorFeatureClass: "average colour", KvColorHistogramFeatureClass: "colour histogram",
    KvTextureFeatureClass: "texture", KvDrawFeatureClass: "layout",
    KvHsvHistogramFeatureClass: "HSV histogram", KvEdgeHistogramFeatureClass: "edge histogram",
    KvColorEdgeFeatureClass: "colour and edges", KvCorrelogramFeatureClass: "correlogram",
    KvHsvBandsFeatureClass: "HSV bands", KvColorDifferenceFeatureClass: "colour difference",
    KvColorTextureFeatureClass: "colour and texture",
  };
  return names[cls] || cls.replace(/^Kv/, "").replace(/FeatureClass$/, "");
}

function setStatus(text, isError) {
  const s = $("status");
  s.textContent = text;
  s.className = isError ? "error" : "";
}

async function getJson(url, options) {
  const res = await fetch(url, options);
  let body = null;
  try { body = await res.json(); } catch (e) { body = null; }
  if (!res.ok) throw new Error(body && body.error ? body.error : "HTTP " + res.status);
  return body;
}

// ---- catalogs and features ------------------------------------------------

async function loadCatalogs() {
  try {
    const info = await getJson("/api/catalogs");
    const select = $("catalog");
    select.textContent = "";
    for (const c of info.catalogs) {
      const o = document.createElement("option");
      o.value = o.textContent = c.name;
      select.appendChild(o);
    }
    if (!info.catalogs.length) setStatus("The database has no catalogs.", true);
    showFeatures(info.catalogs[0]);
    select.onchange = () => showFeatures(info.catalogs.find((c) => c.name === select.value));
  } catch (e) {
    setStatus("Cannot list the catalogs: " + e.message, true);
  }
}

// One row of the feature table: a checkbox, its label and a weight box.
function featureRow(body, name, text, checked) {
  const row = body.insertRow();
  const use = document.createElement("input");
  use.type = "checkbox";
  use.checked = checked;
  use.dataset.feature = name;
  use.id = "use-" + name;
  const label = document.createElement("label");
  label.htmlFor = use.id;
  label.textContent = text;
  const weight = document.createElement("input");
  weight.type = "number";
  weight.min = "0";
  weight.step = "0.1";
  weight.value = "1";
  weight.dataset.weight = name;
  weight.title = "weight";
  row.insertCell().appendChild(use);
  row.insertCell().appendChild(label);
  row.insertCell().appendChild(weight);
}

// The catalog's presets first, the first of them chosen; the single
// features are then left to be added by hand.
function showFeatures(catalog) {
  const body = $("features").tBodies[0];
  body.textContent = "";
  if (!catalog) return;
  const presets = catalog.presets || [];
  presets.forEach((p, i) => featureRow(body, p, p + " (preset)", i === 0));
  for (const f of catalog.features) {
    if (f.name === "KvTextFeatureClass") continue;  // used through the keyword box
    featureRow(body, f.name, shortName(f.name), presets.length === 0);
  }
}

// The chosen features as [{name, weight}].
function chosenFeatures() {
  const out = [];
  for (const use of document.querySelectorAll("#features input[type=checkbox]")) {
    if (!use.checked) continue;
    const w = document.querySelector('#features input[data-weight="' + use.dataset.feature + '"]');
    const weight = Number(w.value);
    out.push({name: use.dataset.feature, weight: Number.isFinite(weight) && weight >= 0 ? weight : 1});
  }
  return out;
}

// ---- the sketch canvas ----------------------------------------------------

const canvas = $("sketch");
const ctx = canvas.getContext("2d");

function drawSketch() {
  ctx.fillStyle = $("background").value;
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  state.rects.forEach((r, i) => {
    ctx.fillStyle = r.color;
    ctx.fillRect(r.x, r.y, r.w, r.h);
    if (i === state.selected) {
      ctx.strokeStyle = "#000";
      ctx.setLineDash([4, 3]);
      ctx.strokeRect(r.x + 0.5, r.y + 0.5, r.w - 1, r.h - 1);
      ctx.setLineDash([]);
      ctx.fillStyle = "#000";
      ctx.fillRect(r.x + r.w - HANDLE, r.y + r.h - HANDLE, HANDLE, HANDLE);
    }
  });
}

function canvasPoint(ev) {
  const box = canvas.getBoundingClientRect();
  const x = Math.round((ev.clientX - box.left) * canvas.width / box.width);
  const y = Math.round((ev.clientY - box.top) * canvas.height / box.height);
  return {x: Math.max(0, Math.min(canvas.width, x)), y: Math.max(0, Math.min(canvas.height, y))};
}

// The topmost rectangle under p, and whether p is on its resize corner.
function hit(p) {
  for (let i = state.rects.length - 1; i >= 0; i--) {
    const r = state.rects[i];
    if (p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h) {
      return {index: i, corner: p.x >= r.x + r.w - HANDLE && p.y >= r.y + r.h - HANDLE};
    }
  }
  return null;
}

function clampRect(r) {
  r.w = Math.max(MIN_SIDE, Math.min(r.w, canvas.width));
  r.h = Math.max(MIN_SIDE, Math.min(r.h, canvas.height));
  r.x = Math.max(0, Math.min(r.x, canvas.width - r.w));
  r.y = Math.max(0, Math.min(r.y, canvas.height - r.h));
}

canvas.addEventListener("pointerdown", (ev) => {
  canvas.setPointerCapture(ev.pointerId);
  canvas.focus();
  const p = canvasPoint(ev);
  const h = hit(p);
  if (h) {
    state.selected = h.index;
    const r = state.rects[h.index];
    state.drag = {mode: h.corner ? "resize" : "move", start: p, orig: Object.assign({}, r)};
    $("colour").value = r.color;
  } else if (state.rects.length < 255) {
    state.rects.push({x: p.x, y: p.y, w: 0, h: 0, color: $("colour").value});
    state.selected = state.rects.length - 1;
    state.drag = {mode: "draw", start: p};
  }
  drawSketch();
});

canvas.addEventListener("pointermove", (ev) => {
  const d = state.drag;
  if (!d) {
    const h = hit(canvasPoint(ev));
    canvas.style.cursor = !h ? "crosshair" : h.corner ? "nwse-resize" : "move";
    return;
  }
  const p = canvasPoint(ev);
  const r = state.rects[state.selected];
  if (d.mode === "draw") {
    r.x = Math.min(p.x, d.start.x);
    r.y = Math.min(p.y, d.start.y);
    r.w = Math.abs(p.x - d.start.x);
    r.h = Math.abs(p.y - d.start.y);
  } else if (d.mode === "move") {
    r.x = d.orig.x + p.x - d.start.x;
    r.y = d.orig.y + p.y - d.start.y;
    clampRect(r);
  } else {
    r.w = Math.min(d.orig.w + p.x - d.start.x, canvas.width - r.x);
    r.h = Math.min(d.orig.h + p.y - d.start.y, canvas.height - r.y);
    clampRect(r);
  }
  drawSketch();
});

function endDrag() {
  const d = state.drag;
  state.drag = null;
  if (!d) return;
  const r = state.rects[state.selected];
  if (d.mode === "draw" && (r.w < MIN_SIDE || r.h < MIN_SIDE)) {
    state.rects.splice(state.selected, 1);  // a click, not a drawing
    state.selected = -1;
  } else {
    useExample({kind: "sketch"});
  }
  drawSketch();
}
canvas.addEventListener("pointerup", endDrag);
canvas.addEventListener("pointercancel", endDrag);

function deleteSelected() {
  if (state.selected < 0) return;
  state.rects.splice(state.selected, 1);
  state.selected = -1;
  drawSketch();
}
canvas.addEventListener("keydown", (ev) => {
  if (ev.key === "Delete" || ev.key === "Backspace") {
    deleteSelected();
    ev.preventDefault();
  }
});
$("delete").onclick = deleteSelected;
$("clear").onclick = () => {
  state.rects = [];
  state.selected = -1;
  if (state.example && state.example.kind === "sketch") useExample(null);
  drawSketch();
};
$("colour").oninput = () => {
  if (state.selected >= 0) {
    state.rects[state.selected].color = $("colour").value;
    drawSketch();
  }
};
$("background").oninput = drawSketch;

function sketchJson() {
  return {
    width: canvas.width, height: canvas.height, background: $("background").value,
    rects: state.rects.map((r) => ({x: r.x, y: r.y, w: r.w, h: r.h, color: r.color})),
  };
}

// ---- the image drop zone --------------------------------------------------

const drop = $("drop");
function takeFile(file) {
  if (!file) return;
  useExample({kind: "image", file: file});
  search();
}
drop.addEventListener("dragover", (ev) => { ev.preventDefault(); drop.classList.add("over"); });
drop.addEventListener("dragleave", () => drop.classList.remove("over"));
drop.addEventListener("drop", (ev) => {
  ev.preventDefault();
  drop.classList.remove("over");
  takeFile(ev.dataTransfer.files[0]);
});
$("file").addEventListener("change", (ev) => takeFile(ev.target.files[0]));

// ---- searching ------------------------------------------------------------

function useExample(example) {
  state.example = example;
  const text = !example ? "none: draw, drop an image, or pick a result"
    : example.kind === "sketch" ? "the sketch"
    : example.kind === "image" ? "image " + example.file.name
    : "key " + example.key;
  $("example").textContent = text;
}

function urlWith(base, params) {
  const q = new URLSearchParams();
  for (const [k, v] of params) q.append(k, v);
  return base + "?" + q.toString();
}

async function search() {
  const catalog = $("catalog").value;
  const keywords = $("keywords").value.trim();
  const n = $("count").value;
  const features = chosenFeatures();
  const ex = state.example;
  if (!catalog) return setStatus("No catalog to search.", true);
  if (!ex && !keywords) return setStatus("Draw a sketch, drop an image, pick a result or type keywords.", true);
  if (ex && !features.length) return setStatus("Choose at least one feature.", true);
  const params = [["catalog", catalog], ["n", n]];
  if (keywords) params.push(["keywords", keywords]);
  if (ex) for (const f of features) params.push(["f", f.name], ["w", String(f.weight)]);
  let request;
  if (!ex) {
    request = fetch(urlWith("/api/query", params));
  } else if (ex.kind === "key") {
    params.push(["key", ex.key]);
    request = fetch(urlWith("/api/query", params));
  } else if (ex.kind === "image") {
    request = fetch(urlWith("/api/query", params), {
      method: "POST", body: ex.file, headers: {"Content-Type": ex.file.type || "application/octet-stream"},
    });
  } else {
    const body = {catalog: catalog, n: Number(n), sketch: sketchJson(), features: features};
    if (keywords) body.keywords = keywords;
    request = fetch("/api/query", {method: "POST", body: JSON.stringify(body),
                                   headers: {"Content-Type": "application/json"}});
  }
  setStatus("Searching…");
  $("search").disabled = true;
  try {
    const res = await request;
    let body = null;
    try { body = await res.json(); } catch (e) { body = null; }
    if (!res.ok) throw new Error(body && body.error ? body.error : "HTTP " + res.status);
    showResults(catalog, body.results);
  } catch (e) {
    setStatus("The search failed: " + e.message, true);
  } finally {
    $("search").disabled = false;
  }
}

// A key as the path it stands for (keys write some bytes as %XX).
function keyText(key) {
  try { return decodeURIComponent(key); } catch (e) { return key; }
}

function showResults(catalog, results) {
  const list = $("results");
  list.textContent = "";
  setStatus(results.length === 1 ? "1 image" : results.length + " images");
  for (const hit of results) {
    const q = "catalog=" + encodeURIComponent(catalog) + "&key=" + encodeURIComponent(hit.key);
    const li = document.createElement("li");
    const img = document.createElement("img");
    img.src = "/api/thumbnail?" + q + "&size=160";
    img.alt = hit.key;
    img.title = "More like this";
    img.onclick = () => { useExample({kind: "key", key: hit.key}); search(); };
    const key = document.createElement("div");
    key.className = "key";
    const open = document.createElement("a");
    open.href = "/api/image?" + q;
    open.target = "_blank";
    open.rel = "noopener";
    open.textContent = keyText(hit.key);
    open.title = "Open the original";
    key.appendChild(open);
    const distance = document.createElement("div");
    distance.className = "distance";
    distance.textContent = "#" + hit.rank + "  distance " + hit.distance.toFixed(4);
    li.append(img, key, distance);
    list.appendChild(li);
  }
}

$("search").onclick = search;
$("keywords").addEventListener("keydown", (ev) => { if (ev.key === "Enter") search(); });

drawSketch();
loadCatalogs();
