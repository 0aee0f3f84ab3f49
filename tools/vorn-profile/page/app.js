// The page of `vorn-profile serve`: a timeline of every tile drawn from /api/timeline, the
// query panel and group table from /api/query, the supersteps and a tile map. The view (range,
// colouring, query, selection, highlighted group) lives in the URL's hash.
'use strict';

const KIND_COLORS = ['#4e79a7', '#f28e2b', '#e15759', '#bab0ac'];
const KERNEL_COLORS = ['#59a14f', '#edc948', '#b07aa1', '#ff9da7', '#9c755f', '#76b7b2',
  '#4e79a7', '#f28e2b', '#e15759', '#8cd17d', '#d37295', '#a0cbe8'];
const QUERY_FIELDS = ['group-by', 'metadata-key', 'kind', 'kernel', 'operation-contains', 'tile',
  'phase', 'metadata', 'limit'];

const $ = (id) => document.getElementById(id);
const state = { from: 0, to: 1, color: 'kind', query: { 'group-by': 'kernel' }, sel: null, hl: null };
let info = null;
let span = 1;
let data = null;        // the last /api/timeline answer
let highlight = null;   // the same for the highlighted group's steps
let groups = [];
let sortKey = null;
let sortDescending = true;
let drag = null;

function ms(cycles) {
  return data && data.clock_hz ? (cycles * 1000 / data.clock_hz).toFixed(6) + ' ms' : '';
}

function rowHeight() {
  const tiles = data ? data.tiles.length : 1;
  return tiles > 300 ? 1 : Math.max(2, Math.min(14, Math.floor(480 / tiles)));
}

async function getJson(path, params) {
  const response = await fetch(path + '?' + new URLSearchParams(params));
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

// ---- the view in the URL -------------------------------------------------------------------
function writeHash() {
  const p = new URLSearchParams();
  p.set('from', state.from);
  p.set('to', state.to);
  p.set('color', state.color);
  if (state.sel) p.set('sel', state.sel.from + '-' + state.sel.to);
  if (state.hl !== null) p.set('hl', state.hl);
  for (const [k, v] of Object.entries(state.query)) if (v !== '') p.set('q.' + k, v);
  history.replaceState(null, '', '#' + p.toString());
}

function readHash() {
  const p = new URLSearchParams(location.hash.slice(1));
  const from = Number(p.get('from'));
  const to = Number(p.get('to'));
  const ranged = p.has('from') && p.has('to') && to > from && from >= 0;
  if (ranged) {
    state.from = from;
    state.to = to;
  }
  if (p.get('color') === 'kernel') state.color = 'kernel';
  const sel = (p.get('sel') || '').split('-').map(Number);
  if (sel.length === 2 && sel[1] > sel[0]) state.sel = { from: sel[0], to: sel[1] };
  if (p.has('hl')) state.hl = p.get('hl');
  const query = {};
  for (const [k, v] of p) if (k.startsWith('q.')) query[k.slice(2)] = v;
  if (Object.keys(query).length) state.query = query;
  return ranged;
}

// ---- the timeline --------------------------------------------------------------------------
function canvasWidth() {
  return Math.max(100, $('timeline-box').clientWidth - 2);
}

let pending = 0;
async function loadTimeline(whole = false) {
  const ticket = ++pending;
  const width = canvasWidth();
  // The whole span by default: the server knows where it ends.
  const params = whole ? { width } : { from: state.from, to: state.to, width };
  const filter = highlightFilter();
  const [base, over] = await Promise.all([
    getTimeline(params),
    filter ? getTimeline({ ...params, ...filter }) : null,
  ]);
  if (ticket !== pending) return;
  data = base;
  highlight = over;
  draw();
}

function colorOf(kind, kernel) {
  return state.color === 'kind' ? KIND_COLORS[kind]
    : (kernel === null ? '#dddddd' : KERNEL_COLORS[kernel % KERNEL_COLORS.length]);
}

function rgb(color) {
  return [1, 3, 5].map((i) => parseInt(color.slice(i, i + 2), 16));
}

// The colours of the palettes blended over white at 256 levels of opacity, as the canvas's
// 32-bit pixels (RGBA bytes in little-endian order): a summarised pixel is one look-up.
const OVER_WHITE = (() => {
  const colors = [...KIND_COLORS, ...KERNEL_COLORS, '#dddddd'].map(rgb);
  const table = new Uint32Array(colors.length * 256);
  colors.forEach(([r, g, b], c) => {
    for (let level = 0; level < 256; ++level) {
      const a = level / 255;
      const [R, G, B] = [r, g, b].map((v) => Math.round(v * a + 255 * (1 - a)));
      table[c * 256 + level] = ((255 << 24) | (B << 16) | (G << 8) | R) >>> 0;
    }
  });
  return table;
})();

// Draws one answer: summarised pixels straight into the canvas's pixels (thousands of tiles at
// thousands of pixels are millions of them), steps as rectangles. `overWhite` when nothing is
// drawn yet: then the pixels are written from the table above, without reading the canvas.
function drawRows(ctx, answer, alpha, overWhite) {
  const h = rowHeight();
  const cpp = answer.cycles_per_pixel;
  const width = ctx.canvas.width;
  const [compute, exchange, sync, idle, , kernels] = answer.planes;
  const kindRgb = KIND_COLORS.map(rgb);
  const kernelRgb = KERNEL_COLORS.map(rgb);
  const noKernel = rgb('#dddddd');
  const byKind = state.color === 'kind';
  const kernelBase = KIND_COLORS.length;
  const noKernelBase = kernelBase + KERNEL_COLORS.length;
  const summarised = answer.tiles.filter((tile) => tile.summary !== null && tileRow(tile.tile) >= 0);
  if (summarised.length || overWhite) {
    const image = overWhite ? ctx.createImageData(width, ctx.canvas.height)
      : ctx.getImageData(0, 0, width, ctx.canvas.height);
    const d = image.data;
    const d32 = new Uint32Array(d.buffer);
    if (overWhite) d32.fill(0xffffffff);
    const columns = Math.min(width, answer.width);
    for (const tile of summarised) {
      const y = tileRow(tile.tile) * h;
      const base = tile.summary * answer.width;
      for (let i = 0; i < columns; ++i) {
        const b0 = compute[base + i];
        const b1 = exchange[base + i];
        const b2 = sync[base + i];
        const b3 = idle[base + i];
        const total = b0 + b1 + b2 + b3;
        if (total === 0) continue;
        let slot;
        if (byKind) {
          const most = Math.max(b0, b1, b2, b3);
          slot = most === b0 ? 0 : most === b1 ? 1 : most === b2 ? 2 : 3;
        } else {
          const kernel = kernels[base + i];
          slot = kernel ? kernelBase + (kernel - 1) % KERNEL_COLORS.length : noKernelBase;
        }
        const a = alpha * Math.min(1, 0.4 + total / cpp);
        if (overWhite) {
          const packed = OVER_WHITE[slot * 256 + Math.round(a * 255)];
          for (let row = y; row < y + h; ++row) d32[row * width + i] = packed;
          continue;
        }
        const color = slot < kernelBase ? kindRgb[slot]
          : slot < noKernelBase ? kernelRgb[slot - kernelBase] : noKernel;
        for (let row = y; row < y + h; ++row) {
          const at = (row * width + i) * 4;
          d[at] = color[0] * a + d[at] * (1 - a);
          d[at + 1] = color[1] * a + d[at + 1] * (1 - a);
          d[at + 2] = color[2] * a + d[at + 2] * (1 - a);
          d[at + 3] = 255;
        }
      }
    }
    ctx.putImageData(image, 0, 0);
  }
  ctx.globalAlpha = alpha;
  for (const tile of answer.tiles) {
    const y = tileRow(tile.tile) * h;
    if (y < 0 || tile.summary !== null) continue;
    for (let r = tile.first; r < tile.first + tile.count; ++r) {
      const s = answer.step(r);
      const start = Math.max(s[0], answer.from);
      const end = Math.min(s[0] + s[1], answer.to);
      const x0 = Math.floor((start - answer.from) / cpp);
      const x1 = Math.max(x0 + 1, Math.ceil((end - answer.from) / cpp));
      ctx.fillStyle = colorOf(s[2], s[3]);
      ctx.fillRect(x0, y, x1 - x0, h);
    }
  }
  ctx.globalAlpha = 1;
}

let rowOfTile = new Map();
function tileRow(tile) {
  const row = rowOfTile.get(tile);
  return row === undefined ? -1 : row;
}

function draw() {
  if (!data) return;
  const canvas = $('timeline');
  const h = rowHeight();
  rowOfTile = new Map(data.tiles.map((t, i) => [t.tile, i]));
  canvas.width = data.width;
  canvas.height = Math.max(h * data.tiles.length, 10);
  const ctx = canvas.getContext('2d');
  drawRows(ctx, data, highlight ? 0.2 : 1, true);
  if (highlight) drawRows(ctx, highlight, 1, false);
  const sel = drag && drag.selecting ? drag.sel : state.sel;
  if (sel) {
    const x0 = (sel.from - data.from) / data.cycles_per_pixel;
    const x1 = (sel.to - data.from) / data.cycles_per_pixel;
    ctx.fillStyle = 'rgba(30, 30, 30, 0.15)';
    ctx.fillRect(x0, 0, Math.max(1, x1 - x0), canvas.height);
  }
  drawAxis();
  writeHash();
}

function drawAxis() {
  const axis = $('axis');
  axis.dataset.from = data.from;
  axis.dataset.to = data.to;
  axis.textContent = `cycles ${data.from} – ${data.to} (${ms(data.from)} – ${ms(data.to)}), ` +
    `${data.cycles_per_pixel.toFixed(2)} cycles per pixel, ${data.tiles.length} tiles`;
  const ticks = $('axis-ticks');
  ticks.width = data.width;
  const ctx = ticks.getContext('2d');
  ctx.clearRect(0, 0, ticks.width, ticks.height);
  ctx.fillStyle = '#444';
  ctx.font = '11px sans-serif';
  const range = data.to - data.from;
  const rough = range / 8;
  const step = Math.pow(10, Math.floor(Math.log10(rough)));
  const nice = [1, 2, 5, 10].map((m) => m * step).find((s) => s >= rough) || step;
  for (let c = Math.ceil(data.from / nice) * nice; c < data.to; c += nice) {
    const x = (c - data.from) / data.cycles_per_pixel;
    ctx.fillRect(x, 0, 1, 6);
    ctx.fillText(String(c), x + 2, 16);
  }
}

function legend() {
  const names = state.color === 'kind' ? data.kinds : data.kernels.map((k) => k || '(no kernel)');
  const colors = state.color === 'kind' ? KIND_COLORS : KERNEL_COLORS;
  $('legend').innerHTML = '';
  names.forEach((name, i) => {
    const item = document.createElement('span');
    const swatch = document.createElement('i');
    swatch.style.background = colors[i % colors.length];
    item.append(swatch, name);
    $('legend').append(item);
  });
}

function setRange(from, to) {
  const minimum = Math.min(span, canvasWidth() / 4);
  let range = Math.max(to - from, minimum);
  range = Math.min(range, span);
  from = Math.max(0, Math.min(from, span - range));
  state.from = Math.round(from);
  state.to = Math.max(state.from + 1, Math.round(from + range));
  loadTimeline();
}

// ---- hovering, zooming, panning, selecting -------------------------------------------------
function cycleAt(x) {
  return data.from + x * data.cycles_per_pixel;
}

function describe(event) {
  const row = Math.floor(event.offsetY / rowHeight());
  const tile = data && data.tiles[row];
  if (!tile) return null;
  const x = event.offsetX;
  const cycle = cycleAt(x);
  if (tile.summary === null) {
    const cpp = data.cycles_per_pixel;
    const rows = Array.from({ length: tile.count }, (_, i) => tile.first + i);
    const hit = (r) => { const s = data.step(r); return s[0] <= cycle && cycle < s[0] + Math.max(s[1], cpp); };
    const row = rows.find(hit) ?? rows.find((r) => Math.abs(data.step(r)[0] - cycle) <= cpp);
    if (row === undefined) return `tile ${tile.tile}\ncycle ${Math.floor(cycle)}: no step`;
    const step = data.step(row);
    const [operation, entries] = data.texts(row);
    const metadata = entries.map(([k, v]) => `${k}=${v}`).join(' ');
    return `tile ${tile.tile}\nkind ${data.kinds[step[2]]}\nkernel ${data.kernels[step[3]] || '(none)'}` +
      `\noperation ${operation}\nphase ${step[5]} epoch ${step[6]}` +
      `\noffset ${step[0]} cycles (${ms(step[0])})\nduration ${step[1]} cycles (${ms(step[1])})` +
      (metadata ? `\nmetadata ${metadata}` : '');
  }
  const column = Math.floor(x);
  const pixel = column >= 0 && column < data.width ? data.pixel(tile, column) : null;
  if (!pixel || pixel.slice(0, 5).every((v) => v === 0)) return `tile ${tile.tile}\ncycle ${Math.floor(cycle)}: idle`;
  const lines = data.kinds.map((k, i) => `${k} ${pixel[i]} cycles`);
  return `tile ${tile.tile}, cycles ${Math.floor(cycle)} + ${data.cycles_per_pixel.toFixed(0)}\n` +
    lines.join('\n') + `\nsteps ${pixel[4]}\nkernel ${pixel[5] === null ? '(none)' : data.kernels[pixel[5]] || '(no kernel)'}`;
}

function setupTimeline() {
  const canvas = $('timeline');
  canvas.addEventListener('wheel', (event) => {
    if (!data) return;
    event.preventDefault();
    const factor = event.deltaY > 0 ? 1.5 : 1 / 1.5;
    const at = cycleAt(event.offsetX);
    const range = (data.to - data.from) * factor;
    setRange(at - (event.offsetX / data.width) * range, at - (event.offsetX / data.width) * range + range);
  }, { passive: false });
  canvas.addEventListener('mousedown', (event) => {
    if (!data) return;
    const at = cycleAt(event.offsetX);
    drag = event.shiftKey ? { selecting: true, start: at, sel: { from: at, to: at } }
      : { x: event.clientX, from: data.from, to: data.to, cpp: data.cycles_per_pixel };
  });
  window.addEventListener('mousemove', (event) => {
    if (drag && drag.selecting) {
      const rect = canvas.getBoundingClientRect();
      const at = cycleAt(Math.max(0, Math.min(event.clientX - rect.left, data.width)));
      drag.sel = { from: Math.floor(Math.min(drag.start, at)), to: Math.ceil(Math.max(drag.start, at)) };
      draw();
    } else if (drag) {
      const shift = (drag.x - event.clientX) * drag.cpp;
      drag.moved = true;
      canvas.style.transform = `translateX(${event.clientX - drag.x}px)`;
      drag.shift = shift;
    }
  });
  window.addEventListener('mouseup', () => {
    if (!drag) return;
    const done = drag;
    drag = null;
    canvas.style.transform = '';
    if (done.selecting) {
      if (done.sel.to > done.sel.from) {
        state.sel = done.sel;
        showSelection();
        runQuery();
      }
      draw();
    } else if (done.moved) {
      setRange(done.from + done.shift, done.to + done.shift);
    }
  });
  canvas.addEventListener('mousemove', (event) => {
    const tip = $('tooltip');
    const text = !drag && data ? describe(event) : null;
    tip.hidden = !text;
    if (text) {
      tip.textContent = text;
      tip.style.left = event.clientX + 14 + 'px';
      tip.style.top = event.clientY + 14 + 'px';
    }
  });
  canvas.addEventListener('mouseleave', () => { $('tooltip').hidden = true; });
  $('reset').addEventListener('click', resetView);
  window.addEventListener('keydown', (event) => {
    if (event.key === 'r' && !(event.target instanceof HTMLInputElement)) resetView();
  });
  $('color-by').addEventListener('change', (event) => {
    state.color = event.target.value;
    legend();
    draw();
  });
  window.addEventListener('resize', () => loadTimeline());
}

function resetView() {
  state.sel = null;
  showSelection();
  setRange(0, span);
  runQuery();
}

function showSelection() {
  $('selection').textContent = state.sel
    ? `selection ${state.sel.from} – ${state.sel.to}: ${state.sel.to - state.sel.from} cycles (${ms(state.sel.to - state.sel.from)})`
    : 'shift-drag on the timeline selects a stretch of time';
}

// ---- the query panel and the group table ---------------------------------------------------
const COLUMNS = ['name', 'sample_count', 'tile_count', 'phase_cycles', 'phase_ms', 'work_cycles',
  'mean_cycles', 'maximum_cycles'];

function queryParams() {
  const params = {};
  for (const [k, v] of Object.entries(state.query)) if (v !== '') params[k] = v;
  if (state.sel) {
    params.from = state.sel.from;
    params.to = state.sel.to;
  }
  return params;
}

async function runQuery() {
  $('query-error').textContent = '';
  try {
    const report = await getJson('/api/query', queryParams());
    groups = report.groups;
    renderGroups();
  } catch (error) {
    $('query-error').textContent = error.message;
  }
  writeHash();
}

function renderGroups() {
  const head = $('groups').tHead;
  head.innerHTML = '';
  const header = head.insertRow();
  for (const column of COLUMNS) {
    const th = document.createElement('th');
    th.textContent = column.replace(/_/g, ' ') + (sortKey === column ? (sortDescending ? ' ▼' : ' ▲') : '');
    th.dataset.column = column;
    th.addEventListener('click', () => {
      sortDescending = sortKey === column ? !sortDescending : column !== 'name';
      sortKey = column;
      renderGroups();
    });
    header.append(th);
  }
  const rows = groups.slice();
  if (sortKey) {
    rows.sort((a, b) => {
      const order = a[sortKey] < b[sortKey] ? -1 : a[sortKey] > b[sortKey] ? 1 : 0;
      return sortDescending ? -order : order;
    });
  }
  const body = $('groups').tBodies[0];
  body.innerHTML = '';
  for (const group of rows) {
    const tr = body.insertRow();
    tr.dataset.name = group.name;
    for (const column of COLUMNS) {
      const value = group[column];
      tr.insertCell().textContent = column === 'name' ? (value === '' ? '(none)' : value)
        : typeof value === 'number' && !Number.isInteger(value) ? value.toFixed(3) : value;
    }
    if (state.hl !== null) tr.className = group.name === state.hl ? 'selected' : 'dimmed';
    tr.addEventListener('click', () => {
      state.hl = state.hl === group.name ? null : group.name;
      renderGroups();
      loadTimeline();
    });
  }
}

// The filter that keeps the highlighted group's steps.
function highlightFilter() {
  if (state.hl === null) return null;
  const by = state.query['group-by'] || 'kernel';
  const name = state.hl;
  switch (by) {
    case 'kind': return { kind: name };
    case 'kernel': return { kernel: name };
    case 'phase': return { phase: name };
    case 'tile': return { tile: name };
    case 'operation': return { 'operation-contains': name };
    case 'metadata': return { metadata: (state.query['metadata-key'] || '') + '=' + name };
    default: return null;
  }
}

function setupQuery() {
  const form = $('query');
  for (const field of QUERY_FIELDS) form.elements[field].value = state.query[field] || '';
  if (!form.elements['group-by'].value) form.elements['group-by'].value = 'kernel';
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    state.query = {};
    for (const field of QUERY_FIELDS) state.query[field] = form.elements[field].value.trim();
    state.hl = null;
    runQuery();
    loadTimeline();
  });
}

// ---- supersteps and the tile map ----------------------------------------------------------
async function loadSupersteps() {
  const report = await getJson('/api/supersteps', { limit: 10 });
  const body = $('supersteps').tBodies[0];
  for (const o of report.occurrences) {
    const tr = body.insertRow();
    for (const value of [o.epoch, o.phase, o.lost_cycles, o.straggler]) tr.insertCell().textContent = value;
    tr.title = `cycles ${o.start} – ${o.end}`;
    tr.addEventListener('click', () => {
      const margin = Math.max(1, (o.end - o.start) * 0.05);
      setRange(o.start - margin, o.end + margin);
    });
  }
}

async function loadTileMap() {
  const [compute, exchange] = await Promise.all(['compute', 'exchange'].map((kind) =>
    getJson('/api/query', { 'group-by': 'tile', kind })));
  const busy = new Map();
  for (const report of [compute, exchange]) {
    for (const g of report.groups) {
      const tile = g.dimensions.physicalTile;
      busy.set(tile, (busy.get(tile) || 0) + g.work_cycles);
    }
  }
  const tiles = data.tiles.map((t) => t.tile);
  const canvas = $('tilemap');
  const columns = Math.ceil(Math.sqrt(tiles.length * 2));
  const size = Math.max(3, Math.floor(canvas.width / columns));
  canvas.height = Math.ceil(tiles.length / columns) * size;
  const ctx = canvas.getContext('2d');
  tiles.forEach((tile, i) => {
    const fraction = Math.min(1, (busy.get(String(tile)) || 0) / span);
    ctx.fillStyle = `hsl(210, 60%, ${92 - fraction * 62}%)`;
    ctx.fillRect((i % columns) * size, Math.floor(i / columns) * size, size - 1, size - 1);
  });
  canvas.onclick = (event) => {
    const i = Math.floor(event.offsetY / size) * columns + Math.floor(event.offsetX / size);
    if (i >= tiles.length) return;
    const y = i * rowHeight();
    $('timeline-box').scrollTop = Math.max(0, y - 40);
    const ctx2 = $('timeline').getContext('2d');
    ctx2.strokeStyle = '#000';
    ctx2.strokeRect(0.5, y - 0.5, data.width - 1, rowHeight() + 1);
  };
  canvas.title = 'click a tile to find it on the timeline';
}

async function main() {
  // The info walks the whole profile on the server: the timeline does not wait for it.
  const infoAnswer = getJson('/api/info', {});
  const ranged = readHash();
  $('color-by').value = state.color;
  setupTimeline();
  setupQuery();
  await loadTimeline(true);
  span = Math.max(1, data.to);
  if (ranged && (state.from !== 0 || state.to !== span)) {
    await loadTimeline();
  } else {
    state.from = 0;
    state.to = span;
    draw();
  }
  showSelection();
  legend();
  document.body.dataset.ready = 'timeline';
  infoAnswer.then((answer) => {
    info = answer;
    $('profile').textContent = `${info.profile} · ${info.tile_count} tiles · ${info.sample_count} samples · span ${span} cycles (${ms(span)})`;
  });
  await runQuery();
  await Promise.all([loadSupersteps(), loadTileMap(), infoAnswer]);
  document.body.dataset.ready = 'all';
}

main().catch((error) => { $('query-error').textContent = error.message; });
